#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "fs/file_tree.hpp"

namespace tolvar {

// The folder paths of one mounted tree, as Find Files shows them: a folder's
// name preceded by the names of its ancestors below the root, each ancestor
// followed by "\" unless its name already ends in one. A folder directly
// below the root has its own name as path; the root's path is empty.
//
// Paths are worked out iteratively along the parent numbers and remembered,
// so a deep tree costs no stack and a search over many files in the same
// folder builds its path once. A chain that never reaches the root (a cycle
// or a missing parent) ends at the last folder before the repeat or gap.
class FolderPaths {
 public:
  explicit FolderPaths(const FileTree& tree) : tree_(tree) {}

  // The path of folder `inode`; empty for the root and for inodes without a
  // folder record.
  [[nodiscard]] const std::string& PathOf(std::uint32_t inode);
  // "\" followed by the path of the file's parent folder, as the hit list's
  // "Path" column shows it.
  [[nodiscard]] std::string FilePath(std::uint32_t parentInode);

 private:
  const FileTree& tree_;
  std::unordered_map<std::uint32_t, std::string> cache_;
  std::string empty_;
};

// Finds the folder that a "/"-separated path of folder names leads to from
// the root. Empty components (leading, trailing or doubled "/") are skipped,
// so "" and "/" give the root (inode 2). Where a folder holds several
// sub-folders of the same name the first one found by the mount is taken.
[[nodiscard]] std::optional<std::uint32_t> ResolveFolderPath(const FileTree& tree,
                                                             std::string_view path);

}  // namespace tolvar
