#include "app/browse_view.hpp"

#include <fmt/format.h>

#include "fs/timestamp.hpp"

namespace tolvar {

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

std::vector<ListRow> FolderListRows(
    const FileTree& tree, std::uint32_t folderInode, const FileFilterList* filters,
    const std::function<ViewItem(std::uint32_t folderIndex)>& folderItem,
    const std::function<std::string(std::string_view fileName)>& fileTypeName) {
  std::vector<ListRow> rows;
  for (const std::uint32_t index : tree.ChildFolders(folderInode)) {
    const FolderNode& folder = tree.Folders()[index];
    const TimestampText when = FormatTimestamp(folder.time);
    const ViewItem key = folderItem(index);
    rows.push_back({folder.name, std::string(kFolderTypeName), "0", when.date, when.time,
                    fmt::format("{}", key), true, key, 0, folder.time});
  }
  for (const std::uint32_t index : tree.ChildFiles(folderInode)) {
    const FileNode& file = tree.Files()[index];
    if (filters != nullptr && !filters->Passes(file.name)) continue;
    const TimestampText when = FormatTimestamp(file.time);
    rows.push_back({file.name, fileTypeName(file.name), fmt::format("{}", file.size), when.date,
                    when.time, fmt::format("{}", file.id), false, file.id, file.size, file.time});
  }
  return rows;
}

}  // namespace tolvar
