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

Inode ReadInodeRecord(DriveTable& drives, const VolumeInfo& volume, std::uint32_t n) {
  if (n == 0) return {};
  const InodeLocation where = LocateInode(volume.fsType, n);
  std::array<std::byte, kFsSectorBytes> sector{};
  (void)drives.ReadSectors(std::uint64_t{volume.inodeTableSector} + where.sectorOffset, 1, sector);
  return DecodeInode(volume.fsType, std::span<const std::byte>(sector).subspan(where.byteOffset));
}

EntryKind ClassifyInode(const Inode& inode, const VolumeInfo& volume, std::uint64_t driveSectors) {
  if (IsDirectoryInode(inode)) return EntryKind::kDirectory;
  if (BlockSector(volume, inode.FirstBlock()) < driveSectors) return EntryKind::kFile;
  return EntryKind::kOutOfRange;
}

InodeEntry ReadInode(DriveTable& drives, const VolumeInfo& volume, std::uint32_t n) {
  InodeEntry entry;
  if (n < kFirstEntryInode) return entry;
  const Inode inode = ReadInodeRecord(drives, volume, n);
  entry.time = inode.time;
  entry.size = inode.size;
  entry.kind = ClassifyInode(inode, volume, drives.Current().totalSectors);
  return entry;
}

}  // namespace tolvar
