// The stacked read path: the policy's retries, zero-fill and failed-sector
// list, the read-ahead's windows and their edges, and a stop during
// retries, each over a drive whose faults are planned.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "disk/drive_table.hpp"
#include "disk/fault_injecting_source.hpp"
#include "disk/read_ahead_path.hpp"
#include "disk/read_ahead_sectors.hpp"
#include "disk/retrying_sectors.hpp"
#include "tests/disk/disk_test_util.hpp"

namespace tolvar {
namespace {

using testing::AllZero;
using ::testing::ElementsAreArray;
using testing::PatternBytes;
using testing::SectorsOf;

constexpr std::uint64_t kDriveSectors = 600;

// A drive table over a 600-sector drive (geometry 600 x 1 x 1) whose data
// ends at `truncateToSectors` when the plan says so.
struct PlannedDrive {
  explicit PlannedDrive(FaultPlan plan, std::uint16_t retries = 3) {
    settings.badSectorRetries = retries;
    DeviceDescription description;
    description.geometry = {kDriveSectors, 1, 1};
    std::shared_ptr<BlockDeviceSource> memory = MakeMemorySource(bytes, description);
    drives.EnumerateDrives(MakeFixedProvider({MakeFaultInjectingSource(memory, std::move(plan))}));
    EXPECT_TRUE(drives.OpenCurrentDrive());
  }
  std::vector<std::byte> bytes = PatternBytes(kDriveSectors);
  RecoverySettings settings;
  DriveTable drives{settings};
};

// Passes reads on and notes each request; asks for a stop after reading
// `stopAfter` alone.
class Recorder final : public SectorSource {
 public:
  explicit Recorder(SectorSource& lower) : lower_(lower) {}
  std::uint64_t SectorCount() const override { return lower_.SectorCount(); }
  std::uint64_t RequestEnd() const override { return lower_.RequestEnd(); }
  std::uint64_t ReadAheadEnd() const override { return lower_.ReadAheadEnd(); }
  SectorReadResult Read(std::uint64_t first, std::span<std::byte> out) override {
    const std::uint64_t count = out.size() / kSectorSize;
    requests.push_back({first, count});
    auto read = lower_.Read(first, out);
    if (count == 1 && first == stopAfter) stop.RequestStop();
    return read;
  }
  std::vector<SectorRun> requests;
  std::uint64_t stopAfter = ~std::uint64_t{0};
  StopFlag stop;

 private:
  SectorSource& lower_;
};

TEST(ReadPath, ThePolicyRetriesZeroFillsAndNamesWhatFailed) {
  struct Case {
    const char* what;
    FaultPlan plan;
    std::uint16_t retries;
    std::uint64_t first, count;
    std::uint64_t stopAfter;  // a stop is asked for once this sector has been read alone
    std::vector<SectorRun> unread;
    std::vector<std::uint64_t> recorded;
    std::size_t requests;  // reads that reached the drive
    bool stopped;
  };
  constexpr std::uint64_t kNever = ~std::uint64_t{0};
  const std::vector<Case> cases = {
      {"a clean read is one request", {}, 3, 10, 8, kNever, {}, {}, 1, false},
      {"a run that fails as a whole reads sector by sector",
       {.bulkReadsFail = true},
       3,
       10,
       4,
       kNever,
       {},
       {},
       5,
       false},
      {"neighbouring bad sectors make one run",
       {.neverReadable = {12, 13, 16}},
       2,
       10,
       8,
       kNever,
       {{12, 2}, {16, 1}},
       {12, 13, 16},
       1 + 5 + 3 * 2,
       false},
      {"a sector readable on the third try needs three",
       {.readableOnAttempt = {{11, 3}}},
       3,
       10,
       3,
       kNever,
       {},
       {},
       1 + 1 + 3 + 1,
       false},
      {"two tries are not enough for it",
       {.readableOnAttempt = {{11, 3}}},
       2,
       10,
       3,
       kNever,
       {{11, 1}},
       {11},
       1 + 1 + 2 + 1,
       false},
      {"past the data's end: unread, and not bad",
       {.truncateToSectors = 500},
       3,
       498,
       4,
       kNever,
       {{500, 2}},
       {},
       1 + 2 + 3 * 2,
       false},
      {"past the capacity: refused untried",
       {},
       3,
       kDriveSectors + 1,
       2,
       kNever,
       {{kDriveSectors + 1, 2}},
       {},
       0,
       false},
      {"a stop ends the retries; the rest is unread, unrecorded",
       {.neverReadable = {20}, .bulkReadsFail = true},
       3,
       16,
       8,
       18,
       {{19, 5}},
       {},
       1 + 3,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PlannedDrive drive(c.plan, c.retries);
    Recorder recorder(drive.drives.Sectors());
    recorder.stopAfter = c.stopAfter;
    RetryingSectors policy(recorder, drive.settings, drive.drives.BadSectors(),
                           StopToken(recorder.stop));
    std::vector<std::byte> out(c.count * kSectorSize, std::byte{0xAA});
    const auto read = policy.Read(c.first, out);
    EXPECT_EQ(read.has_value(), c.unread.empty());
    if (!read) {
      EXPECT_THAT(read.error().runs, ElementsAreArray(c.unread));
      EXPECT_EQ(read.error().stopped, c.stopped);
      EXPECT_EQ(read.error().beyondDrive, c.first > kDriveSectors);
    }
    EXPECT_EQ(drive.drives.BadSectors().Sectors(), c.recorded);
    EXPECT_EQ(recorder.requests.size(), c.requests);
    for (std::uint64_t i = 0; i < c.count; ++i) {
      const auto got = std::span<const std::byte>(out).subspan(i * kSectorSize, kSectorSize);
      if (c.first > kDriveSectors) {
        EXPECT_EQ(got[0], std::byte{0xAA}) << "a refused read leaves the buffer alone";
      } else if (read || !read.error().Contains(c.first + i)) {
        EXPECT_TRUE(std::ranges::equal(got, SectorsOf(drive.bytes, c.first + i, 1))) << i;
      } else {
        EXPECT_TRUE(AllZero(got)) << i;
      }
    }
  }
}

TEST(ReadPath, WindowsServeWhatTheyHoldAndStopAtEveryEdge) {
  // Windows of 32 sectors, two kept, aimed at [100, 420); sector 200 never
  // reads; the capacity ends the drive at 600.
  PlannedDrive drive({.neverReadable = {200}});
  Recorder recorder(drive.drives.Sectors());
  ReadAheadSectors ahead(recorder, {32, 2});
  RetryingSectors policy(ahead, drive.settings, drive.drives.BadSectors());
  ahead.Aim(100, 420);
  struct Step {
    const char* what;
    std::uint64_t first, count;
    std::vector<SectorRun> requests;  // what reached the drive for it
  };
  const std::vector<Step> steps = {
      {"a miss reads the window from the aim's start", 100, 1, {{100, 32}}},
      {"its last sector is a hit", 131, 1, {}},
      {"the next sector starts the next window", 132, 2, {{132, 32}}},
      {"below the aim: read alone", 99, 1, {{99, 1}}},
      {"the aim's last window ends at the aim", 419, 1, {{388, 32}}},
      {"at the aim's end: read alone", 420, 1, {{420, 1}}},
      {"across a window's end: a window of its own", 130, 4, {{130, 32}}},
      {"that took the place of the window used longest ago", 419, 1, {}},
      {"longer than a window: read alone", 100, 40, {{100, 40}}},
      {"a window over a bad sector fails; the sector is retried alone",
       199,
       2,
       {{196, 32}, {199, 2}, {199, 1}, {200, 1}, {200, 1}, {200, 1}}},
      {"inside the failed window: read alone", 210, 1, {{210, 1}}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    recorder.requests.clear();
    std::vector<std::byte> out(step.count * kSectorSize);
    (void)policy.Read(step.first, out);
    EXPECT_THAT(recorder.requests, ElementsAreArray(step.requests));
    for (std::uint64_t i = 0; i < step.count; ++i) {
      const auto got = std::span<const std::byte>(out).subspan(i * kSectorSize, kSectorSize);
      if (step.first + i == 200) {
        EXPECT_TRUE(AllZero(got));
      } else {
        EXPECT_TRUE(std::ranges::equal(got, SectorsOf(drive.bytes, step.first + i, 1))) << i;
      }
    }
  }
  EXPECT_EQ(drive.drives.BadSectors().Sectors(), std::vector<std::uint64_t>{200});

  // Unaimed, a window stops where the drive does.
  ahead.Aim(0, ~std::uint64_t{0});
  recorder.requests.clear();
  std::vector<std::byte> one(kSectorSize);
  ASSERT_TRUE(policy.Read(590, one));
  EXPECT_THAT(recorder.requests, ElementsAreArray(std::vector<SectorRun>{{576, 24}}));
}

TEST(ReadPath, APathReadsAsTheDriveTableDoesAndClaimsNoFileOfItsOwn) {
  PlannedDrive ahead({.neverReadable = {130, 131}, .readableOnAttempt = {{140, 2}}});
  PlannedDrive alone({.neverReadable = {130, 131}, .readableOnAttempt = {{140, 2}}});
  ReadAheadPath path(ahead.drives, {16, 4});
  for (const std::uint64_t sector : {120, 130, 131, 140, 139, 599, 600, 601}) {
    SCOPED_TRACE(sector);
    const auto got = path.Sector(sector);
    std::vector<std::byte> expected(kSectorSize);
    (void)alone.drives.ReadSectors(sector, 1, expected);
    EXPECT_TRUE(std::ranges::equal(got, expected));
  }
  EXPECT_EQ(ahead.drives.BadSectors().Sectors(), alone.drives.BadSectors().Sectors());
  // Memory holds no host file, whatever layers stand over it.
  EXPECT_FALSE(ahead.drives.FileBacking(0, 8).has_value());
  EXPECT_FALSE(path.Ahead().FileBacking(0, 8).has_value());
}

}  // namespace
}  // namespace tolvar
