#pragma once

// What a mount found: the folder, file and folder-name records, kept in the
// order they were added, with indexes that keep every insertion and lookup
// constant-time. The tree and the browse list are drawn through sinks, so the
// engine never knows which front end shows them.

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "app/state/error.hpp"
#include "app/state/feedback.hpp"
#include "app/state/wizard_state.hpp"

namespace tolvar {

class FileFilterList;

// Identifies an item of a front end's folder tree. 0 is no item.
using TreeItemId = std::uint64_t;
inline constexpr TreeItemId kNoTreeItem = 0;

inline constexpr std::uint32_t kLostDirInode = 16777207;  // 0xFFFFF7
inline constexpr std::string_view kLostDirName = "LostDir";
inline constexpr std::string_view kPlaceholderPrefix = "Dir";  // "Dir" + inode number
inline constexpr std::string_view kOutOfMemoryMessage =
    "Out of memory, close other applications and run again";

// The information panel's labels while mounting (panel mode 2).
inline constexpr std::string_view kFoldersFoundLabel = "Folder(s) Found    ";
inline constexpr std::string_view kFilesFoundLabel = "File(s) Found      ";
inline constexpr std::string_view kCurrentSectorLabel = "Current Sector       ";
inline constexpr std::string_view kLastEntryLabel = "Last File/Folder       ";

// Tree images of a folder item.
inline constexpr int kFolderImage = 2;
inline constexpr int kFolderSelectedImage = 1;

struct FolderNode {
  std::uint32_t inode = 0;   // unique within the folder list
  std::uint32_t id = 0;      // the folder count when it was added
  std::uint32_t parent = 0;  // 2 for the root's children
  std::string name;          // at most 255 bytes
  std::uint32_t time = 0;    // 0 for folders the extensive search makes up
  TreeItemId treeItem = kNoTreeItem;
};

struct FileNode {
  std::uint32_t parent = 0;
  std::uint32_t inode = 0;
  std::string name;  // at most 255 bytes
  std::uint32_t time = 0;
  std::uint32_t size = 0;
  std::uint32_t id = 0;  // the file count when it was added
};

// The name under which a directory entry of directory type was seen
// (extensive mode only).
struct FolderNameRecord {
  std::string name;
  std::uint32_t inode = 0;  // unique within this list
  std::uint32_t parent = 0;
};

enum class AddResult { kAdded, kRefused };

// The three record lists of one mount. Records are appended, never removed
// singly and never reordered; only ClearFileTree drops them.
class FileTree {
 public:
  // Appends a file unless `inode` < 3. Shows the file count as "File(s) Found"
  // on every 10th file and the name as "Last File/Folder" on every 100th.
  // Allocation failure: the out-of-memory message is shown and an error with
  // code kOutOfMemory returned; the caller ends the process.
  [[nodiscard]] std::expected<AddResult, Error> AddFile(std::string_view name, std::uint32_t inode,
                                                        std::uint32_t parent, std::uint32_t id,
                                                        std::uint32_t time, std::uint32_t size,
                                                        Feedback& feedback);
  // Appends a folder unless `inode` < 3 or already listed; shows the folder
  // count and the name.
  [[nodiscard]] std::expected<AddResult, Error> AddFolder(std::string_view name,
                                                          std::uint32_t inode, std::uint32_t parent,
                                                          std::uint32_t id, std::uint32_t time,
                                                          Feedback& feedback);
  // Appends a folder name unless `inode` < 3 or already listed; shows the
  // folder count (not the folder-name count) and the name.
  [[nodiscard]] std::expected<AddResult, Error> AddFolderName(std::string_view name,
                                                              std::uint32_t inode,
                                                              std::uint32_t parent,
                                                              Feedback& feedback);
  // The placeholder for a folder's missing parent: as AddFolder, but inode
  // numbers 0 and 1 (which a damaged ".." entry can name) are taken too, so
  // that the folders naming them can still be shown below the placeholder.
  [[nodiscard]] std::expected<AddResult, Error> AddPlaceholderFolder(std::string_view name,
                                                                     std::uint32_t inode,
                                                                     std::uint32_t parent,
                                                                     std::uint32_t id,
                                                                     Feedback& feedback);
  // Hangs folder `index` below `parent`, after that parent's other children.
  void MoveFolder(std::size_t index, std::uint32_t parent);
  // Drops every record and resets the three counts; the tree item count stays.
  void ClearFileTree();

  [[nodiscard]] const std::vector<FolderNode>& Folders() const { return folders_; }
  [[nodiscard]] const std::vector<FileNode>& Files() const { return files_; }
  [[nodiscard]] const std::vector<FolderNameRecord>& FolderNames() const { return folderNames_; }
  [[nodiscard]] std::uint32_t FolderCount() const { return Count(folders_.size()); }
  [[nodiscard]] std::uint32_t FileCount() const { return Count(files_.size()); }
  [[nodiscard]] std::uint32_t FolderNameCount() const { return Count(folderNames_.size()); }
  // Tree items inserted by every tree build since the tree was created.
  [[nodiscard]] std::uint32_t TreeItemCount() const { return treeItemCount_; }

  // Lookups; nullptr when absent.
  [[nodiscard]] const FolderNode* FindFolder(std::uint32_t inode) const;
  [[nodiscard]] const FolderNameRecord* FindFolderName(std::uint32_t inode) const;
  // The folder row / file row behind a browse-list key.
  [[nodiscard]] const FolderNode* FindFolderByTreeItem(TreeItemId item) const;
  [[nodiscard]] const FileNode* FindFileById(std::uint32_t id) const;
  // Positions in Folders() / Files() of the records whose parent is
  // `parentInode`, in list order.
  [[nodiscard]] std::span<const std::uint32_t> ChildFolders(std::uint32_t parentInode) const;
  [[nodiscard]] std::span<const std::uint32_t> ChildFiles(std::uint32_t parentInode) const;

  // Writers for what may change after insertion: names (renaming and the
  // extensive search's name pass) and tree items (the tree build).
  void SetFolderName(std::size_t index, std::string_view name);
  void SetFileName(std::size_t index, std::string_view name);
  void SetTreeItem(std::size_t index, TreeItemId item);
  void CountTreeItem() { ++treeItemCount_; }

 private:
  // Appends a folder already checked for refusal, and reports the new count.
  [[nodiscard]] std::expected<AddResult, Error> AppendFolder(std::string_view name,
                                                             std::uint32_t inode,
                                                             std::uint32_t parent, std::uint32_t id,
                                                             std::uint32_t time, Feedback& feedback);
  [[nodiscard]] static std::uint32_t Count(std::size_t size) {
    return static_cast<std::uint32_t>(size);
  }

  std::vector<FolderNode> folders_;
  std::vector<FileNode> files_;
  std::vector<FolderNameRecord> folderNames_;
  std::unordered_map<std::uint32_t, std::uint32_t> folderByInode_;
  std::unordered_map<std::uint32_t, std::uint32_t> folderNameByInode_;
  std::unordered_map<TreeItemId, std::uint32_t> folderByTreeItem_;
  std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> childFolders_;
  std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> childFiles_;
  std::uint32_t treeItemCount_ = 0;
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
[[nodiscard]] BrowseRow FolderRow(const FolderNode& folder);
[[nodiscard]] BrowseRow FileRow(const FileNode& file, const BrowseListSink& sink);

// Inserts the folders below `parentInode` under `parentItem`, each after its
// parent's existing children in list order, depth first, without recursion
// (a chain of nested folders is as deep as the disk says). Records each
// folder's item, sends the build's progress and expands `parentItem`.
void BuildFolderTree(FileTree& tree, FolderTreeSink& sink, TreeItemId parentItem,
                     std::uint32_t parentInode, Feedback& feedback);

// Lists folder `folderInode`: its folders (never filtered), then its files
// that pass `filters` (nullptr: no filters). Clears workerBusy first.
void FillFolderList(const FileTree& tree, std::uint32_t folderInode, const FileFilterList* filters,
                    BrowseListSink& sink, WizardState& state);

// Test and tooling doubles: a tree and a list that remember what they were given.
class RecordingTreeSink final : public FolderTreeSink {
 public:
  struct Item {
    TreeItemId id = kNoTreeItem;
    TreeItemId parent = kNoTreeItem;
    std::string text;
    int image = 0;
    int selectedImage = 0;
  };
  explicit RecordingTreeSink(TreeItemId rootItem = 1) : root_(rootItem), next_(rootItem + 1) {}

  TreeItemId InsertItem(TreeItemId parent, std::string_view text, int image,
                        int selectedImage) override;
  void ExpandItem(TreeItemId item) override { expanded_.push_back(item); }

  [[nodiscard]] TreeItemId Root() const { return root_; }
  [[nodiscard]] const std::vector<Item>& Items() const { return items_; }
  [[nodiscard]] const std::vector<TreeItemId>& Expanded() const { return expanded_; }
  // Children of `parent` in insertion order.
  [[nodiscard]] std::vector<const Item*> ChildrenOf(TreeItemId parent) const;
  [[nodiscard]] const Item* Find(TreeItemId id) const;

 private:
  TreeItemId root_;
  TreeItemId next_;
  std::vector<Item> items_;
  std::unordered_map<TreeItemId, std::vector<std::size_t>> children_;
  std::unordered_map<TreeItemId, std::size_t> byId_;
  std::vector<TreeItemId> expanded_;
};

class RecordingListSink final : public BrowseListSink {
 public:
  void DeleteAllRows() override { rows_.clear(); }
  void InsertRow(std::size_t index, const BrowseRow& row) override;
  [[nodiscard]] const std::vector<BrowseRow>& Rows() const { return rows_; }

 private:
  std::vector<BrowseRow> rows_;
};

}  // namespace tolvar
