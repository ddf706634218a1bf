#include "app/properties.hpp"

#include <fmt/format.h>

namespace tolvar {

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

std::array<CaptionedValue, 8> DriveInformationFields(const DriveInformation& info) {
  return {{
      {"Volume Name", info.volumeName},
      {"Volume Start", fmt::format("{}", info.volumeStart)},
      {"Volume Size", fmt::format("{}", info.volumeSize)},
      {"Block Size", fmt::format("{}", info.blockSize)},
      {"Super Block Start", fmt::format("{}", info.superBlockStart)},
      {"Total Files           ", fmt::format("{}", info.totalFiles)},
      {"Total Folders     ", fmt::format("{}", info.totalFolders)},
      {"Recovery Type", info.recoveryType},
  }};
}

}  // namespace tolvar
