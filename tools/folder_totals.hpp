#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "fs/file_tree.hpp"

namespace tolvar {

// What lies below one folder: its files and their bytes, and the folders
// walked, the folder itself included.
struct FolderTotals {
  std::uint64_t files = 0;
  std::uint64_t bytes = 0;
  std::uint64_t folders = 0;
};

// Walks folder `inode` (2 for the root) and every folder below it, depth
// first with an explicit stack, each folder once however the parent numbers
// are tangled.
[[nodiscard]] FolderTotals CountFolderTotals(const FileTree& tree, std::uint32_t inode);

// "12 File(s) and 3 Folder(s)": the folder itself is not counted.
[[nodiscard]] std::string ContentsText(const FolderTotals& totals);
// Whole megabytes of the folder's bytes, "Less than 1" below one, then " MB".
[[nodiscard]] std::string FolderSizeText(const FolderTotals& totals);
// A file's size as kilobytes divided down and then plus 1: 0 and 1023 bytes
// both give "1 KB", 1024 bytes "2 KB".
[[nodiscard]] std::string FileSizeText(std::uint64_t bytes);

// The texts of the properties dialog for one browse row.
struct PropertiesTexts {
  bool isFolder = false;
  std::string name;
  std::string size;
  std::string contents;  // folders only
  std::string date;
  std::string time;
};

// Decides folder or file from the row's type text and fills the texts; a
// folder row is counted through the folder whose tree item is the row's key.
// Nothing when the key names no folder of the tree or the size text is not
// a number.
[[nodiscard]] std::optional<PropertiesTexts> DescribeRow(const FileTree& tree,
                                                         const BrowseRow& row);

}  // namespace tolvar
