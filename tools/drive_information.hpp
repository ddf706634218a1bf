#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/settings.hpp"
#include "fs/file_tree.hpp"
#include "volumes/volume_table.hpp"

namespace tolvar {

// The figures of the mounted volume.
struct DriveInformation {
  std::string volumeName;
  std::uint64_t volumeStart = 0;
  std::uint32_t volumeSize = 0;  // sectors
  std::uint32_t blockSize = 0;   // sectors per block
  // The absolute sector that holds the superblock: the second sector of the
  // volume.
  std::uint64_t superBlockStart = 0;
  std::uint32_t totalFiles = 0;
  std::uint32_t totalFolders = 0;
  std::string recoveryType;  // "Normal" or "Extensive"
};

[[nodiscard]] DriveInformation DescribeDrive(const VolumeInfo& volume, const FileTree& tree,
                                             RecoveryMode mode);

}  // namespace tolvar
