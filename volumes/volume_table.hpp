#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace tolvar {

enum class FsType : std::uint16_t { kNone = 0, kEafs = 1, kHtfs = 2 };

// "EAFS" for EAFS, "HTFS" otherwise.
[[nodiscard]] constexpr std::string_view FsTypeName(FsType type) {
  return type == FsType::kEafs ? "EAFS" : "HTFS";
}

// One file system found on the current drive. Arithmetic on the sector
// fields is 32-bit and wraps, as the drive's own capacity does.
struct VolumeInfo {
  std::string volumeName;  // "HTFS Partition - 1", ...
  std::uint32_t sizeSectors = 0;
  std::uint32_t startSector = 0;  // the superblock's sector minus 1
  std::uint32_t sectorsPerBlock = 2;
  std::uint32_t inodeTableSector = 0;  // startSector + 2 x sectorsPerBlock
  std::uint32_t inodeCount = 0;
  FsType fsType = FsType::kNone;
};

class VolumeTable {
 public:
  static constexpr std::uint32_t kCapacity = 100;

  std::array<VolumeInfo, kCapacity> entries{};
  std::uint32_t volumeCount = 0;
  std::uint16_t currentVolume = 0;

  [[nodiscard]] const VolumeInfo& Current() const { return entries.at(currentVolume); }
};

}  // namespace tolvar
