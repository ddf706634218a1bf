#pragma once

// The texts of the properties and drive-information dialogs, from the
// figures the tools compute.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/saved_digests.hpp"
#include "disk/drive_table.hpp"
#include "recovery/report.hpp"
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

inline constexpr std::string_view kNotReadable = "not readable";
inline constexpr std::string_view kReadingDetails = "reading...";

// The words of inode `inode` as the report gives them; nothing when the
// number lies outside the volume's inode table or its sector did not read.
[[nodiscard]] std::optional<InodeFacts> ReadInodeFacts(DriveTable& drives, const VolumeInfo& volume,
                                                       std::uint32_t inode);

// An entry's details under its time stamp in Properties: the inode number,
// then its mode, owner, group, links and three times (UTC, as in the
// report), then the digests when the file was saved in this session. The
// rows are the same whether the words were read or not: without them the
// mode says `missing` ("not readable", "reading...") and the others "-".
[[nodiscard]] std::vector<CaptionedValue> EntryDetailFields(
    std::uint32_t inode, const std::optional<InodeFacts>& facts, const FileDigests* digests,
    std::string_view missing = kNotReadable);

}  // namespace tolvar
