#include "fs/file_tree.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <new>

#include "fs/format.hpp"
#include "fs/timestamp.hpp"
#include "tools/patterns/file_filter_list.hpp"

namespace tolvar {

namespace {

std::string_view ClampName(std::string_view name) { return name.substr(0, kMaxNameBytes); }

std::unexpected<Error> OutOfMemory(Feedback& feedback) {
  feedback.ShowMessage(kOutOfMemoryMessage, MessageKind::kError);
  return std::unexpected(Error{ErrorCode::kOutOfMemory, std::string(kOutOfMemoryMessage), {}});
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
                                                  std::uint32_t time, std::uint32_t size,
                                                  Feedback& feedback) {
  if (inode < kFirstEntryInode) return AddResult::kRefused;
  try {
    const auto index = Count(files_.size());
    files_.push_back({parent, inode, std::string(ClampName(name)), time, size, id});
    childFiles_[parent].push_back(index);
  } catch (const std::bad_alloc&) {
    return OutOfMemory(feedback);
  }
  const std::uint32_t count = FileCount();
  if (count % 10 == 0) feedback.SetRowValue(kFilesFoundLabel, fmt::format("{}", count));
  if (count % 100 == 0) feedback.SetRowValue(kLastEntryLabel, files_.back().name);
  return AddResult::kAdded;
}

std::expected<AddResult, Error> FileTree::AddFolder(std::string_view name, std::uint32_t inode,
                                                    std::uint32_t parent, std::uint32_t id,
                                                    std::uint32_t time, Feedback& feedback) {
  if (inode < kFirstEntryInode || folderByInode_.contains(inode)) return AddResult::kRefused;
  return AppendFolder(name, inode, parent, id, time, feedback);
}

std::expected<AddResult, Error> FileTree::AppendFolder(std::string_view name, std::uint32_t inode,
                                                       std::uint32_t parent, std::uint32_t id,
                                                       std::uint32_t time, Feedback& feedback) {
  try {
    const auto index = Count(folders_.size());
    folders_.push_back({inode, id, parent, std::string(ClampName(name)), time, kNoTreeItem});
    folderByInode_.emplace(inode, index);
    childFolders_[parent].push_back(index);
  } catch (const std::bad_alloc&) {
    return OutOfMemory(feedback);
  }
  feedback.SetRowValue(kFoldersFoundLabel, fmt::format("{}", FolderCount()));
  feedback.SetRowValue(kLastEntryLabel, folders_.back().name);
  return AddResult::kAdded;
}

std::expected<AddResult, Error> FileTree::AddPlaceholderFolder(std::string_view name,
                                                               std::uint32_t inode,
                                                               std::uint32_t parent,
                                                               std::uint32_t id,
                                                               Feedback& feedback) {
  if (inode >= kFirstEntryInode) return AddFolder(name, inode, parent, id, 0, feedback);
  if (inode == kRootInode || folderByInode_.contains(inode)) return AddResult::kRefused;
  return AppendFolder(name, inode, parent, id, 0, feedback);
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
                                                        std::uint32_t parent, Feedback& feedback) {
  if (inode < kFirstEntryInode || folderNameByInode_.contains(inode)) return AddResult::kRefused;
  try {
    const auto index = Count(folderNames_.size());
    folderNames_.push_back({std::string(ClampName(name)), inode, parent});
    folderNameByInode_.emplace(inode, index);
  } catch (const std::bad_alloc&) {
    return OutOfMemory(feedback);
  }
  feedback.SetRowValue(kFoldersFoundLabel, fmt::format("{}", FolderCount()));
  feedback.SetRowValue(kLastEntryLabel, folderNames_.back().name);
  return AddResult::kAdded;
}

void FileTree::ClearFileTree() {
  // Swapping with empty containers hands the memory back, not just the sizes.
  std::vector<FileNode>().swap(files_);
  std::vector<FolderNameRecord>().swap(folderNames_);
  std::vector<FolderNode>().swap(folders_);
  decltype(folderByInode_)().swap(folderByInode_);
  decltype(folderNameByInode_)().swap(folderNameByInode_);
  decltype(folderByTreeItem_)().swap(folderByTreeItem_);
  decltype(childFolders_)().swap(childFolders_);
  decltype(childFiles_)().swap(childFiles_);
}

const FolderNode* FileTree::FindFolder(std::uint32_t inode) const {
  const auto it = folderByInode_.find(inode);
  return it == folderByInode_.end() ? nullptr : &folders_[it->second];
}

const FolderNameRecord* FileTree::FindFolderName(std::uint32_t inode) const {
  const auto it = folderNameByInode_.find(inode);
  return it == folderNameByInode_.end() ? nullptr : &folderNames_[it->second];
}

const FolderNode* FileTree::FindFolderByTreeItem(TreeItemId item) const {
  const auto it = folderByTreeItem_.find(item);
  return it == folderByTreeItem_.end() ? nullptr : &folders_[it->second];
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

void FileTree::SetTreeItem(std::size_t index, TreeItemId item) {
  if (index >= folders_.size()) return;
  FolderNode& folder = folders_[index];
  if (folder.treeItem != kNoTreeItem) folderByTreeItem_.erase(folder.treeItem);
  folder.treeItem = item;
  if (item != kNoTreeItem) folderByTreeItem_[item] = static_cast<std::uint32_t>(index);
}

std::string BrowseListSink::FileTypeName(std::string_view fileName) const {
  return DefaultFileTypeName(fileName);
}

std::string DefaultFileTypeName(std::string_view fileName) {
  const auto dot = fileName.rfind('.');
  if (dot == std::string_view::npos || dot + 1 == fileName.size()) return "File";
  std::string extension(fileName.substr(dot + 1));
  for (char& c : extension) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return extension + " File";
}

bool IsFolderRowType(std::string_view typeText) { return typeText.ends_with(kFolderTypeName); }

BrowseRow FolderRow(const FolderNode& folder) {
  const TimestampText when = FormatTimestamp(folder.time);
  BrowseRow row;
  row.name = folder.name;
  row.type = std::string(kFolderTypeName);
  row.size = "0";
  row.date = when.date;
  row.time = when.time;
  row.sector = fmt::format("{}", folder.treeItem);
  row.isFolder = true;
  row.key = folder.treeItem;
  row.inode = folder.inode;
  row.timestamp = folder.time;
  return row;
}

BrowseRow FileRow(const FileNode& file, const BrowseListSink& sink) {
  const TimestampText when = FormatTimestamp(file.time);
  BrowseRow row;
  row.name = file.name;
  row.type = sink.FileTypeName(file.name);
  row.size = fmt::format("{}", file.size);
  row.date = when.date;
  row.time = when.time;
  row.sector = fmt::format("{}", file.id);
  row.key = file.id;
  row.inode = file.inode;
  row.sizeBytes = file.size;
  row.timestamp = file.time;
  return row;
}

void BuildFolderTree(FileTree& tree, FolderTreeSink& sink, TreeItemId parentItem,
                     std::uint32_t parentInode, Feedback& feedback) {
  int lastProgress = -1;
  auto sendProgress = [&] {
    const std::uint64_t folders = std::max<std::uint32_t>(tree.FolderCount(), 1);
    const auto position = static_cast<int>(
        std::min<std::uint64_t>(std::uint64_t{tree.TreeItemCount()} * 100 / folders, 99));
    if (position != lastProgress) feedback.SetProgress(position);
    lastProgress = position;
  };

  // Each frame is a folder whose children are being inserted; `next` is the
  // position of the next child to insert. Folder inodes are unique, so the
  // folders reachable from one inode form a tree and every frame ends.
  struct Frame {
    TreeItemId item;
    std::uint32_t inode;
    std::size_t next;
  };
  std::vector<Frame> stack;
  stack.push_back({parentItem, parentInode, 0});
  sendProgress();
  while (!stack.empty()) {
    Frame& top = stack.back();
    const auto children = tree.ChildFolders(top.inode);
    if (top.next >= children.size()) {
      stack.pop_back();
      continue;
    }
    const std::uint32_t index = children[top.next++];
    const FolderNode& folder = tree.Folders()[index];
    const TreeItemId item =
        sink.InsertItem(top.item, folder.name, kFolderImage, kFolderSelectedImage);
    tree.CountTreeItem();
    tree.SetTreeItem(index, item);
    const std::uint32_t inode = folder.inode;
    stack.push_back({item, inode, 0});  // `top` and `folder` are not used past here
    sendProgress();
  }
  sink.ExpandItem(parentItem);
}

void FillFolderList(const FileTree& tree, std::uint32_t folderInode, const FileFilterList* filters,
                    BrowseListSink& sink, WizardState& state) {
  state.SetBusy(false);
  sink.DeleteAllRows();
  std::size_t row = 0;
  for (const std::uint32_t index : tree.ChildFolders(folderInode)) {
    sink.InsertRow(row++, FolderRow(tree.Folders()[index]));
  }
  for (const std::uint32_t index : tree.ChildFiles(folderInode)) {
    const FileNode& file = tree.Files()[index];
    if (filters != nullptr && !filters->Passes(file.name)) continue;
    sink.InsertRow(row++, FileRow(file, sink));
  }
}

TreeItemId RecordingTreeSink::InsertItem(TreeItemId parent, std::string_view text, int image,
                                         int selectedImage) {
  const TreeItemId id = next_++;
  byId_[id] = items_.size();
  children_[parent].push_back(items_.size());
  items_.push_back({id, parent, std::string(text), image, selectedImage});
  return id;
}

std::vector<const RecordingTreeSink::Item*> RecordingTreeSink::ChildrenOf(TreeItemId parent) const {
  std::vector<const Item*> out;
  const auto it = children_.find(parent);
  if (it == children_.end()) return out;
  for (const std::size_t index : it->second) out.push_back(&items_[index]);
  return out;
}

const RecordingTreeSink::Item* RecordingTreeSink::Find(TreeItemId id) const {
  const auto it = byId_.find(id);
  return it == byId_.end() ? nullptr : &items_[it->second];
}

void RecordingListSink::InsertRow(std::size_t index, const BrowseRow& row) {
  rows_.insert(rows_.begin() + static_cast<std::ptrdiff_t>(std::min(index, rows_.size())), row);
}

}  // namespace tolvar
