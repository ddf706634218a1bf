#include "tools/folder_paths.hpp"

#include <unordered_set>
#include <vector>

#include "fs/format.hpp"

namespace tolvar {

const std::string& FolderPaths::PathOf(std::uint32_t inode) {
  if (const auto found = cache_.find(inode); found != cache_.end()) return found->second;
  if (tree_.FindFolder(inode) == nullptr) return empty_;

  // Climb until the root, a folder whose path is known, a gap or a repeat.
  std::vector<const FolderNode*> chain;
  std::unordered_set<std::uint32_t> seen;
  std::string path;
  bool hasAncestor = false;
  std::uint32_t current = inode;
  while (true) {
    if (const auto known = cache_.find(current); known != cache_.end()) {
      path = known->second;
      hasAncestor = true;
      break;
    }
    const FolderNode* folder = tree_.FindFolder(current);
    if (folder == nullptr || !seen.insert(current).second) break;
    chain.push_back(folder);
    current = folder->parent;
  }

  // Descend again, remembering every path on the way.
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (hasAncestor && !path.ends_with('\\')) path.push_back('\\');
    path += (*it)->name;
    hasAncestor = true;
    cache_.emplace((*it)->inode, path);
  }
  return cache_.at(inode);
}

std::string FolderPaths::FilePath(std::uint32_t parentInode) { return "\\" + PathOf(parentInode); }

std::optional<std::uint32_t> ResolveFolderPath(const FileTree& tree, std::string_view path) {
  std::uint32_t current = kRootInode;
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    const std::string_view component = path.substr(0, slash);
    path = slash == std::string_view::npos ? std::string_view{} : path.substr(slash + 1);
    if (component.empty()) continue;

    std::optional<std::uint32_t> next;
    for (const std::uint32_t index : tree.ChildFolders(current)) {
      const FolderNode& child = tree.Folders()[index];
      if (child.name == component) {
        next = child.inode;
        break;
      }
    }
    if (!next) return std::nullopt;
    current = *next;
  }
  return current;
}

}  // namespace tolvar
