#include "app/browse_view.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/wizard_steps.hpp"
#include "fs/file_tree.hpp"
#include "tests/support/recording_feedback.hpp"
#include "tools/file_filter_list.hpp"

namespace tolvar {
namespace {

using ::testing::ElementsAre;

std::vector<std::string> RowNames(const std::vector<ListRow>& rows) {
  std::vector<std::string> names;
  for (const auto& row : rows) names.push_back(row.name);
  return names;
}

class FileTreeTest : public ::testing::Test {
 protected:
  void Folder(std::string_view name, std::uint32_t inode, std::uint32_t parent,
              std::uint32_t time = 1165482300) {
    ASSERT_TRUE(tree.AddFolder(name, inode, parent, tree.FolderCount(), time));
  }
  void File(std::string_view name, std::uint32_t inode, std::uint32_t parent,
            std::uint32_t size = 10) {
    ASSERT_TRUE(tree.AddFile(name, inode, parent, tree.FileCount(), 1165482300, size));
  }

  // The rows of a folder, each folder's item being 100 plus its record's
  // index.
  std::vector<ListRow> Rows(std::uint32_t inode, const FileFilterList* filters = nullptr) {
    folderItems.clear();
    for (std::uint32_t index = 0; index < tree.FolderCount(); ++index) {
      folderItems.push_back(ViewItem{100} + index);
    }
    return ListingRows(FolderListing(tree, inode, filters, folderItems, DefaultFileTypeName));
  }

  std::vector<ViewItem> folderItems;

  FileTree tree;
  RecordingFeedback feedback;
};

TEST_F(FileTreeTest, InsertionRulesAndCounts) {
  EXPECT_EQ(*tree.AddFolder("low", 2, 2, 0, 1), AddResult::kRefused);
  EXPECT_EQ(*tree.AddFile("low", 1, 2, 0, 1, 1), AddResult::kRefused);
  EXPECT_EQ(*tree.AddFolder("a", 10, 2, 0, 1), AddResult::kAdded);
  EXPECT_EQ(*tree.AddFolder("a again", 10, 11, 1, 1), AddResult::kRefused);
  EXPECT_EQ(*tree.AddFolderName("n", 10, 2), AddResult::kAdded);
  EXPECT_EQ(*tree.AddFolderName("n2", 10, 3), AddResult::kRefused);
  // Files are never de-duplicated.
  EXPECT_EQ(*tree.AddFile("f", 20, 10, 0, 1, 5), AddResult::kAdded);
  EXPECT_EQ(*tree.AddFile("f", 20, 10, 1, 1, 5), AddResult::kAdded);
  EXPECT_EQ(tree.FolderCount(), 1U);
  EXPECT_EQ(tree.FolderNameCount(), 1U);
  EXPECT_EQ(tree.FileCount(), 2U);
  EXPECT_EQ(tree.FindFolder(10)->name, "a");
  EXPECT_EQ(tree.FindFolderName(10)->name, "n");

  tree.ClearFileTree();
  EXPECT_EQ(tree.FolderCount() + tree.FileCount() + tree.FolderNameCount(), 0U);
  EXPECT_EQ(tree.FindFolder(10), nullptr);
  EXPECT_TRUE(tree.ChildFiles(10).empty());
}

TEST_F(FileTreeTest, PanelShowsCountsOnTheirCadence) {
  MountFeedback panel(feedback);
  for (std::uint32_t i = 1; i <= 100; ++i) panel.FileFound(i, "file" + std::to_string(i - 1));
  EXPECT_EQ(feedback.RowValue(kFilesFoundLabel), "100");
  EXPECT_EQ(feedback.RowValue(kLastEntryLabel), "file99");
  EXPECT_EQ(feedback.EventsOf("SetRowValue").size(), 10U + 1U);
  panel.FolderFound(1, "dir");
  EXPECT_EQ(feedback.RowValue(kFoldersFoundLabel), "1");
  EXPECT_EQ(feedback.RowValue(kLastEntryLabel), "dir");
}

TEST_F(FileTreeTest, TreeKeepsDiscoveryOrderDepthFirst) {
  Folder("b", 10, 2);
  Folder("a", 11, 2);
  Folder("b1", 12, 10);
  Folder("orphan", 13, 99);
  Folder("a1", 14, 11);
  Folder("b2", 15, 10);
  std::vector<std::string> visited;
  std::vector<std::uint32_t> parents;
  VisitFolderTree(tree, 2, [&](std::uint32_t index, std::uint32_t parentIndex) {
    visited.push_back(tree.Folders()[index].name);
    parents.push_back(parentIndex);
  });
  EXPECT_THAT(visited, ElementsAre("b", "b1", "b2", "a", "a1")) << "no path to the root: orphan";
  EXPECT_THAT(parents, ElementsAre(kNoFolderIndex, 0U, 0U, kNoFolderIndex, 1U));
}

TEST_F(FileTreeTest, DeepChainsDoNotUseTheStack) {
  constexpr std::uint32_t kDepth = 100000;
  for (std::uint32_t i = 0; i < kDepth; ++i) Folder("d", 10 + i, i == 0 ? 2 : 9 + i);
  std::uint32_t count = 0;
  std::uint32_t lastParent = 0;
  VisitFolderTree(tree, 2, [&](std::uint32_t, std::uint32_t parentIndex) {
    ++count;
    lastParent = parentIndex;
  });
  EXPECT_EQ(count, kDepth);
  EXPECT_EQ(lastParent, kDepth - 2);
}

TEST_F(FileTreeTest, ListShowsFoldersThenFilesWithTheirKeys) {
  Folder("sub", 10, 2, 0);
  File("a.txt", 20, 2, 123);
  File("a.txt", 21, 2, 7);
  File("elsewhere", 22, 10);
  const std::vector<ListRow> rows = Rows(2);
  ASSERT_EQ(rows.size(), 3U);
  const ListRow& folder = rows[0];
  EXPECT_EQ(folder.type, "Folder");
  EXPECT_TRUE(folder.isFolder);
  EXPECT_TRUE(IsFolderRowType(folder.type));
  EXPECT_EQ(folder.size, "0");
  EXPECT_EQ(folder.date, "Error");
  EXPECT_EQ(folder.time, "Error");
  EXPECT_EQ(folder.sector, "100") << "a folder row's key is its tree item";
  const ListRow& first = rows[1];
  EXPECT_EQ(first.type, "TXT File");
  EXPECT_FALSE(IsFolderRowType(first.type));
  EXPECT_EQ(first.size, "123");
  EXPECT_EQ(first.sector, "0");
  EXPECT_EQ(rows[2].sector, "1") << "same name, its own key";
  EXPECT_EQ(tree.FindFileById(1)->inode, 21U);

  EXPECT_THAT(RowNames(Rows(10)), ElementsAre("elsewhere"));
  EXPECT_TRUE(Rows(22).empty());
}

// A listing reads the tree as it is asked: a rename shows at once; keys
// find their rows among folders or files only; rows past the end are empty.
TEST_F(FileTreeTest, ListingReadsTheTreeOnDemand) {
  Folder("sub", 10, 2, 1165482300);
  File("b.c", 20, 2, 42);
  File("a.txt", 21, 2, 7);
  const std::vector<ViewItem> items = {100};
  const FolderListing listing(tree, 2, nullptr, items, DefaultFileTypeName);
  ASSERT_EQ(listing.Count(), 3U);
  tree.SetFileName(1, "renamed.txt");
  EXPECT_EQ(listing.Name(2), "renamed.txt");
  const struct {
    ListField field;
    std::size_t row;
    std::string text;
  } cells[] = {
      {ListField::kName, 0, "sub"}, {ListField::kType, 1, "C File"}, {ListField::kSize, 1, "42"},
      {ListField::kSize, 0, "0"},   {ListField::kKey, 0, "100"},     {ListField::kKey, 2, "1"},
      {ListField::kName, 3, ""},    {ListField::kDate, 9, ""},
  };
  for (const auto& cell : cells) {
    EXPECT_EQ(listing.Text(cell.row, cell.field), cell.text) << cell.row;
  }
  EXPECT_EQ(listing.RowOfKey(100, true), 0U);
  EXPECT_EQ(listing.RowOfKey(1, false), 2U);
  EXPECT_EQ(listing.RowOfKey(100, false), std::nullopt);
  EXPECT_EQ(listing.RowOfKey(0, true), std::nullopt);
  EXPECT_FALSE(listing.Row(3).has_value());
  // A folder past the controller's items has no key.
  const FolderListing bare(tree, 2, nullptr, {}, DefaultFileTypeName);
  EXPECT_EQ(bare.Key(0), kNoViewItem);
  EXPECT_EQ(FolderListing().Count(), 0U);
}

TEST_F(FileTreeTest, FiltersNarrowFilesOnlyRegardlessOfCase) {
  Folder("notes.doc", 10, 2);
  File("readme.txt", 20, 2);
  File("data.bin", 21, 2);
  File("LOG.TXT", 22, 2);
  FileFilterList filters;
  const std::vector<std::string> patterns{"*.txt"};
  filters.Store(patterns);
  EXPECT_THAT(RowNames(Rows(2, &filters)), ElementsAre("notes.doc", "readme.txt", "LOG.TXT"));
  filters.Reset();
  EXPECT_EQ(Rows(2, &filters).size(), 4U);
}

TEST_F(FileTreeTest, RenamesAndMovesKeepTheIndexes) {
  Folder("a", 10, 2);
  Folder("b", 11, 10);
  tree.SetFolderName(1, "renamed");
  tree.MoveFolder(1, 2);
  EXPECT_TRUE(tree.ChildFolders(10).empty());
  ASSERT_EQ(tree.ChildFolders(2).size(), 2U);
  EXPECT_EQ(tree.Folders()[tree.ChildFolders(2)[1]].name, "renamed");
}

}  // namespace
}  // namespace tolvar
