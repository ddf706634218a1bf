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

}  // namespace tolvar
