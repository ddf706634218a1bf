#include "volumes/superblock_probe.hpp"

#include <gtest/gtest.h>

#include "tests/support/disk_builder.hpp"
#include "volumes/partition_record.hpp"

namespace tolvar {
namespace {

using testing::DiskBuilder;

class ProbeTest : public ::testing::Test {
 protected:
  ProbeResult Probe(const DiskBuilder& disk, std::uint32_t sector) {
    return ProbeSuperblockSector(table, disk.SectorBytes(sector), sector);
  }

  VolumeTable table;
};

TEST_F(ProbeTest, EafsEntryTakesSizeAndInodesFromWordFour) {
  DiskBuilder disk(8);
  disk.EafsSuperblock(3, 1000);
  ASSERT_EQ(Probe(disk, 3), ProbeResult::kAccepted);
  ASSERT_EQ(table.volumeCount, 1u);
  const VolumeInfo& v = table.entries[0];
  EXPECT_EQ(v.fsType, FsType::kEafs);
  EXPECT_EQ(v.sizeSectors, 2000u);
  EXPECT_EQ(v.inodeCount, 32000u);
  EXPECT_EQ(v.startSector, 2u);
  EXPECT_EQ(v.inodeTableSector, 6u);
  EXPECT_EQ(v.sectorsPerBlock, 2u);
  EXPECT_EQ(v.volumeName, "EAFS Partition - 1");
}

TEST_F(ProbeTest, HtfsEntryTakesInodesFromTheInodeTableLength) {
  DiskBuilder disk(8);
  disk.EafsSuperblock(1, 10).HtfsSuperblock(5, 1000, 500);
  ASSERT_EQ(Probe(disk, 1), ProbeResult::kAccepted);
  ASSERT_EQ(Probe(disk, 5), ProbeResult::kAccepted);
  const VolumeInfo& v = table.entries[1];
  EXPECT_EQ(v.fsType, FsType::kHtfs);
  EXPECT_EQ(v.sizeSectors, 2000u);
  EXPECT_EQ(v.inodeCount, 4000u);
  EXPECT_EQ(v.startSector, 4u);
  // Names count the entry's position, whatever its type.
  EXPECT_EQ(v.volumeName, "HTFS Partition - 2");
}

TEST_F(ProbeTest, HtfsNeedsBothCheckWordsEafsNeedsNothing) {
  DiskBuilder disk(8);
  disk.HtfsSuperblock(1, 100, 10, /*word0=*/0, /*word244=*/1);
  disk.HtfsSuperblock(2, 100, 10, /*word0=*/1, /*word244=*/0);
  disk.EafsSuperblock(3, 0);
  disk.Put32(4, 504, 0xA060492B);  // one bit off the HTFS magic
  disk.Put32(4, 0, 1).Put32(4, 244, 1);
  EXPECT_EQ(Probe(disk, 1), ProbeResult::kNone);
  EXPECT_EQ(Probe(disk, 2), ProbeResult::kNone);
  EXPECT_EQ(Probe(disk, 4), ProbeResult::kNone);
  EXPECT_EQ(Probe(disk, 0), ProbeResult::kNone);
  EXPECT_EQ(Probe(disk, 3), ProbeResult::kAccepted);
  EXPECT_EQ(table.entries[0].sizeSectors, 0u);
}

TEST_F(ProbeTest, SizeLimitIsInclusive) {
  DiskBuilder disk(8);
  disk.EafsSuperblock(1, kMaxVolumeSectors / 2);
  disk.HtfsSuperblock(2, kMaxVolumeSectors / 2 + 1, 10);
  EXPECT_EQ(Probe(disk, 2), ProbeResult::kRejected);
  EXPECT_EQ(table.volumeCount, 0u);
  ASSERT_EQ(Probe(disk, 1), ProbeResult::kAccepted);
  EXPECT_EQ(table.entries[0].sizeSectors, kMaxVolumeSectors);
  // The rejected candidate left no trace: the accepted one is number 1.
  EXPECT_EQ(table.entries[0].volumeName, "EAFS Partition - 1");
}

TEST_F(ProbeTest, SameStartIsADuplicate) {
  DiskBuilder disk(8);
  disk.HtfsSuperblock(3, 100, 10);
  ASSERT_EQ(Probe(disk, 3), ProbeResult::kAccepted);
  EXPECT_EQ(Probe(disk, 3), ProbeResult::kDuplicate);
  EXPECT_EQ(table.volumeCount, 1u);
}

TEST_F(ProbeTest, StartSectorWrapsAtThirtyTwoBits) {
  DiskBuilder disk(1);
  disk.EafsSuperblock(0, 4);
  ASSERT_EQ(Probe(disk, 0), ProbeResult::kAccepted);
  EXPECT_EQ(table.entries[0].startSector, 0xFFFFFFFFu);
  EXPECT_EQ(table.entries[0].inodeTableSector, 3u);
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
