#include "tools/rescue_warnings.hpp"

#include "fs/inode_reader.hpp"

namespace tolvar {

std::vector<std::string> UnrescuedVolumeWarnings(const RescueMap& map, const VolumeInfo& volume) {
  std::vector<std::string> lines;
  const std::uint64_t superblock = (volume.startSector + 1) * kSectorSize;
  if (!map.Rescued(superblock, kSectorSize)) {
    lines.emplace_back(
        "the mapfile marks the volume's superblock not rescued: it was read as zeros or from "
        "the unrescued bytes");
  }
  const SectorRange table = InodeTableSectors(volume);
  if (table.end > table.first &&
      !map.Rescued(table.first * kSectorSize, (table.end - table.first) * kSectorSize)) {
    lines.emplace_back(
        "the mapfile marks part of the volume's inode table not rescued: files there read as "
        "unreadable");
  }
  return lines;
}

}  // namespace tolvar
