// The sector search reads ahead in large windows; on a disk with bad areas
// it must find, retry, zero-fill and record exactly what reading run by run
// does.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "disk/drive_table.hpp"
#include "disk/fault_injecting_source.hpp"
#include "tests/support/disk_builder.hpp"
#include "tests/support/faulty_drive.hpp"
#include "volumes/discovery.hpp"

namespace tolvar {
namespace {

using ::testing::ElementsAre;
using testing::DiskBuilder;

struct Search : testing::FaultyDrive {
  Search(std::vector<std::byte> bytes, const FaultPlan& plan)
      : FaultyDrive(std::move(bytes), plan) {}
  std::vector<std::uint64_t> Starts(std::uint32_t first, std::uint32_t end) {
    DiscoveryObserver quiet;
    StopFlag stop;
    (void)FindVolumes(drives, volumes, {DiscoveryMethod::kRange, first, end, 60}, quiet,
                      StopToken(stop));
    std::vector<std::uint64_t> starts;
    for (std::uint32_t i = 0; i < volumes.volumeCount; ++i) {
      starts.push_back(volumes.entries[i].startSector);
    }
    return starts;
  }
  VolumeTable volumes;
};

std::vector<std::byte> FourVolumes() {
  return DiskBuilder(6000)
      .HtfsSuperblock(11, 64, 4)
      .EafsSuperblock(1500, 8)
      .EafsSuperblock(2601, 8)
      .HtfsSuperblock(5990, 8, 4)
      .Take();
}

TEST(SearchReadAhead, BadSectorsAreRetriedAndRecordedAsRunByRun) {
  FaultPlan plan;
  plan.neverReadable = {700, 701, 2599, 5999};
  plan.readableOnAttempt = {{1500, 3}, {2601, 4}};  // three tries are made; 2601 stays zeros
  Search search(FourVolumes(), plan);
  EXPECT_THAT(search.Starts(0, 6000), ElementsAre(10, 1499, 5989));
  EXPECT_THAT(search.drives.BadSectors().Sectors(), ElementsAre(700, 701, 2599, 2601, 5999));
}

TEST(SearchReadAhead, RangesThatEndBeforeABadAreaNeverReportIt) {
  FaultPlan plan;
  plan.neverReadable = {1000};
  Search search(FourVolumes(), plan);
  // Runs of 60 from 0 stop at 960; the window may reach 1000 but fails
  // quietly, and the runs are then read alone.
  EXPECT_THAT(search.Starts(0, 950), ElementsAre(10));
  EXPECT_TRUE(search.drives.BadSectors().Sectors().empty());
}

TEST(SearchReadAhead, ReadsPastTheCapacityStayZeros) {
  // 6000 sectors of data behind a geometry of fewer: what lies past the
  // capacity is never tested, window or not.
  std::vector<std::byte> bytes = FourVolumes();
  auto memory = std::shared_ptr<BlockDeviceSource>(MakeMemorySource(std::move(bytes)));
  RecoverySettings settings;
  DriveTable drives{settings};
  drives.EnumerateDrives(MakeFixedProvider({memory}));
  drives.currentDrive = 0;
  drives.Slot(0).totalSectors = 2000;
  ASSERT_TRUE(drives.OpenCurrentDrive());
  VolumeTable volumes;
  DiscoveryObserver quiet;
  StopFlag stop;
  (void)FindVolumes(drives, volumes, {DiscoveryMethod::kRange, 0, 6000, 60}, quiet,
                    StopToken(stop));
  ASSERT_EQ(volumes.volumeCount, 2U);
  EXPECT_EQ(volumes.entries[1].startSector, 1499U);
}

}  // namespace
}  // namespace tolvar
