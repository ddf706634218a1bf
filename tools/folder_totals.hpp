#pragma once

#include <cstdint>

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

}  // namespace tolvar
