#include "volumes/superblock_probe.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "disk/block_device_source.hpp"
#include "disk/drive_table.hpp"
#include "tests/support/disk_builder.hpp"
#include "volumes/discovery.hpp"
#include "volumes/partition_record.hpp"

namespace tolvar {
namespace {

using testing::DiskBuilder;

// What a sector search of the whole disk takes from each superblock:
// discovery's judgement, sector by sector.
class SuperblockSearch : public ::testing::Test {
 protected:
  std::uint32_t Search(const DiskBuilder& disk) {
    drives.EnumerateDrives(
        MakeFixedProvider({std::shared_ptr<BlockDeviceSource>(MakeMemorySource(disk.Bytes()))}));
    drives.currentDrive = 0;
    EXPECT_TRUE(drives.OpenCurrentDrive());
    DiscoveryObserver quiet;
    StopFlag stop;
    const DiscoveryRequest request{DiscoveryMethod::kRange, 0, disk.Bytes().size() / 512, 4};
    return FindVolumes(drives, table, request, quiet, StopToken(stop)).volumesFound;
  }

  RecoverySettings settings;
  DriveTable drives{settings};
  VolumeTable table;
};

TEST_F(SuperblockSearch, EafsEntryTakesSizeAndInodesFromWordFour) {
  ASSERT_EQ(Search(DiskBuilder(8).EafsSuperblock(3, 1000)), 1u);
  const VolumeInfo& v = table.entries[0];
  EXPECT_EQ(v.fsType, FsType::kEafs);
  EXPECT_EQ(v.sizeSectors, 2000u);
  EXPECT_EQ(v.inodeCount, 32000u);
  EXPECT_EQ(v.startSector, 2u);
  EXPECT_EQ(v.inodeTableSector, 6u);
  EXPECT_EQ(v.sectorsPerBlock, 2u);
  EXPECT_EQ(v.volumeName, "EAFS Partition - 1");
  EXPECT_TRUE(v.assumptions.empty());
}

TEST_F(SuperblockSearch, HtfsEntryTakesInodesFromTheInodeTableLength) {
  ASSERT_EQ(Search(DiskBuilder(8).EafsSuperblock(1, 10).HtfsSuperblock(5, 1000, 500)), 2u);
  const VolumeInfo& v = table.entries[1];
  EXPECT_EQ(v.fsType, FsType::kHtfs);
  EXPECT_EQ(v.sizeSectors, 2000u);
  EXPECT_EQ(v.inodeCount, 4000u);
  EXPECT_EQ(v.startSector, 4u);
  // Names count the entry's position, whatever its type.
  EXPECT_EQ(v.volumeName, "HTFS Partition - 2");
}

TEST_F(SuperblockSearch, HtfsWithoutBothCheckWordsNeedsItsRootFolder) {
  DiskBuilder disk(16);
  disk.HtfsSuperblock(1, 100, 10, /*word0=*/0, /*word244=*/1);
  disk.Put32(4, 504, 0xA060492B);  // one bit off the HTFS magic
  disk.Put32(4, 0, 1).Put32(4, 244, 1);
  disk.HtfsSuperblock(9, 100, 10, /*word0=*/1, /*word244=*/0).RootFolder(9, true);
  ASSERT_EQ(Search(disk), 1u);
  EXPECT_EQ(table.entries[0].startSector, 8u);
  EXPECT_EQ(table.entries[0].volumeName, "HTFS Partition - 1");
  EXPECT_FALSE(table.entries[0].assumptions.empty());
  ASSERT_EQ(table.rejected.size(), 1u);
  EXPECT_THAT(table.rejected[0], ::testing::StartsWith("sector 1: HTFS signature"));
}

TEST_F(SuperblockSearch, AfsNeedsItsFreeCountMark) {
  DiskBuilder disk(8);
  // The AFS magic with the free count 0xFFFF, then without it.
  disk.Put32(1, 504, 0xFD187E20).Put32(1, 4, 700).Put16(1, 8, 0xFFFF);
  disk.Put32(3, 504, 0xFD187E20).Put32(3, 4, 700).Put16(3, 8, 0xFFFE);
  // The two other magics keep their meaning whatever the free count says.
  disk.EafsSuperblock(5, 10).Put16(5, 8, 0xFFFF);
  EXPECT_FALSE(HasSuperblockMagic(disk.SectorBytes(0)));
  EXPECT_TRUE(HasSuperblockMagic(disk.SectorBytes(3)));
  ASSERT_EQ(Search(disk), 2u);
  const VolumeInfo& afs = table.entries[0];
  EXPECT_EQ(afs.fsType, FsType::kAfs);
  EXPECT_EQ(afs.startSector, 0u);
  EXPECT_EQ(afs.volumeName, "AFS Partition - 1");
  EXPECT_EQ(afs.sizeSectors, 1400u);
  EXPECT_EQ(afs.inodeCount, 700u * 32);
  EXPECT_EQ(table.entries[1].fsType, FsType::kEafs);
  EXPECT_EQ(table.entries[1].startSector, 4u);
  EXPECT_EQ(table.entries[1].volumeName, "EAFS Partition - 2");
}

TEST_F(SuperblockSearch, ASizePastTheLimitIsTakenOnlyWithItsRootFolder) {
  DiskBuilder disk(16);
  disk.EafsSuperblock(1, kMaxVolumeSectors / 2);
  disk.HtfsSuperblock(4, kMaxVolumeSectors / 2 + 1, 10);
  disk.HtfsSuperblock(9, kMaxVolumeSectors / 2 + 1, 1).RootFolder(9, true);
  ASSERT_EQ(Search(disk), 2u);
  EXPECT_EQ(table.entries[0].sizeSectors, kMaxVolumeSectors);  // the limit is inclusive
  EXPECT_TRUE(table.entries[0].assumptions.empty());
  // The one with its root folder reaches the disk's end instead.
  EXPECT_EQ(table.entries[1].startSector, 8u);
  EXPECT_EQ(table.entries[1].sizeSectors, 8u);
  EXPECT_EQ(table.entries[1].volumeName, "HTFS Partition - 2");
  ASSERT_EQ(table.rejected.size(), 1u);
  EXPECT_THAT(table.rejected[0], ::testing::StartsWith("sector 4: "));
}

TEST_F(SuperblockSearch, NoVolumeBeginsBeforeTheDisk) {
  ASSERT_EQ(Search(DiskBuilder(4).EafsSuperblock(0, 4)), 0u);
  ASSERT_EQ(table.rejected.size(), 1u);
  EXPECT_THAT(table.rejected[0], ::testing::HasSubstr("first sector"));
}

TEST(PartitionRecordTest, DecodesSevenEntriesBehindTheMark) {
  DiskBuilder disk(106);
  disk.PartitionRecord(
      {{10, 20}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0xFFFFFFF0, 0x80000001}});
  const auto record = DecodePartitionRecord(disk.SectorBytes(105));
  ASSERT_TRUE(record);
  EXPECT_EQ(record->entries[0].startSector, 10u);
  EXPECT_EQ(record->entries[0].SectorCount(), 40u);
  EXPECT_EQ(record->entries[6].startSector, 0xFFFFFFF0u);
  EXPECT_EQ(record->entries[6].SectorCount(), 2u);  // 32-bit, wrapping

  DiskBuilder unmarked(106);
  unmarked.PartitionRecord({{10, 20}}, 0x3412);
  EXPECT_FALSE(DecodePartitionRecord(unmarked.SectorBytes(105)));
  EXPECT_FALSE(DecodePartitionRecord(disk.SectorBytes(105).first(57)));
}

}  // namespace
}  // namespace tolvar
