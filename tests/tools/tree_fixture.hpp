#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>

#include "fs/file_tree.hpp"

namespace tolvar::testing {

// Builds a file tree record by record, with ids as a mount gives them.
class TreeBuilder {
 public:
  TreeBuilder& Folder(std::string_view name, std::uint32_t inode, std::uint32_t parent,
                      std::uint32_t time = 1000) {
    const auto added = tree.AddFolder(name, inode, parent, tree.FolderCount(), time);
    EXPECT_TRUE(added.has_value());
    return *this;
  }
  TreeBuilder& File(std::string_view name, std::uint32_t inode, std::uint32_t parent,
                    std::uint32_t size, std::uint32_t time = 1000) {
    const auto added = tree.AddFile(name, inode, parent, tree.FileCount(), time, size);
    EXPECT_TRUE(added.has_value());
    return *this;
  }

  FileTree tree;
};

}  // namespace tolvar::testing
