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

FolderListing::FolderListing(const FileTree& tree, std::uint32_t folderInode,
                             const FileFilterList* filters, std::span<const ViewItem> folderItems,
                             FileTypeNamer fileTypeName)
    : tree_(&tree),
      folders_(tree.ChildFolders(folderInode)),
      allFiles_(tree.ChildFiles(folderInode)),
      filtered_(filters != nullptr),
      folderItems_(folderItems),
      fileTypeName_(std::move(fileTypeName)) {
  if (!filtered_) return;
  for (const std::uint32_t index : allFiles_) {
    if (filters->Passes(tree.Files()[index].name)) passingFiles_.push_back(index);
  }
}

const FolderNode& FolderListing::FolderAt(std::size_t row) const {
  return tree_->Folders()[folders_[row]];
}

const FileNode& FolderListing::FileAt(std::size_t row) const {
  const std::size_t at = row - folders_.size();
  return tree_->Files()[filtered_ ? passingFiles_[at] : allFiles_[at]];
}

std::string_view FolderListing::Name(std::size_t row) const {
  if (row >= Count()) return {};
  return IsFolder(row) ? std::string_view(FolderAt(row).name) : std::string_view(FileAt(row).name);
}

std::string FolderListing::TypeText(std::size_t row) const {
  if (row >= Count()) return {};
  if (IsFolder(row)) return std::string(kFolderTypeName);
  return fileTypeName_ ? fileTypeName_(FileAt(row).name) : DefaultFileTypeName(FileAt(row).name);
}

std::uint64_t FolderListing::Key(std::size_t row) const {
  if (row >= Count()) return 0;
  if (!IsFolder(row)) return FileAt(row).id;
  const std::uint32_t index = folders_[row];
  return index < folderItems_.size() ? folderItems_[index] : kNoViewItem;
}

std::uint64_t FolderListing::SizeValue(std::size_t row) const {
  return row < Count() && !IsFolder(row) ? FileAt(row).size : 0;
}

std::uint32_t FolderListing::Timestamp(std::size_t row) const {
  if (row >= Count()) return 0;
  return IsFolder(row) ? FolderAt(row).time : FileAt(row).time;
}

std::string FolderListing::Text(std::size_t row, ListField field) const {
  if (row >= Count()) return {};
  switch (field) {
    case ListField::kName:
      return std::string(Name(row));
    case ListField::kType:
      return TypeText(row);
    case ListField::kSize:
      return fmt::format("{}", SizeValue(row));
    case ListField::kDate:
      return FormatTimestamp(Timestamp(row)).date;
    case ListField::kTime:
      return FormatTimestamp(Timestamp(row)).time;
    case ListField::kKey:
      return fmt::format("{}", Key(row));
  }
  return {};
}

std::optional<ListRow> FolderListing::Row(std::size_t row) const {
  if (row >= Count()) return std::nullopt;
  const TimestampText when = FormatTimestamp(Timestamp(row));
  const std::uint64_t key = Key(row);
  return ListRow{std::string(Name(row)),
                 TypeText(row),
                 Text(row, ListField::kSize),
                 when.date,
                 when.time,
                 fmt::format("{}", key),
                 IsFolder(row),
                 key,
                 SizeValue(row),
                 Timestamp(row)};
}

std::optional<std::size_t> FolderListing::RowOfKey(std::uint64_t key, bool folder) const {
  const std::size_t first = folder ? 0 : folders_.size();
  const std::size_t end = folder ? folders_.size() : Count();
  for (std::size_t row = first; row < end; ++row) {
    if (Key(row) == key) return row;
  }
  return std::nullopt;
}

std::vector<ListRow> ListingRows(const FolderListing& listing) {
  std::vector<ListRow> rows;
  rows.reserve(listing.Count());
  for (std::size_t row = 0; row < listing.Count(); ++row) rows.push_back(*listing.Row(row));
  return rows;
}

}  // namespace tolvar
