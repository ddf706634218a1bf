#pragma once

// The texts of the properties and drive-information dialogs, from the
// figures the tools compute.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "tools/drive_information.hpp"
#include "tools/folder_totals.hpp"

namespace tolvar {

// "12 File(s) and 3 Folder(s)": the folder itself is not counted.
[[nodiscard]] std::string ContentsText(const FolderTotals& totals);
// Whole megabytes of the folder's bytes, "Less than 1" below one, then " MB".
[[nodiscard]] std::string FolderSizeText(const FolderTotals& totals);
// A file's size as kilobytes divided down and then plus 1: 0 and 1023 bytes
// both give "1 KB", 1024 bytes "2 KB".
[[nodiscard]] std::string FileSizeText(std::uint64_t bytes);

// The eight captions with their value texts, in the order the dialog shows
// them; captions keep the blanks that belong to them.
struct CaptionedValue {
  std::string_view caption;
  std::string value;
};
[[nodiscard]] std::array<CaptionedValue, 8> DriveInformationFields(const DriveInformation& info);

}  // namespace tolvar
