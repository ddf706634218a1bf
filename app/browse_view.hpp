#pragma once

// The browse list's rows of a file tree: the file tree holds records only;
// the texts of each row are the window's, made here.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/wizard_view.hpp"
#include "fs/file_tree.hpp"
#include "tools/file_filter_list.hpp"

namespace tolvar {

inline constexpr std::string_view kFolderTypeName = "Folder";

// A type name from the name alone: the extension in upper case followed by
// " File", or "File" without an extension.
[[nodiscard]] std::string DefaultFileTypeName(std::string_view fileName);

// Whether a row's type text marks it as a folder row (it ends in "Folder").
[[nodiscard]] bool IsFolderRowType(std::string_view typeText);

// The rows of folder `folderInode`: its folders (never filtered) in list
// order, then its files that pass `filters` (nullptr: no filters). A folder
// row's key is its tree item (`folderItem` of its record's index), a file
// row's key its id; `fileTypeName` gives a file's type text.
[[nodiscard]] std::vector<ListRow> FolderListRows(
    const FileTree& tree, std::uint32_t folderInode, const FileFilterList* filters,
    const std::function<ViewItem(std::uint32_t folderIndex)>& folderItem,
    const std::function<std::string(std::string_view fileName)>& fileTypeName);

}  // namespace tolvar
