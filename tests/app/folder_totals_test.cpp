#include "app/properties.hpp"

#include <gtest/gtest.h>

#include "tests/tools/tree_fixture.hpp"
#include "tools/drive_information.hpp"
#include "tools/folder_totals.hpp"

namespace tolvar {
namespace {

using testing::TreeBuilder;

constexpr std::uint32_t kMiB = 1048576;

TEST(FolderTotals, EmptyFolder) {
  TreeBuilder b;
  b.Folder("EMPTY", 10, 2);
  const FolderTotals totals = CountFolderTotals(b.tree, 10);
  EXPECT_EQ(ContentsText(totals), "0 File(s) and 0 Folder(s)");
  EXPECT_EQ(FolderSizeText(totals), "Less than 1 MB");
}

TEST(FolderTotals, CountsFilesAndFoldersBelow) {
  TreeBuilder b;
  b.Folder("TOP", 10, 2).Folder("SUB", 11, 10).Folder("OTHER", 12, 2);
  b.File("a", 20, 10, kMiB).File("b", 21, 10, kMiB).File("c", 22, 10, kMiB);
  b.File("d", 23, 11, 0).File("e", 24, 11, 0).File("f", 25, 12, 77).File("g", 26, 2, 5);
  const FolderTotals totals = CountFolderTotals(b.tree, 10);
  EXPECT_EQ(totals.files, 5u);
  EXPECT_EQ(totals.bytes, 3u * kMiB);
  EXPECT_EQ(ContentsText(totals), "5 File(s) and 1 Folder(s)");
  EXPECT_EQ(FolderSizeText(totals), "3 MB");
  EXPECT_EQ(ContentsText(CountFolderTotals(b.tree, 2)), "7 File(s) and 3 Folder(s)");
}

TEST(FolderTotals, JustBelowOneMegabyte) {
  TreeBuilder b;
  b.Folder("X", 10, 2).File("a", 20, 10, kMiB - 1);
  EXPECT_EQ(FolderSizeText(CountFolderTotals(b.tree, 10)), "Less than 1 MB");
}

TEST(FolderTotals, BytesDoNotWrapAt32Bits) {
  TreeBuilder b;
  b.Folder("BIG", 10, 2);
  for (std::uint32_t k = 0; k < 3; ++k) b.File("f", 20 + k, 10, 0xFFFFFFFFu);
  const FolderTotals totals = CountFolderTotals(b.tree, 10);
  EXPECT_EQ(totals.bytes, 3ull * 0xFFFFFFFFull);
  EXPECT_EQ(FolderSizeText(totals), "12287 MB");
}

TEST(FolderTotals, TangledParentsAreWalkedOnce) {
  TreeBuilder b;
  b.Folder("A", 10, 11).Folder("B", 11, 10).File("x", 20, 11, 4);
  const FolderTotals totals = CountFolderTotals(b.tree, 10);
  EXPECT_EQ(totals.folders, 2u);
  EXPECT_EQ(totals.files, 1u);
}

TEST(FileSizeText, IsKilobytesPlusOne) {
  EXPECT_EQ(FileSizeText(0), "1 KB");
  EXPECT_EQ(FileSizeText(1023), "1 KB");
  EXPECT_EQ(FileSizeText(1024), "2 KB");
  EXPECT_EQ(FileSizeText(0xFFFFFFFFull), "4194304 KB");
}

TEST(ContentsText, CountsFilesAndSubfolders) {
  TreeBuilder b;
  b.Folder("DOCS", 10, 2).File("a.txt", 20, 10, 2048);
  const FolderTotals totals = CountFolderTotals(b.tree, 10);
  EXPECT_EQ(ContentsText(totals), "1 File(s) and 0 Folder(s)");
  EXPECT_EQ(FolderSizeText(totals), "Less than 1 MB");
}

TEST(DriveInformation, EightFigures) {
  TreeBuilder b;
  b.Folder("A", 10, 2).Folder("B", 11, 2).File("f", 20, 10, 1);
  VolumeInfo volume;
  volume.volumeName = "HTFS Partition - 1";
  volume.startSector = 1000;
  volume.sizeSectors = 40960;
  volume.sectorsPerBlock = 2;

  const auto normal = DriveInformationFields(DescribeDrive(volume, b.tree, RecoveryMode::kNormal));
  const std::pair<std::string_view, std::string_view> expected[] = {
      {"Volume Name", "HTFS Partition - 1"},
      {"Volume Start", "1000"},
      {"Volume Size", "40960"},
      {"Block Size", "2"},
      {"Super Block Start", "1001"},  // the volume's second sector
      {"Total Files           ", "1"},
      {"Total Folders     ", "2"},
      {"Recovery Type", "Normal"},
  };
  for (std::size_t k = 0; k < normal.size(); ++k) {
    EXPECT_EQ(normal[k].caption, expected[k].first);
    EXPECT_EQ(normal[k].value, expected[k].second);
  }
  EXPECT_EQ(DescribeDrive(volume, b.tree, RecoveryMode::kExtensive).recoveryType, "Extensive");
}

}  // namespace
}  // namespace tolvar
