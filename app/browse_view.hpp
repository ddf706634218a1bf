#pragma once

// The browse step's two views of a file tree: the folder tree's items and
// the list's rows. The file tree holds records only; the items each folder
// got and the texts of each row are the window's, kept here.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "app/feedback.hpp"
#include "app/wizard_state.hpp"
#include "fs/file_tree.hpp"
#include "tools/file_filter_list.hpp"

namespace tolvar {

// Identifies an item of a front end's folder tree. 0 is no item.
using TreeItemId = std::uint64_t;
inline constexpr TreeItemId kNoTreeItem = 0;

// Tree images of a folder item.
inline constexpr int kFolderImage = 2;
inline constexpr int kFolderSelectedImage = 1;

// The tree item each folder record got, both ways, and the number of items
// every tree build inserted since the tree was created (the build's
// progress counts them all).
class FolderTreeItems {
 public:
  void Set(std::uint32_t folderIndex, TreeItemId item);
  [[nodiscard]] TreeItemId ItemOf(std::uint32_t folderIndex) const;
  // The folder record behind a tree item (a folder row's key).
  [[nodiscard]] const FolderNode* FindFolder(const FileTree& tree, TreeItemId item) const;
  void CountItem() { ++insertedCount_; }
  [[nodiscard]] std::uint32_t InsertedCount() const { return insertedCount_; }
  // Forgets the items (a new mount); the inserted count stays.
  void Clear();

 private:
  std::vector<TreeItemId> itemOfFolder_;
  std::unordered_map<TreeItemId, std::uint32_t> folderOfItem_;
  std::uint32_t insertedCount_ = 0;
};

// The front end's folder tree.
class FolderTreeSink {
 public:
  virtual ~FolderTreeSink() = default;
  // Inserts an item after the existing children of `parent`; returns its
  // identifier, never kNoTreeItem.
  [[nodiscard]] virtual TreeItemId InsertItem(TreeItemId parent, std::string_view text, int image,
                                              int selectedImage) = 0;
  virtual void ExpandItem(TreeItemId item) = 0;
};

// One row of the browse list: the six column texts and what they came from.
struct BrowseRow {
  std::string name;
  std::string type;  // "Folder" or the file's type name
  std::string size;  // "0" for folders
  std::string date;
  std::string time;
  std::string sector;  // the row key: tree item of a folder, id of a file
  bool isFolder = false;
  std::uint64_t key = 0;
  std::uint32_t inode = 0;
  std::uint32_t sizeBytes = 0;
  std::uint32_t timestamp = 0;
};

inline constexpr std::string_view kFolderTypeName = "Folder";

// The front end's browse list.
class BrowseListSink {
 public:
  virtual ~BrowseListSink() = default;
  virtual void DeleteAllRows() = 0;
  virtual void InsertRow(std::size_t index, const BrowseRow& row) = 0;
  // The type name shown for a file; front ends with a shell ask it.
  [[nodiscard]] virtual std::string FileTypeName(std::string_view fileName) const;
};

// A type name from the name alone: the extension in upper case followed by
// " File", or "File" without an extension.
[[nodiscard]] std::string DefaultFileTypeName(std::string_view fileName);

// Whether a row's type text marks it as a folder row (it ends in "Folder").
[[nodiscard]] bool IsFolderRowType(std::string_view typeText);

// Builds the browse rows of one record.
[[nodiscard]] BrowseRow FolderRow(const FolderNode& folder, TreeItemId item);
[[nodiscard]] BrowseRow FileRow(const FileNode& file, const BrowseListSink& sink);

// Inserts the folders below `parentInode` under `parentItem`, each after its
// parent's existing children in list order, depth first (VisitFolderTree).
// Records each folder's item, sends the build's progress and expands
// `parentItem`.
void BuildFolderTree(const FileTree& tree, FolderTreeItems& items, FolderTreeSink& sink,
                     TreeItemId parentItem, std::uint32_t parentInode, Feedback& feedback);

// Lists folder `folderInode`: its folders (never filtered), then its files
// that pass `filters` (nullptr: no filters). Clears workerBusy first.
void FillFolderList(const FileTree& tree, const FolderTreeItems& items, std::uint32_t folderInode,
                    const FileFilterList* filters, BrowseListSink& sink, WizardState& state);

}  // namespace tolvar
