// Discovery of volumes whose superblock words are implausible, and of
// signatures that are not volumes: a damaged volume keeps its place and
// number with its size bounded by the disk, and a stray copy of a superblock
// never displaces the volume behind it.

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "disk/block_device_source.hpp"
#include "disk/drive_table.hpp"
#include "tests/support/disk_builder.hpp"
#include "volumes/discovery.hpp"
#include "volumes/superblock_probe.hpp"

namespace tolvar {
namespace {

using testing::DiskBuilder;
using ::testing::HasSubstr;

struct Drive {
  explicit Drive(std::vector<std::byte> bytes) {
    drives.EnumerateDrives(MakeFixedProvider(
        {std::shared_ptr<BlockDeviceSource>(MakeMemorySource(std::move(bytes)))}));
    drives.currentDrive = 0;
    EXPECT_TRUE(drives.OpenCurrentDrive());
  }
  DiscoveryResult Find(const DiscoveryRequest& request = {}) {
    DiscoveryObserver quiet;
    return FindVolumes(drives, volumes, request, quiet, StopToken(stop));
  }
  [[nodiscard]] std::string Joined(const std::vector<std::string>& lines) const {
    std::string all;
    for (const auto& line : lines) all += line + "\n";
    return all;
  }

  RecoverySettings settings;
  DriveTable drives{settings};
  VolumeTable volumes;
  StopFlag stop;
};

// 2000 sectors; the record lists 100 + 600 sectors and 800 + 600 sectors.
// Volume 1 (HTFS, 250 blocks, inode table of 8 blocks) starts at 100, volume
// 2 (EAFS, 200 blocks) at 800, both with their root folder.
DiskBuilder TwoVolumes() {
  DiskBuilder disk(2000);
  disk.PartitionRecord({{100, 300}, {800, 300}})
      .HtfsSuperblock(101, 250, 8, /*word0=*/10, /*word244=*/64)
      .RootFolder(101, true)
      .EafsSuperblock(801, 200)
      .RootFolder(801, false);
  return disk;
}

TEST(ImplausibleSuperblock, SizeWordsThatHideAVolumeAreReplacedByTheBoundsOfTheDisk) {
  // 0, 1 and 3 blocks cannot hold an inode table and a root folder; 2^31
  // blocks wrap to 0 sectors, 0x7FFFFFFF blocks pass the largest volume;
  // 9 is not past the first data block (10) the word at 0 names.
  for (const std::uint32_t size : {0u, 1u, 3u, 9u, 0x80000000u, 0x7FFFFFFFu}) {
    SCOPED_TRACE(size);
    DiskBuilder disk = TwoVolumes();
    disk.Put32(101, 4, size);
    Drive drive(disk.Take());
    drive.Find();
    ASSERT_EQ(drive.volumes.volumeCount, 2u) << drive.Joined(drive.volumes.rejected);
    const VolumeInfo& damaged = drive.volumes.entries[0];
    EXPECT_EQ(damaged.startSector, 100u);
    EXPECT_EQ(damaged.volumeName, "HTFS Partition - 1");
    // The record's range ends at sector 700, before the next volume (800).
    EXPECT_EQ(damaged.sizeSectors, 600u);
    EXPECT_EQ(damaged.inodeCount, 64u);
    ASSERT_EQ(damaged.assumptions.size(), 1u);
    EXPECT_THAT(damaged.assumptions[0],
                HasSubstr(fmt::format("size word ({} blocks) is implausible", size)));
    EXPECT_THAT(damaged.assumptions[0], HasSubstr("the end of its range in the record (sector "
                                                  "700): 600 sectors"));
    ASSERT_EQ(drive.volumes.warnings.size(), 1u);
    EXPECT_THAT(drive.volumes.warnings[0], HasSubstr("volume 1 (HTFS Partition - 1): the "));
    // The volume after it keeps its number.
    EXPECT_EQ(drive.volumes.entries[1].startSector, 800u);
    EXPECT_EQ(drive.volumes.entries[1].volumeName, "EAFS Partition - 2");
    EXPECT_TRUE(drive.volumes.entries[1].assumptions.empty());
  }
}

TEST(ImplausibleSuperblock, TheNextVolumeAndTheDisksEndBoundASizeTooLarge) {
  // A range search knows no record: the next volume bounds the first, the
  // disk's end the last.
  DiskBuilder disk = TwoVolumes();
  disk.Put32(101, 4, 0x7FFFFFFF).Put32(801, 4, 0);
  Drive drive(disk.Take());
  drive.Find({DiscoveryMethod::kRange, 0, 2000, 60});
  ASSERT_EQ(drive.volumes.volumeCount, 2u);
  EXPECT_EQ(drive.volumes.entries[0].sizeSectors, 700u);
  EXPECT_THAT(drive.volumes.entries[0].assumptions[0], HasSubstr("the next volume (sector 800)"));
  EXPECT_EQ(drive.volumes.entries[1].sizeSectors, 1200u);
  EXPECT_EQ(drive.volumes.entries[1].inodeCount, 1200u * 16);
  EXPECT_THAT(drive.volumes.entries[1].assumptions[0],
              HasSubstr("the end of the disk (sector 2000)"));
}

TEST(ImplausibleSuperblock, HtfsWordsAtZeroKeepTheVolumeWhenItsRootIsThere) {
  for (const std::size_t word : {std::size_t{0}, std::size_t{244}}) {
    SCOPED_TRACE(word);
    DiskBuilder disk = TwoVolumes();
    disk.Put32(101, word, 0);
    Drive drive(disk.Take());
    drive.Find();
    ASSERT_EQ(drive.volumes.volumeCount, 2u);
    const VolumeInfo& damaged = drive.volumes.entries[0];
    EXPECT_EQ(damaged.startSector, 100u);
    EXPECT_EQ(damaged.sizeSectors, 500u);  // the size word is sound
    ASSERT_FALSE(damaged.assumptions.empty());
    EXPECT_THAT(damaged.assumptions[0], HasSubstr("words at 0 and 244 read"));
    EXPECT_EQ(drive.volumes.entries[1].volumeName, "EAFS Partition - 2");
  }
  // Without its root folder such a signature is passed over, with the reason.
  DiskBuilder rootless(2000);
  rootless.PartitionRecord({{100, 300}}).HtfsSuperblock(101, 250, 8, 10, 0);
  Drive drive(rootless.Take());
  drive.Find();
  EXPECT_EQ(drive.volumes.volumeCount, 0u);
  ASSERT_EQ(drive.volumes.rejected.size(), 1u);
  EXPECT_EQ(drive.volumes.rejected[0],
            "sector 101: HTFS signature, but its words at 0 and 244 read 10 and 0 and inode 2 "
            "is not a folder");
}

TEST(ImplausibleSuperblock, AnInodeTableOfNoLengthIsBoundedForTheInodeSweep) {
  // Word 248 at 0: the first data block (word 0) still tells the table's
  // length; without it the sweep runs to the volume's end.
  DiskBuilder named = TwoVolumes();
  named.Put32(101, 248, 0);
  Drive first(named.Take());
  first.Find();
  EXPECT_EQ(first.volumes.entries[0].inodeCount, 8u * 8);
  EXPECT_THAT(first.volumes.entries[0].assumptions.at(0),
              HasSubstr("inode table length (word 248) is 0; the inode sweep assumes 8 blocks"));

  DiskBuilder unnamed = TwoVolumes();
  unnamed.Put32(101, 248, 0).Put32(101, 0, 1);
  Drive second(unnamed.Take());
  second.Find();
  EXPECT_EQ(second.volumes.entries[0].inodeCount, (250u - 2) * 8);
  EXPECT_THAT(second.volumes.entries[0].assumptions.at(0), HasSubstr("to the volume's end"));
}

TEST(StraySuperblock, ACopyInsideAVolumeFoundDoesNotDisplaceTheNextVolume) {
  // The second range starts inside volume 1 (sectors 100 to 599), where a
  // file holds a copy of a superblock at sector 450.
  DiskBuilder disk(2000);
  disk.PartitionRecord({{100, 300}, {400, 300}})
      .EafsSuperblock(101, 250)
      .RootFolder(101, false)
      .EafsSuperblock(450, 250)
      .HtfsSuperblock(651, 100, 4)
      .RootFolder(651, true);
  Drive drive(disk.Take());
  drive.Find();
  ASSERT_EQ(drive.volumes.volumeCount, 2u);
  EXPECT_EQ(drive.volumes.entries[0].startSector, 100u);
  EXPECT_EQ(drive.volumes.entries[1].startSector, 650u);
  EXPECT_EQ(drive.volumes.entries[1].volumeName, "HTFS Partition - 2");
  ASSERT_EQ(drive.volumes.rejected.size(), 1u);
  EXPECT_EQ(drive.volumes.rejected[0],
            "sector 450: EAFS signature inside EAFS Partition - 1 (sectors 100 to 599): file "
            "data, not a volume");
}

TEST(StraySuperblock, OnlyAVolumeSeenWithItsRootVouchesForWhatLiesInsideIt) {
  // Volume 1 has no root folder and claims 2000 sectors, past the disk's
  // end: the signature in the second range is still the second volume.
  DiskBuilder disk(1000);
  disk.PartitionRecord({{100, 100}, {400, 100}}).EafsSuperblock(101, 1000).EafsSuperblock(401, 50);
  Drive drive(disk.Take());
  drive.Find();
  ASSERT_EQ(drive.volumes.volumeCount, 2u);
  EXPECT_EQ(drive.volumes.entries[1].startSector, 400u);
  EXPECT_TRUE(drive.volumes.rejected.empty());
}

TEST(StraySuperblock, ASignatureWithoutARootYieldsToALaterVolumeOfTheRange) {
  // A sound-looking superblock at 150 whose inode table holds no root, then
  // a volume with its root at 300, both in one range.
  DiskBuilder disk(1000);
  disk.PartitionRecord({{100, 200}})
      .EafsSuperblock(150, 40)
      .HtfsSuperblock(301, 100, 4)
      .RootFolder(301, true);
  Drive drive(disk.Take());
  drive.Find();
  ASSERT_EQ(drive.volumes.volumeCount, 1u);
  EXPECT_EQ(drive.volumes.entries[0].startSector, 300u);
  ASSERT_EQ(drive.volumes.rejected.size(), 1u);
  EXPECT_EQ(drive.volumes.rejected[0],
            "sector 150: its inode 2 is not a folder, and the volume at sector 301 follows");

  // Alone in its range it is still the range's volume, as before.
  DiskBuilder alone(1000);
  alone.PartitionRecord({{100, 200}}).EafsSuperblock(150, 40);
  Drive only(alone.Take());
  only.Find();
  ASSERT_EQ(only.volumes.volumeCount, 1u);
  EXPECT_EQ(only.volumes.entries[0].startSector, 149u);
  EXPECT_TRUE(only.volumes.rejected.empty());
}

TEST(StraySuperblock, TheRootTestReadsInodeTwoOfEitherLayout) {
  DiskBuilder disk(16);
  disk.RootFolder(1, true).RootFolder(9, false);
  EXPECT_TRUE(HoldsRootFolder(FsType::kHtfs, disk.SectorBytes(4)));
  EXPECT_FALSE(HoldsRootFolder(FsType::kEafs, disk.SectorBytes(4)));
  EXPECT_TRUE(HoldsRootFolder(FsType::kEafs, disk.SectorBytes(12)));
  EXPECT_TRUE(HoldsRootFolder(FsType::kAfs, disk.SectorBytes(12)));
  EXPECT_FALSE(HoldsRootFolder(FsType::kNone, disk.SectorBytes(12)));
  EXPECT_FALSE(HoldsRootFolder(FsType::kEafs, disk.SectorBytes(12).first(100)));
  // A folder mode with no first block is no root.
  disk.Put32(4, 148, 0);
  EXPECT_FALSE(HoldsRootFolder(FsType::kHtfs, disk.SectorBytes(4)));
}

}  // namespace
}  // namespace tolvar
