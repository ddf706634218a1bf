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

std::string ContentsText(const FolderTotals& totals) {
  const std::uint64_t subfolders = totals.folders == 0 ? 0 : totals.folders - 1;
  return fmt::format("{} File(s) and {} Folder(s)", totals.files, subfolders);
}

std::string FolderSizeText(const FolderTotals& totals) {
  const std::uint64_t megabytes = totals.bytes / 1024 / 1024;
  if (megabytes == 0) return "Less than 1 MB";
  return fmt::format("{} MB", megabytes);
}

std::string FileSizeText(std::uint64_t bytes) { return fmt::format("{} KB", bytes / 1024 + 1); }

std::optional<PropertiesTexts> DescribeRow(const FileTree& tree, const BrowseRow& row) {
  PropertiesTexts texts;
  texts.isFolder = IsFolderRowType(row.type);
  texts.name = row.name;
  texts.date = row.date;
  texts.time = row.time;
  if (texts.isFolder) {
    const FolderNode* folder = tree.FindFolderByTreeItem(row.key);
    if (folder == nullptr) return std::nullopt;
    const FolderTotals totals = CountFolderTotals(tree, folder->inode);
    texts.size = FolderSizeText(totals);
    texts.contents = ContentsText(totals);
    return texts;
  }
  std::uint64_t bytes = 0;
  const char* first = row.size.data();
  const char* last = first + row.size.size();
  const auto [end, error] = std::from_chars(first, last, bytes);
  if (error != std::errc{} || end != last) return std::nullopt;
  texts.size = FileSizeText(bytes);
  return texts;
}

}  // namespace tolvar
