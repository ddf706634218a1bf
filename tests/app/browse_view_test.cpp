#include "app/browse_view.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/wizard_steps.hpp"
#include "fs/file_tree.hpp"
#include "tests/support/recording_browse_sinks.hpp"
#include "tests/support/recording_feedback.hpp"
#include "tools/file_filter_list.hpp"

namespace tolvar {
namespace {

using ::testing::ElementsAre;

std::vector<std::string> RowNames(const RecordingListSink& list) {
  std::vector<std::string> names;
  for (const auto& row : list.Rows()) names.push_back(row.name);
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

  TreeItemId ItemOf(std::uint32_t inode) const {
    return items.ItemOf(static_cast<std::uint32_t>(tree.FindFolder(inode) - tree.Folders().data()));
  }

  FileTree tree;
  FolderTreeItems items;
  RecordingFeedback feedback;
  WizardState state;
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
  RecordingTreeSink sink(100);
  BuildFolderTree(tree, items, sink, sink.Root(), 2, feedback);
  std::vector<std::string> inserted;
  for (const auto& item : sink.Items()) inserted.push_back(item.text);
  EXPECT_THAT(inserted, ElementsAre("b", "b1", "b2", "a", "a1"));
  EXPECT_EQ(ItemOf(13), kNoTreeItem) << "no path to the root";
  EXPECT_EQ(items.InsertedCount(), 5U);
  EXPECT_THAT(sink.Expanded(), ElementsAre(100U));
  const TreeItemId b1 = ItemOf(12);
  EXPECT_EQ(sink.Find(b1)->parent, ItemOf(10));
  EXPECT_EQ(sink.Find(b1)->image, kFolderImage);
  EXPECT_EQ(items.FindFolder(tree, b1)->inode, 12U);
  EXPECT_EQ(feedback.Progress(), 83) << "5 items of 6 folders when the last frame opened";
}

TEST_F(FileTreeTest, DeepChainsDoNotUseTheStack) {
  constexpr std::uint32_t kDepth = 100000;
  for (std::uint32_t i = 0; i < kDepth; ++i) Folder("d", 10 + i, i == 0 ? 2 : 9 + i);
  RecordingTreeSink sink;
  BuildFolderTree(tree, items, sink, sink.Root(), 2, feedback);
  ASSERT_EQ(sink.Items().size(), kDepth);
  EXPECT_EQ(sink.Items().back().parent, sink.Items()[kDepth - 2].id);
}

TEST_F(FileTreeTest, ListShowsFoldersThenFilesWithTheirKeys) {
  Folder("sub", 10, 2, 0);
  File("a.txt", 20, 2, 123);
  File("a.txt", 21, 2, 7);
  File("elsewhere", 22, 10);
  RecordingTreeSink sink;
  BuildFolderTree(tree, items, sink, sink.Root(), 2, feedback);
  RecordingListSink list;
  state.SetBusy(true);
  FillFolderList(tree, items, 2, nullptr, list, state);
  EXPECT_FALSE(state.Busy());
  ASSERT_EQ(list.Rows().size(), 3U);
  const BrowseRow& folder = list.Rows()[0];
  EXPECT_EQ(folder.type, "Folder");
  EXPECT_TRUE(IsFolderRowType(folder.type));
  EXPECT_EQ(folder.size, "0");
  EXPECT_EQ(folder.date, "Error");
  EXPECT_EQ(folder.time, "Error");
  EXPECT_EQ(folder.sector, std::to_string(ItemOf(10)));
  const BrowseRow& first = list.Rows()[1];
  EXPECT_EQ(first.type, "TXT File");
  EXPECT_FALSE(IsFolderRowType(first.type));
  EXPECT_EQ(first.size, "123");
  EXPECT_EQ(first.sector, "0");
  EXPECT_EQ(list.Rows()[2].sector, "1") << "same name, its own key";
  EXPECT_EQ(tree.FindFileById(1)->inode, 21U);

  FillFolderList(tree, items, 10, nullptr, list, state);
  EXPECT_THAT(RowNames(list), ElementsAre("elsewhere"));
  FillFolderList(tree, items, 22, nullptr, list, state);
  EXPECT_TRUE(list.Rows().empty());
}

TEST_F(FileTreeTest, FiltersNarrowFilesOnlyRegardlessOfCase) {
  Folder("notes.doc", 10, 2);
  File("readme.txt", 20, 2);
  File("data.bin", 21, 2);
  File("LOG.TXT", 22, 2);
  FileFilterList filters;
  const std::vector<std::string> patterns{"*.txt"};
  filters.Store(patterns);
  RecordingListSink list;
  FillFolderList(tree, items, 2, &filters, list, state);
  EXPECT_THAT(RowNames(list), ElementsAre("notes.doc", "readme.txt", "LOG.TXT"));
  filters.Reset();
  FillFolderList(tree, items, 2, &filters, list, state);
  EXPECT_EQ(list.Rows().size(), 4U);
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
