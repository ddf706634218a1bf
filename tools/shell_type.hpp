#pragma once

#include <string_view>

namespace tolvar {

// The type name a desktop shell shows for an entry, decided by the name
// alone: "Folder" for folders, a name looked up by the file's extension
// (".txt" gives "Text Document"), "File" when the extension is unknown.
// No file type name ends in "Folder", so the browse rows' folder test (the
// last six characters of the type) never takes a file for a folder.
[[nodiscard]] std::string_view ShellTypeName(std::string_view name, bool isFolder);

inline constexpr std::string_view kUnknownShellTypeName = "File";

}  // namespace tolvar
