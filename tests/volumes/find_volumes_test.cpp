#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <string>
#include <vector>

#include "disk/block_device_source.hpp"
#include "disk/drive_table.hpp"
#include "tests/support/disk_builder.hpp"
#include "volumes/discovery.hpp"

namespace tolvar {
namespace {

using ::testing::ElementsAre;
using testing::DiskBuilder;

// Every event as a line, in order; optionally stops on a chosen volume.
class RecordingObserver final : public DiscoveryObserver {
 public:
  void RecordRangeStarted(std::uint32_t volumesSoFar) override {
    lines.push_back(fmt::format("range {}", volumesSoFar));
  }
  void RunStarted(std::uint64_t done, std::uint64_t total, std::uint64_t sector) override {
    lines.push_back(fmt::format("run {}/{} @{}", done, total, sector));
  }
  void RunFinished(std::uint64_t sector) override { lines.push_back(fmt::format("done @{}", sector)); }
  void VolumeAccepted(const VolumeInfo& volume, std::uint32_t found, bool limit) override {
    lines.push_back(fmt::format("volume {} {} {}", found, volume.startSector, limit));
    if (found == stopAtVolume) stop->RequestStop();
  }

  std::vector<std::string> lines;
  std::uint32_t stopAtVolume = 0;
  StopFlag* stop = nullptr;
};

struct Drive {
  explicit Drive(std::vector<std::byte> bytes) {
    drives.EnumerateDrives(MakeFixedProvider({std::shared_ptr<BlockDeviceSource>(
        MakeMemorySource(std::move(bytes)))}));
    drives.currentDrive = 0;
    EXPECT_TRUE(drives.OpenCurrentDrive());
  }
  DiscoveryResult Find(const DiscoveryRequest& request, RecordingObserver& observer) {
    return FindVolumes(drives, volumes, request, observer, StopToken(stop));
  }

  RecoverySettings settings;
  DriveTable drives{settings};
  VolumeTable volumes;
  StopFlag stop;
};

DiscoveryRequest Range(std::uint32_t start, std::uint32_t end, std::uint32_t perRead) {
  return {DiscoveryMethod::kRange, start, end, perRead};
}

TEST(FindVolumesTest, RecordRangesReportTheirRunsAndTheFirstVolumeOfEach) {
  // Entries of 30 and 20 sectors (15 and 10 KiB); a volume at 12 in the
  // first, with its root folder (a signature without one would leave the
  // range to be scanned on for a better one).
  Drive drive(DiskBuilder(300)
                  .PartitionRecord({{0, 15}, {200, 10}})
                  .EafsSuperblock(12, 8)
                  .RootFolder(12, false)
                  .EafsSuperblock(14, 8)
                  .Take());
  EXPECT_TRUE(HasPartitionRecordMark(drive.drives));
  RecordingObserver observer;
  DiscoveryRequest request;
  request.sectorsPerRead = 10;
  const DiscoveryResult result = drive.Find(request, observer);
  EXPECT_THAT(observer.lines,
              ElementsAre("range 0", "run 0/30 @0", "done @0", "run 10/30 @10", "volume 1 11 false",
                          "range 1", "run 0/20 @200", "done @200", "run 10/20 @210", "done @210"));
  EXPECT_EQ(result.method, DiscoveryMethod::kPartitionRecord);
  EXPECT_TRUE(result.recordMarkPresent);
  EXPECT_FALSE(result.stoppedByRequest);
  EXPECT_EQ(result.volumesFound, 1u);
}

TEST(FindVolumesTest, RecordWithoutItsMarkScansNothing) {
  Drive drive(DiskBuilder(300).EafsSuperblock(12, 8).Take());
  EXPECT_FALSE(HasPartitionRecordMark(drive.drives));
  RecordingObserver observer;
  const DiscoveryResult result = drive.Find({}, observer);
  EXPECT_TRUE(observer.lines.empty());
  EXPECT_FALSE(result.recordMarkPresent);
  EXPECT_EQ(result.volumesFound, 0u);
}

TEST(FindVolumesTest, RangeRunsCountFromTheStartAndEmptyTheTableFirst) {
  Drive drive(DiskBuilder(100).HtfsSuperblock(20, 64, 4).HtfsSuperblock(50, 64, 4).Take());
  drive.volumes.volumeCount = 7;  // left from an earlier discovery
  RecordingObserver observer;
  const DiscoveryResult result = drive.Find(Range(10, 70, 30), observer);
  EXPECT_THAT(observer.lines, ElementsAre("run 0/60 @10", "volume 1 19 false", "run 30/60 @40",
                                          "volume 2 49 false"));
  EXPECT_EQ(result.volumesFound, 2u);
  EXPECT_EQ(drive.volumes.entries[1].volumeName, "HTFS Partition - 2");
}

TEST(FindVolumesTest, RangeClearsAnEarlierStopAndEndsOnANewOne) {
  Drive drive(DiskBuilder(200).EafsSuperblock(5, 8).EafsSuperblock(6, 8).Take());
  drive.stop.RequestStop();  // pressed before the search began: does not count
  RecordingObserver observer;
  observer.stopAtVolume = 1;
  observer.stop = &drive.stop;
  const DiscoveryResult result = drive.Find(Range(0, 200, 60), observer);
  // The stop lands inside the first run: sector 6 is never tested.
  EXPECT_THAT(observer.lines, ElementsAre("run 0/200 @0", "volume 1 4 false"));
  EXPECT_TRUE(result.stoppedByRequest);
  EXPECT_EQ(result.volumesFound, 1u);
}

TEST(FindVolumesTest, RangeEndsAtTheLimitWithoutAStop) {
  DiskBuilder disk(400);
  for (std::uint32_t s = 1; s <= 150; ++s) disk.EafsSuperblock(s, 8);
  Drive drive(disk.Take());
  RecordingObserver observer;
  const DiscoveryResult result = drive.Find(Range(0, 400, 100), observer);
  EXPECT_EQ(observer.lines.back(), "volume 99 98 true");
  EXPECT_TRUE(result.limitReached);
  EXPECT_FALSE(result.stoppedByRequest);
  EXPECT_FALSE(drive.stop.Requested());
  EXPECT_EQ(result.volumesFound, kSearchVolumeLimit);
}

}  // namespace
}  // namespace tolvar
