#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "disk/fault_injecting_source.hpp"
#include "fs/inode_reader.hpp"
#include "fs/mount.hpp"
#include "tests/fs/tiny_volume.hpp"
#include "tests/support/faulty_drive.hpp"

namespace tolvar {
namespace {

using ::testing::ElementsAre;
using testing::FaultyDrive;
using ::testing::IsEmpty;
using testing::TinyVolume;

std::vector<std::byte> NumberedSectors(std::uint32_t count) {
  std::vector<std::byte> bytes(std::size_t{count} * 512);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::byte>((i / 512 * 7 + i) & 0xFF);
  }
  return bytes;
}

TEST(InodeReadAhead, ReadsExactlyAsSingleSectorReadsDo) {
  FaultPlan plan;
  plan.neverReadable = {130, 131, 135, 300};
  plan.readableOnAttempt = {{140, 2}};
  FaultyDrive ahead(NumberedSectors(600), plan);
  FaultyDrive alone(NumberedSectors(600), plan);
  ReadAheadPath readAhead(ahead.drives, kInodeTableReadAhead);
  readAhead.Aim(100, 420);

  // Ascending, a step back, sectors outside the region, the region's last
  // sector and the capacity's edge; 135 is never asked for.
  const std::vector<std::uint64_t> order = {100, 101, 129, 130, 131, 132, 140, 139, 250,
                                            300, 301, 99,  419, 420, 599, 600, 130, 227};
  for (const std::uint64_t sector : order) {
    SCOPED_TRACE(sector);
    const auto got = readAhead.Sector(sector);
    std::vector<std::byte> expected(512);
    (void)alone.drives.ReadSectors(sector, 1, expected);
    ASSERT_EQ(got.size(), 512U);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), expected.begin()));
  }
  EXPECT_EQ(ahead.drives.BadSectors().Sectors(), alone.drives.BadSectors().Sectors());
  EXPECT_THAT(ahead.drives.BadSectors().Sectors(), ElementsAre(130, 131, 300));
}

// EAFS: root (inode 2) at block 40 lists docs (inode 3, block 41) and a
// file; the inode table starts at sector 4, eight inodes per sector.
TinyVolume SmallEafs() {
  TinyVolume v(FsType::kEafs, 200);
  v.Dir(2, {40}).EafsDir(40, 2, 2, {{3, "docs"}, {4, "readme"}});
  v.Dir(3, {41}).EafsDir(41, 3, 2, {{5, "a.txt"}});
  v.File(4, 11, TinyVolume::kTime, 60).File(5, 22, TinyVolume::kTime, 61);
  return v;
}

TEST(InodeReadAhead, MountRecordsOnlyTheBadSectorsItNeeds) {
  for (const RecoveryMode mode : {RecoveryMode::kNormal, RecoveryMode::kExtensive}) {
    SCOPED_TRACE(static_cast<int>(mode));
    // A bad sector among the table's unused inodes: never read alone, so
    // never reported, and the mount finds everything.
    auto volume = SmallEafs();
    FaultPlan unused;
    unused.neverReadable = {volume.Info().inodeTableSector + 3};
    FaultyDrive quiet(volume.Bytes(), unused);
    FileTree tree;
    MountObserver observer;
    StopFlag stop;
    ASSERT_TRUE(MountInto(tree, quiet.drives, volume.Info(), mode, observer, StopToken(stop)));
    EXPECT_EQ(tree.FileCount(), 2U);
    if (mode == RecoveryMode::kNormal) {
      EXPECT_THAT(quiet.drives.BadSectors().Sectors(), IsEmpty());
    } else {
      // The sweep reads every sector of the table.
      EXPECT_THAT(quiet.drives.BadSectors().Sectors(), ElementsAre(*unused.neverReadable.begin()));
    }

    // The sector holding the root's inode: reported alone, as before.
    FaultPlan rootLost;
    rootLost.neverReadable = {volume.Info().inodeTableSector, volume.Info().inodeTableSector + 5};
    FaultyDrive damaged(volume.Bytes(), rootLost);
    ASSERT_TRUE(MountInto(tree, damaged.drives, volume.Info(), mode, observer, StopToken(stop)));
    if (mode == RecoveryMode::kNormal) {
      EXPECT_THAT(damaged.drives.BadSectors().Sectors(),
                  ElementsAre(volume.Info().inodeTableSector));
      EXPECT_EQ(tree.FileCount(), 0U);
    }
  }
}

}  // namespace
}  // namespace tolvar
