#include "fs/inode_reader.hpp"

#include <algorithm>
#include <array>

namespace tolvar {

std::uint64_t BlockSector(const VolumeInfo& volume, std::uint32_t block) {
  return std::uint64_t{volume.startSector} + std::uint64_t{block} * kSectorsPerBlock;
}

std::uint32_t VolumeBlocks(const VolumeInfo& volume) {
  return volume.sizeSectors / kSectorsPerBlock;
}

bool IsVolumeBlock(const VolumeInfo& volume, std::uint32_t block) {
  return block != 0 && block < VolumeBlocks(volume);
}

bool ReadBlock(DriveTable& drives, const VolumeInfo& volume, std::uint32_t block,
               std::span<std::byte> out) {
  const auto bytes = out.first(std::min<std::size_t>(out.size(), kBlockBytes));
  std::fill(bytes.begin(), bytes.end(), std::byte{0});
  if (bytes.size() < kBlockBytes) return false;
  return drives.ReadSectors(BlockSector(volume, block), kSectorsPerBlock, bytes);
}

Inode ReadInodeRecord(DriveTable& drives, const VolumeInfo& volume, std::uint32_t n,
                      ReadAheadPath* readAhead) {
  if (n == 0) return {};
  const InodeLocation where = LocateInode(volume.fsType, n);
  const std::uint64_t sectorNumber = std::uint64_t{volume.inodeTableSector} + where.sectorOffset;
  if (readAhead != nullptr) {
    return DecodeInode(volume.fsType, readAhead->Sector(sectorNumber).subspan(where.byteOffset));
  }
  std::array<std::byte, kFsSectorBytes> sector{};
  (void)drives.ReadSectors(sectorNumber, 1, sector);
  return DecodeInode(volume.fsType, std::span<const std::byte>(sector).subspan(where.byteOffset));
}

SectorRange InodeTableSectors(const VolumeInfo& volume) {
  const std::uint64_t perSector = InodesPerSector(volume.fsType);
  const std::uint64_t tableSectors = (std::uint64_t{volume.inodeCount} + perSector) / perSector;
  const std::uint64_t volumeEnd = std::uint64_t{volume.startSector} + volume.sizeSectors;
  const std::uint64_t first = volume.inodeTableSector;
  return {first, std::max(first, std::min(first + tableSectors, volumeEnd))};
}

EntryKind ClassifyInode(const Inode& inode, const VolumeInfo& volume, std::uint64_t driveSectors) {
  if (IsDirectoryInode(inode)) return EntryKind::kDirectory;
  if (BlockSector(volume, inode.FirstBlock()) < driveSectors) return EntryKind::kFile;
  return EntryKind::kOutOfRange;
}

InodeEntry ReadInode(DriveTable& drives, const VolumeInfo& volume, std::uint32_t n,
                     ReadAheadPath* readAhead) {
  InodeEntry entry;
  if (n < kFirstEntryInode) return entry;
  const Inode inode = ReadInodeRecord(drives, volume, n, readAhead);
  entry.time = inode.time;
  entry.size = inode.size;
  entry.kind = ClassifyInode(inode, volume, drives.Current().totalSectors);
  return entry;
}

}  // namespace tolvar
