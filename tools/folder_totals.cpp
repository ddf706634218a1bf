#include "tools/folder_totals.hpp"

#include <fmt/format.h>

#include <charconv>
#include <unordered_set>
#include <vector>

namespace tolvar {

FolderTotals CountFolderTotals(const FileTree& tree, std::uint32_t inode) {
  FolderTotals totals;
  std::vector<std::uint32_t> pending{inode};
  std::unordered_set<std::uint32_t> walked;
  while (!pending.empty()) {
    const std::uint32_t current = pending.back();
    pending.pop_back();
    if (!walked.insert(current).second) continue;
    ++totals.folders;
    for (const std::uint32_t index : tree.ChildFiles(current)) {
      ++totals.files;
      totals.bytes += tree.Files()[index].size;
    }
    // Pushed in reverse so that the first child is walked first.
    const auto children = tree.ChildFolders(current);
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
      pending.push_back(tree.Folders()[*it].inode);
    }
  }
  return totals;
}

}  // namespace tolvar
