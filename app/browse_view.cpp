#include "app/browse_view.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "fs/timestamp.hpp"

namespace tolvar {

void FolderTreeItems::Set(std::uint32_t folderIndex, TreeItemId item) {
  if (folderIndex >= itemOfFolder_.size()) itemOfFolder_.resize(folderIndex + 1, kNoTreeItem);
  TreeItemId& slot = itemOfFolder_[folderIndex];
  if (slot != kNoTreeItem) folderOfItem_.erase(slot);
  slot = item;
  if (item != kNoTreeItem) folderOfItem_[item] = folderIndex;
}

TreeItemId FolderTreeItems::ItemOf(std::uint32_t folderIndex) const {
  return folderIndex < itemOfFolder_.size() ? itemOfFolder_[folderIndex] : kNoTreeItem;
}

const FolderNode* FolderTreeItems::FindFolder(const FileTree& tree, TreeItemId item) const {
  const auto it = folderOfItem_.find(item);
  if (it == folderOfItem_.end() || it->second >= tree.Folders().size()) return nullptr;
  return &tree.Folders()[it->second];
}

void FolderTreeItems::Clear() {
  std::vector<TreeItemId>().swap(itemOfFolder_);
  decltype(folderOfItem_)().swap(folderOfItem_);
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

BrowseRow FolderRow(const FolderNode& folder, TreeItemId item) {
  const TimestampText when = FormatTimestamp(folder.time);
  BrowseRow row;
  row.name = folder.name;
  row.type = std::string(kFolderTypeName);
  row.size = "0";
  row.date = when.date;
  row.time = when.time;
  row.sector = fmt::format("{}", item);
  row.isFolder = true;
  row.key = item;
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

void BuildFolderTree(const FileTree& tree, FolderTreeItems& items, FolderTreeSink& sink,
                     TreeItemId parentItem, std::uint32_t parentInode, Feedback& feedback) {
  int lastProgress = -1;
  auto sendProgress = [&] {
    const std::uint64_t folders = std::max<std::uint32_t>(tree.FolderCount(), 1);
    const auto position = static_cast<int>(
        std::min<std::uint64_t>(std::uint64_t{items.InsertedCount()} * 100 / folders, 99));
    if (position != lastProgress) feedback.SetProgress(position);
    lastProgress = position;
  };
  sendProgress();
  VisitFolderTree(tree, parentInode, [&](std::uint32_t index, std::uint32_t parentIndex) {
    const TreeItemId parent = parentIndex == kNoFolderIndex ? parentItem : items.ItemOf(parentIndex);
    const TreeItemId item =
        sink.InsertItem(parent, tree.Folders()[index].name, kFolderImage, kFolderSelectedImage);
    items.CountItem();
    items.Set(index, item);
    sendProgress();
  });
  sink.ExpandItem(parentItem);
}

void FillFolderList(const FileTree& tree, const FolderTreeItems& items, std::uint32_t folderInode,
                    const FileFilterList* filters, BrowseListSink& sink, WizardState& state) {
  state.SetBusy(false);
  sink.DeleteAllRows();
  std::size_t row = 0;
  for (const std::uint32_t index : tree.ChildFolders(folderInode)) {
    sink.InsertRow(row++, FolderRow(tree.Folders()[index], items.ItemOf(index)));
  }
  for (const std::uint32_t index : tree.ChildFiles(folderInode)) {
    const FileNode& file = tree.Files()[index];
    if (filters != nullptr && !filters->Passes(file.name)) continue;
    sink.InsertRow(row++, FileRow(file, sink));
  }
}

}  // namespace tolvar
