#pragma once

// The browse step's views of a file tree: the list of one folder's entries
// and the folders of the left tree, both read from the tree itself on demand.
// The file tree holds records only; the texts of each row are the window's,
// made here.
//
// Both refer to a finished tree. The controller hands them to the view only
// once the mount has filled the tree, and takes them back (ClearList,
// ShowFolders with an empty source) before anything changes or frees it;
// renaming, the one change made while they are shown, runs on the view's
// thread and tells the view which entry changed.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/wizard_view.hpp"
#include "fs/file_tree.hpp"
#include "tools/file_filter_list.hpp"

namespace tolvar {

inline constexpr std::string_view kFolderTypeName = "Folder";
// The inode of a volume's root folder; its children are the top folders.
inline constexpr std::uint32_t kRootFolderInode = 2;

// A type name from the name alone: the extension in upper case followed by
// " File", or "File" without an extension.
[[nodiscard]] std::string DefaultFileTypeName(std::string_view fileName);

// Whether a row's type text marks it as a folder row (it ends in "Folder").
[[nodiscard]] bool IsFolderRowType(std::string_view typeText);

using FileTypeNamer = std::function<std::string(std::string_view fileName)>;

// The browse list's columns, in order.
enum class ListField { kName = 0, kType, kSize, kDate, kTime, kKey };

// The rows of one folder: its folders (never filtered) in list order, then
// its files that pass the filters. A folder row's key is its tree item, a
// file row's key its id. Rows are positions in that order; nothing per row
// is copied but, with filters, the positions of the files that pass.
class FolderListing {
 public:
  FolderListing() = default;
  // `folderItems` gives the tree item of each folder by its record's index
  // (kNoViewItem past its end); `filters` nullptr lists every file.
  FolderListing(const FileTree& tree, std::uint32_t folderInode, const FileFilterList* filters,
                std::span<const ViewItem> folderItems, FileTypeNamer fileTypeName);

  [[nodiscard]] std::size_t Count() const { return folders_.size() + FileCount(); }
  [[nodiscard]] bool IsFolder(std::size_t row) const { return row < folders_.size(); }
  [[nodiscard]] std::string_view Name(std::size_t row) const;
  [[nodiscard]] std::string TypeText(std::size_t row) const;
  [[nodiscard]] std::uint64_t Key(std::size_t row) const;
  [[nodiscard]] std::uint64_t SizeValue(std::size_t row) const;
  [[nodiscard]] std::uint32_t Timestamp(std::size_t row) const;
  // The text of one cell; rows past the end give "".
  [[nodiscard]] std::string Text(std::size_t row, ListField field) const;
  // Every text and value of a row at once, for the commands.
  [[nodiscard]] std::optional<ListRow> Row(std::size_t row) const;
  // The row whose key is `key`, among folders or files.
  [[nodiscard]] std::optional<std::size_t> RowOfKey(std::uint64_t key, bool folder) const;

 private:
  [[nodiscard]] std::size_t FileCount() const {
    return filtered_ ? passingFiles_.size() : allFiles_.size();
  }
  [[nodiscard]] const FileNode& FileAt(std::size_t row) const;
  [[nodiscard]] const FolderNode& FolderAt(std::size_t row) const;

  const FileTree* tree_ = nullptr;
  std::span<const std::uint32_t> folders_;
  std::span<const std::uint32_t> allFiles_;
  bool filtered_ = false;
  std::vector<std::uint32_t> passingFiles_;
  std::span<const ViewItem> folderItems_;
  FileTypeNamer fileTypeName_;
};

// The rows of a listing with all their texts, in order (tests and small
// front ends).
[[nodiscard]] std::vector<ListRow> ListingRows(const FolderListing& listing);

// The folders of a finished file tree as the left tree shows them below its
// root: each folder's children in list order, with the tree items the
// controller gave them. An empty source (no tree) shows the root alone.
struct FolderTreeSource {
  const FileTree* tree = nullptr;
  std::span<const ViewItem> folderItems;  // by folder index
  // The folder index of a tree item; nullopt for the root and unknown items.
  std::function<std::optional<std::uint32_t>(ViewItem)> folderOfItem;
};

}  // namespace tolvar
