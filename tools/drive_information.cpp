#include "tools/drive_information.hpp"

#include <fmt/format.h>

namespace tolvar {

DriveInformation DescribeDrive(const VolumeInfo& volume, const FileTree& tree, RecoveryMode mode) {
  DriveInformation info;
  info.volumeName = volume.volumeName;
  info.volumeStart = volume.startSector;
  info.volumeSize = volume.sizeSectors;
  info.blockSize = volume.sectorsPerBlock;
  // 32-bit sector arithmetic wraps like the volume table's own.
  info.superBlockStart = volume.startSector + 1u;
  info.totalFiles = tree.FileCount();
  info.totalFolders = tree.FolderCount();
  info.recoveryType = mode == RecoveryMode::kExtensive ? "Extensive" : "Normal";
  return info;
}

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
