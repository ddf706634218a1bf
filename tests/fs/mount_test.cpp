#include "fs/mount.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fs/extensive.hpp"
#include "fs/timestamp.hpp"
#include "tests/fs/tiny_volume.hpp"

namespace tolvar {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::MountRig;
using testing::TinyVolume;
using ::testing::UnorderedElementsAre;
using Slots = std::vector<std::pair<std::uint16_t, std::string>>;
using Htfs = std::vector<TinyVolume::HtfsEntry>;

// EAFS: root (inode 2) at block 40 lists docs (inode 3, block 41) and a
// file; docs lists a file and a link back to the root.
TinyVolume SmallEafs() {
  TinyVolume v(FsType::kEafs, 200);
  v.Dir(2, {40}).EafsDir(40, 2, 2, {{3, "docs"}, {4, "readme"}, {0, "deleted"}});
  v.Dir(3, {41}).EafsDir(41, 3, 2, {{5, "a.txt"}, {2, "root"}, {3, "self"}});
  v.File(4, 11, TinyVolume::kTime, 60).File(5, 22, TinyVolume::kTime, 61);
  return v;
}

TEST(NormalMountTest, EafsReadsEveryBlockOfALongDirectory) {
  // 100 files: 62 in the first block, 38 in a second one; the third block
  // is a hole and the fourth comes through the single-indirect list.
  TinyVolume v(FsType::kEafs, 400);
  Slots first;
  Slots second;
  for (std::uint16_t i = 0; i < 100; ++i) {
    const std::uint16_t inode = static_cast<std::uint16_t>(10 + i);
    v.File(inode, i, TinyVolume::kTime, 300);
    (i < 62 ? first : second).push_back({inode, "f" + std::to_string(i)});
  }
  v.File(200, 1, TinyVolume::kTime, 300).File(201, 1, TinyVolume::kTime, 300);
  v.Dir(2, {40, 41, 0, 42, 43, 44, 45, 46, 47, 48}, TinyVolume::kTime, 50, 0, 11 * 1024)
      .EafsDir(40, 2, 2, first)
      .EafsBlock(41, second)
      .EafsBlock(50, {})
      .Indirect(50, {49})
      .EafsBlock(49, {{200, "via_indirect"}, {201, "second_entry"}});
  MountRig rig(v.Bytes(), v.Info());
  ASSERT_TRUE(rig.Mount(RecoveryMode::kNormal));
  EXPECT_EQ(rig.tree.FileCount(), 102U);
  EXPECT_THAT(rig.FileNames(), Contains("via_indirect"));
}

TEST(NormalMountTest, EafsDirectoryWhoseFirstBlockIsNoneAddsNothing) {
  TinyVolume v(FsType::kEafs, 200);
  v.Dir(2, {40, 41}).EafsDir(40, 2, 2, {{3, "d"}});
  v.Dir(3, {42, 43}).EafsBlock(42, {{9, "no"}, {9, "dots"}, {10, "x"}}).EafsBlock(43, {{10, "y"}});
  v.File(10, 1, TinyVolume::kTime, 60);
  MountRig rig(v.Bytes(), v.Info());
  ASSERT_TRUE(rig.Mount(RecoveryMode::kNormal));
  EXPECT_THAT(rig.Listing(), ElementsAre("d/"));
}

TEST(NormalMountTest, HtfsFollowsDirectThenIndirectBlocks) {
  TinyVolume v(FsType::kHtfs, 400);
  std::vector<std::uint32_t> direct;
  for (std::uint32_t b = 0; b < 10; ++b) direct.push_back(100 + b);
  v.Dir(2, direct, TinyVolume::kTime, 200);
  v.Indirect(200, {110, 111, 112});
  v.HtfsDir(100, 2, 2, {{20, "blk0", 0, -1}});
  for (std::uint32_t b = 1; b < 13; ++b) {
    v.HtfsBlock(100 + b, {{20 + b, "blk" + std::to_string(b), 0, -1}});
  }
  for (std::uint32_t i = 20; i < 33; ++i) v.File(i, 1, TinyVolume::kTime, 300);
  MountRig rig(v.Bytes(), v.Info());
  ASSERT_TRUE(rig.Mount(RecoveryMode::kNormal));
  EXPECT_EQ(rig.tree.FileCount(), 13U);

  // A zero third address ends the list there, indirect block or not.
  v.Dir(2, {100, 101, 0, 103, 104, 105, 106, 107, 108, 109}, TinyVolume::kTime, 200);
  MountRig second(v.Bytes(), v.Info());
  ASSERT_TRUE(second.Mount(RecoveryMode::kNormal));
  EXPECT_THAT(second.FileNames(), ElementsAre("blk0", "blk1"));
}

TEST(NormalMountTest, HtfsFollowsDoubleIndirectWhenSingleIsFull) {
  TinyVolume v(FsType::kHtfs, 1200);
  std::vector<std::uint32_t> direct(10);
  std::vector<std::uint32_t> single(256);
  for (std::uint32_t i = 0; i < 10; ++i) direct[i] = 100 + i;
  for (std::uint32_t i = 0; i < 256; ++i) single[i] = 200 + i;
  v.Dir(2, direct, TinyVolume::kTime, 90, 91)
      .Indirect(90, single)
      .Indirect(91, {92})
      .Indirect(92, {600});
  v.HtfsDir(100, 2, 2, {});
  v.HtfsBlock(600, {{40, "deep", 0, -1}});
  v.File(40, 1, TinyVolume::kTime, 300);
  MountRig rig(v.Bytes(), v.Info());
  ASSERT_TRUE(rig.Mount(RecoveryMode::kNormal));
  EXPECT_THAT(rig.FileNames(), ElementsAre("deep"));
}

TEST(NormalMountTest, DroppedEntriesAndTwoNamesForOneFile) {
  TinyVolume v(FsType::kHtfs, 200, 4, 0, 500);
  v.Dir(2, {40}).HtfsDir(40, 2, 2,
                         {{10, "zero_time", 0, -1},
                          {11, "negative_time", 0, -1},
                          {12, "beyond_drive", 0, -1},
                          {13, "name1", 0, -1},
                          {13, "name2", 0, -1},
                          {14, "dir_without_block", 0, -1},
                          {15, "symlink", 0, -1}});
  v.File(10, 1, 0, 60).File(11, 1, 0x80000000U, 60).File(12, 1, TinyVolume::kTime, 400);
  v.File(13, 5, TinyVolume::kTime, 60);
  v.Inode(14, TinyVolume::kDirMode, 0, {});
  v.Inode(15, 0120777, 4, {61});
  MountRig rig(v.Bytes(), v.Info());
  ASSERT_TRUE(rig.Mount(RecoveryMode::kNormal));
  // Time stamps that read "Error" drop nothing; a first block beyond the
  // drive does.
  EXPECT_THAT(rig.FileNames(), ElementsAre("zero_time", "negative_time", "name1", "name2",
                                           "dir_without_block", "symlink"));
  EXPECT_EQ(rig.tree.FolderCount(), 0U);
}

TEST(NormalMountTest, CyclesAndSharedBlocksDoNotLoop) {
  // Two directories list each other, and a third claims the first one's block.
  TinyVolume v(FsType::kEafs, 200);
  v.Dir(2, {40}).EafsDir(40, 2, 2, {{3, "a"}, {5, "c"}});
  v.Dir(3, {41}).EafsDir(41, 3, 2, {{4, "b"}});
  v.Dir(4, {42}).EafsDir(42, 4, 3, {{3, "a_again"}, {2, "up"}});
  v.Dir(5, {41});
  MountRig rig(v.Bytes(), v.Info());
  ASSERT_TRUE(rig.Mount(RecoveryMode::kNormal));
  EXPECT_THAT(rig.Listing(), ElementsAre("a/", "a/b/", "c/"));
}

TEST(NormalMountTest, RootWithoutBlockOrUnknownTypeShowsNothing) {
  TinyVolume v(FsType::kEafs, 200);
  v.Inode(2, TinyVolume::kDirMode, 1024, {});
  MountRig rig(v.Bytes(), v.Info());
  ASSERT_TRUE(rig.Mount(RecoveryMode::kNormal));
  EXPECT_TRUE(rig.tree.Folders().empty());
  EXPECT_TRUE(rig.RootEntries().empty());

  auto other = SmallEafs();
  VolumeInfo info = other.Info();
  info.fsType = FsType::kNone;
  MountRig none(other.Bytes(), info);
  ASSERT_TRUE(none.Mount(RecoveryMode::kNormal));
  EXPECT_TRUE(none.tree.Files().empty());
}

// Asks for a stop once two folders have been reported.
class StopAtSecondFolder final : public MountObserver {
 public:
  explicit StopAtSecondFolder(WizardState& state) : state_(state) {}
  void FolderFound(std::uint32_t folderCount, std::string_view) override {
    if (folderCount == 2) state_.RequestStop();
  }

 private:
  WizardState& state_;
};

TEST(NormalMountTest, StopEndsTheWalkBetweenDirectories) {
  TinyVolume v(FsType::kEafs, 200);
  v.Dir(2, {40}).EafsDir(40, 2, 2, {{3, "a"}, {4, "b"}, {7, "f"}});
  v.Dir(3, {41}).EafsDir(41, 3, 2, {{5, "a1"}});
  v.Dir(4, {42}).EafsDir(42, 4, 2, {{6, "b1"}});
  v.File(5, 1, TinyVolume::kTime, 60).File(6, 1, TinyVolume::kTime, 60);
  v.File(7, 1, TinyVolume::kTime, 60);
  MountRig rig(v.Bytes(), v.Info());
  StopAtSecondFolder stopper(rig.state);
  ASSERT_TRUE(rig.Mount(RecoveryMode::kNormal, &stopper));
  // The root's block is finished; no folder below it is walked.
  EXPECT_THAT(rig.FileNames(), ElementsAre("f"));
  EXPECT_EQ(rig.tree.FolderCount(), 2U);
  EXPECT_THAT(rig.RootEntries(), ElementsAre("a", "b", "f")) << "the walk so far is kept";
}

// The extensive cases: root destroyed, sub-directories intact.
TinyVolume DamagedEafs() {
  TinyVolume v(FsType::kEafs, 200);
  v.Dir(2, {40}).Fill(40, std::byte{0x5A});  // the root's block is gone
  v.Dir(3, {41}).EafsDir(41, 3, 2, {{4, "inner"}, {10, "top.txt"}});
  v.Dir(4, {42}).EafsDir(42, 4, 3, {{11, "deep.txt"}});
  v.Dir(5, {43}).EafsDir(43, 5, 9, {{12, "orphan.txt"}});  // parent 9 is no directory
  v.Dir(6, {44}).EafsDir(44, 6, 7, {});                    // 6 and 7 name each other
  v.Dir(7, {45}).EafsDir(45, 7, 6, {});
  v.Dir(8, {46}).EafsDir(46, 3, 2, {});  // its block names inode 3: a stale copy
  for (std::uint32_t i = 10; i < 13; ++i) v.File(i, i, TinyVolume::kTime, 60);
  return v;
}

TEST(ExtensiveMountTest, SurvivingFoldersKeepListedOrMadeUpNames) {
  auto v = DamagedEafs();
  MountRig rig(v.Bytes(), v.Info());
  ASSERT_TRUE(rig.Mount(RecoveryMode::kExtensive));
  EXPECT_THAT(
      rig.Listing(),
      UnorderedElementsAre("Dir3/", "Dir3/inner/", "Dir3/top.txt", "Dir3/inner/deep.txt",
                           "LostDir/", "LostDir/Dir9/", "LostDir/Dir9/Dir5/",
                           "LostDir/Dir9/Dir5/orphan.txt", "LostDir/Dir6/", "LostDir/Dir6/Dir7/"));
  const FolderNode* lost = rig.FolderNamed("LostDir");
  ASSERT_NE(lost, nullptr);
  EXPECT_EQ(lost->inode, kLostDirInode);
  EXPECT_EQ(rig.tree.FindFolder(8), nullptr);
  // Root's sub-folders: "LostDir" last, with a time that shows as Error.
  ASSERT_FALSE(rig.RootEntries().empty());
  EXPECT_EQ(rig.RootEntries().back(), "LostDir");
  EXPECT_EQ(FormatTimestamp(lost->time).date, "Error");
}

TEST(ExtensiveMountTest, ParentsZeroAndOneStillReachLostDir) {
  TinyVolume v(FsType::kEafs, 200);
  v.Dir(3, {41}).EafsDir(41, 3, 0, {});
  v.Dir(4, {42}).EafsDir(42, 4, 1, {});
  MountRig rig(v.Bytes(), v.Info());
  ASSERT_TRUE(rig.Mount(RecoveryMode::kExtensive));
  EXPECT_THAT(rig.Listing(), UnorderedElementsAre("LostDir/", "LostDir/Dir0/", "LostDir/Dir0/Dir3/",
                                                  "LostDir/Dir1/", "LostDir/Dir1/Dir4/"));
}

TEST(ExtensiveMountTest, EafsScanStaysInsideTheVolume) {
  // The table's inode count (size x 32) would take the scan over sectors 4
  // to 403, twice the volume. Slot 1569 is the first one past the volume's
  // end (sector 200); what sits there belongs to whatever follows on disk.
  TinyVolume v(FsType::kEafs, 100, 16, 0, 600);
  const VolumeInfo info = v.Info();
  EXPECT_EQ(ExtensiveScanSectors(info), 196U);
  v.Dir(1569, {50}).EafsDir(50, 1569, 2, {{1570, "x"}});
  v.Dir(1568, {51}).EafsDir(51, 1568, 2, {});
  MountRig rig(v.Bytes(), info);
  ASSERT_TRUE(rig.Mount(RecoveryMode::kExtensive));
  EXPECT_THAT(rig.Listing(), UnorderedElementsAre("Dir1568/", "LostDir/"));

  VolumeInfo wide = info;
  wide.inodeCount = 0xFFFFFFFF;
  EXPECT_EQ(ExtensiveScanSectors(wide), 196U);
  wide.sizeSectors = 0xFFFFFFF0;
  EXPECT_EQ(ExtensiveScanSectors(wide), 8192U) << "16-bit inode numbers cap the EAFS scan";
  wide.fsType = FsType::kHtfs;
  wide.inodeCount = 400;
  EXPECT_EQ(ExtensiveScanSectors(wide), 100U);
}

TEST(ExtensiveMountTest, StopDuringTheScanStillReachesTheBrowseStep) {
  auto v = DamagedEafs();
  MountRig rig(v.Bytes(), v.Info());
  rig.state.recoveryMode = RecoveryMode::kExtensive;
  MountContext context = rig.Context();
  rig.state.RequestStop();
  ASSERT_TRUE(ExtensiveScan(context));
  EXPECT_TRUE(rig.tree.Folders().empty());
  FinalizeFolderNames(context);
  ASSERT_TRUE(GatherLostFolders(context));
  EXPECT_EQ(rig.tree.FolderCount(), 1U);
  EXPECT_FALSE(rig.state.StopRequested());
}

TEST(MountTest, SecondMountForgetsTheFirst) {
  auto v = SmallEafs();
  MountRig rig(v.Bytes(), v.Info());
  ASSERT_TRUE(rig.Mount(RecoveryMode::kNormal));
  ASSERT_TRUE(rig.Mount(RecoveryMode::kNormal));
  EXPECT_EQ(rig.tree.FileCount(), 2U);
  EXPECT_EQ(rig.tree.FolderCount(), 1U);
}

}  // namespace
}  // namespace tolvar
