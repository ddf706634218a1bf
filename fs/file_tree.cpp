#include "fs/file_tree.hpp"

#include <algorithm>
#include <new>

#include "fs/format.hpp"

namespace tolvar {

namespace {

std::string_view ClampName(std::string_view name) { return name.substr(0, kMaxNameBytes); }

std::unexpected<Error> OutOfMemory() {
  return std::unexpected(Error{ErrorCode::kOutOfMemory, "out of memory", {}});
}

template <typename Map>
std::span<const std::uint32_t> Children(const Map& map, std::uint32_t parent) {
  const auto it = map.find(parent);
  if (it == map.end()) return {};
  return it->second;
}

}  // namespace

std::expected<AddResult, Error> FileTree::AddFile(std::string_view name, std::uint32_t inode,
                                                  std::uint32_t parent, std::uint32_t id,
                                                  std::uint32_t time, std::uint32_t size) {
  if (inode < kFirstEntryInode) return AddResult::kRefused;
  try {
    const auto index = Count(files_.size());
    files_.push_back({parent, inode, std::string(ClampName(name)), time, size, id});
    childFiles_[parent].push_back(index);
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
  return AddResult::kAdded;
}

std::expected<AddResult, Error> FileTree::AddFolder(std::string_view name, std::uint32_t inode,
                                                    std::uint32_t parent, std::uint32_t id,
                                                    std::uint32_t time) {
  if (inode < kFirstEntryInode || folderByInode_.contains(inode)) return AddResult::kRefused;
  return AppendFolder(name, inode, parent, id, time);
}

std::expected<AddResult, Error> FileTree::AppendFolder(std::string_view name, std::uint32_t inode,
                                                       std::uint32_t parent, std::uint32_t id,
                                                       std::uint32_t time) {
  try {
    const auto index = Count(folders_.size());
    folders_.push_back({inode, id, parent, std::string(ClampName(name)), time});
    folderByInode_.emplace(inode, index);
    childFolders_[parent].push_back(index);
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
  return AddResult::kAdded;
}

std::expected<AddResult, Error> FileTree::AddPlaceholderFolder(std::string_view name,
                                                               std::uint32_t inode,
                                                               std::uint32_t parent,
                                                               std::uint32_t id) {
  if (inode >= kFirstEntryInode) return AddFolder(name, inode, parent, id, 0);
  if (inode == kRootInode || folderByInode_.contains(inode)) return AddResult::kRefused;
  return AppendFolder(name, inode, parent, id, 0);
}

void FileTree::MoveFolder(std::size_t index, std::uint32_t parent) {
  if (index >= folders_.size()) return;
  FolderNode& folder = folders_[index];
  if (auto it = childFolders_.find(folder.parent); it != childFolders_.end()) {
    std::erase(it->second, static_cast<std::uint32_t>(index));
  }
  folder.parent = parent;
  childFolders_[parent].push_back(static_cast<std::uint32_t>(index));
}

std::expected<AddResult, Error> FileTree::AddFolderName(std::string_view name, std::uint32_t inode,
                                                        std::uint32_t parent) {
  if (inode < kFirstEntryInode || folderNameByInode_.contains(inode)) return AddResult::kRefused;
  try {
    const auto index = Count(folderNames_.size());
    folderNames_.push_back({std::string(ClampName(name)), inode, parent});
    folderNameByInode_.emplace(inode, index);
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
  return AddResult::kAdded;
}

std::uint64_t MountFindings::UnreadableSectorCount() const {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> runs;  // [first, end)
  runs.reserve(unreadable.size());
  for (const UnreadWalkSectors& run : unreadable)
    runs.emplace_back(run.first, run.first + run.count);
  std::sort(runs.begin(), runs.end());
  std::uint64_t total = 0;
  std::uint64_t coveredTo = 0;
  for (const auto& [first, end] : runs) {
    const std::uint64_t from = std::max(first, coveredTo);
    if (end > from) total += end - from;
    coveredTo = std::max(coveredTo, end);
  }
  return total;
}

std::vector<UnreadWalkSectors> MountFindings::OfFolder(std::uint32_t folder) const {
  std::vector<UnreadWalkSectors> runs;
  for (const UnreadWalkSectors& run : unreadable) {
    if (run.folder == folder) runs.push_back(run);
  }
  return runs;
}

void FileTree::ClearFileTree() {
  // Swapping with empty containers hands the memory back, not just the sizes.
  RecordList<FileNode>().swap(files_);
  RecordList<FolderNameRecord>().swap(folderNames_);
  RecordList<FolderNode>().swap(folders_);
  decltype(folderByInode_)().swap(folderByInode_);
  decltype(folderNameByInode_)().swap(folderNameByInode_);
  decltype(childFolders_)().swap(childFolders_);
  decltype(childFiles_)().swap(childFiles_);
  findings_ = {};
}

const FolderNode* FileTree::FindFolder(std::uint32_t inode) const {
  const auto it = folderByInode_.find(inode);
  return it == folderByInode_.end() ? nullptr : &folders_[it->second];
}

const FolderNameRecord* FileTree::FindFolderName(std::uint32_t inode) const {
  const auto it = folderNameByInode_.find(inode);
  return it == folderNameByInode_.end() ? nullptr : &folderNames_[it->second];
}

const FileNode* FileTree::FindFileById(std::uint32_t id) const {
  // Ids are the file count at insertion, so a file normally sits at its id.
  if (id < files_.size() && files_[id].id == id) return &files_[id];
  const auto it = std::find_if(files_.begin(), files_.end(),
                               [id](const FileNode& file) { return file.id == id; });
  return it == files_.end() ? nullptr : &*it;
}

std::span<const std::uint32_t> FileTree::ChildFolders(std::uint32_t parentInode) const {
  return Children(childFolders_, parentInode);
}

std::span<const std::uint32_t> FileTree::ChildFiles(std::uint32_t parentInode) const {
  return Children(childFiles_, parentInode);
}

void FileTree::SetFolderName(std::size_t index, std::string_view name) {
  if (index < folders_.size()) folders_[index].name = std::string(ClampName(name));
}

void FileTree::SetFileName(std::size_t index, std::string_view name) {
  if (index < files_.size()) files_[index].name = std::string(ClampName(name));
}

void VisitFolderTree(const FileTree& tree, std::uint32_t parentInode,
                     const std::function<void(std::uint32_t, std::uint32_t)>& visit) {
  // Each frame is a folder whose children are being visited; `next` is the
  // position of the next child. Folder inodes are unique, so the folders
  // reachable from one inode form a tree and every frame ends.
  struct Frame {
    std::uint32_t index;
    std::uint32_t inode;
    std::size_t next;
  };
  std::vector<Frame> stack;
  stack.push_back({kNoFolderIndex, parentInode, 0});
  while (!stack.empty()) {
    Frame& top = stack.back();
    const auto children = tree.ChildFolders(top.inode);
    if (top.next >= children.size()) {
      stack.pop_back();
      continue;
    }
    const std::uint32_t index = children[top.next++];
    const std::uint32_t parentIndex = top.index;
    const std::uint32_t inode = tree.Folders()[index].inode;
    stack.push_back({index, inode, 0});  // `top` is not used past here
    visit(index, parentIndex);
  }
}

}  // namespace tolvar
