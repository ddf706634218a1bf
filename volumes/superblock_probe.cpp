#include "volumes/superblock_probe.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>

#include "base/little_endian.hpp"

namespace tolvar {

namespace {

constexpr std::size_t kSectorBytes = 512;
constexpr std::size_t kMagicOffset = 504;
constexpr std::size_t kSizeOffset = 4;
constexpr std::size_t kFreeCountOffset = 8;
constexpr std::size_t kHtfsCheckOffset = 244;
constexpr std::size_t kHtfsInodeBlocksOffset = 248;
// The inode table starts at block 2: four sectors past the volume's start.
constexpr std::uint64_t kInodeTableSectorOffset = 4;
// In an inode the mode is the u16 at byte 0, the first block address a u32
// at byte 20 (HTFS) or three bytes at byte 12 (EAFS).
constexpr std::size_t kHtfsFirstAddress = 20;
constexpr std::size_t kEafsFirstAddress = 12;
constexpr std::uint16_t kModeTypeMask = 0xF000;
constexpr std::uint16_t kModeDirectory = 0x4000;

}  // namespace

std::string VolumeName(FsType type, std::uint32_t number) {
  return fmt::format("{} Partition - {}", FsTypeName(type), number);
}

Superblock DecodeSuperblock(std::span<const std::byte> sector) {
  Superblock sb;
  if (sector.size() < kSectorBytes) return sb;
  sb.signature = le::Read32(sector, kMagicOffset);
  sb.sizeBlocks = le::Read32(sector, kSizeOffset);
  sb.htfsWord0 = le::Read32(sector, 0);
  sb.htfsWord244 = le::Read32(sector, kHtfsCheckOffset);
  sb.inodeTableBlocks = le::Read32(sector, kHtfsInodeBlocksOffset);
  sb.freeCount = le::Read16(sector, kFreeCountOffset);
  if (sb.signature == kHtfsMagic) {
    sb.type = FsType::kHtfs;
  } else if (sb.signature == kEafsMagic) {
    sb.type = FsType::kEafs;
  } else if (sb.signature == kAfsMagic) {
    // AFS shares the EAFS layout. Its free-count mark is checked by
    // IsPlausibleSuperblock: without it, only the root folder vouches.
    sb.type = FsType::kAfs;
  }
  sb.firstDataBlock = FirstDataBlock(sector, sb.type);
  return sb;
}

bool IsPlausibleSuperblock(const Superblock& superblock) {
  switch (superblock.type) {
    case FsType::kEafs:
      return true;
    case FsType::kAfs:
      return superblock.freeCount == kAfsFreeCountMark;
    case FsType::kHtfs:
      return superblock.htfsWord0 != 0 && superblock.htfsWord244 != 0;
    case FsType::kNone:
      break;
  }
  return false;
}

SuperblockFlaws FindSuperblockFlaws(const Superblock& superblock) {
  SuperblockFlaws flaws;
  if (superblock.type == FsType::kNone) return flaws;
  const std::uint64_t sectors = std::uint64_t{superblock.sizeBlocks} * 2;
  flaws.sizeTooLarge = sectors > kMaxVolumeSectors;
  flaws.sizeImplausible = flaws.sizeTooLarge || superblock.sizeBlocks < kMinVolumeBlocks ||
                          superblock.sizeBlocks <= superblock.firstDataBlock;
  if (superblock.type == FsType::kHtfs) {
    flaws.htfsWordZero = superblock.htfsWord0 == 0 || superblock.htfsWord244 == 0;
    flaws.inodeTableUnknown = superblock.inodeTableBlocks == 0;
  }
  flaws.afsFreeCountOff =
      superblock.type == FsType::kAfs && superblock.freeCount != kAfsFreeCountMark;
  return flaws;
}

std::uint32_t FirstDataBlock(std::span<const std::byte> sector, FsType type) {
  if (sector.size() < kSectorBytes) return 0;
  return type == FsType::kHtfs ? le::Read32(sector, 0) : le::Read16(sector, 0);
}

bool HoldsRootFolder(FsType type, std::span<const std::byte> inodeSector) {
  if (type == FsType::kNone) return false;
  // Inode 2 is the second slot of the table's first sector.
  const std::size_t slot = type == FsType::kHtfs ? kHtfsInodeBytes : kEafsInodeBytes;
  if (inodeSector.size() < 2 * slot) return false;
  const auto inode = inodeSector.subspan(slot, slot);
  const std::uint16_t mode = le::Read16(inode, 0);
  if ((mode & kModeTypeMask) != kModeDirectory) return false;
  const std::uint32_t firstBlock = type == FsType::kHtfs ? le::Read32(inode, kHtfsFirstAddress)
                                                         : le::Read24(inode, kEafsFirstAddress);
  return firstBlock != 0;
}

bool VolumeHasRootFolder(const std::function<bool(std::uint64_t, std::span<std::byte>)>& read,
                         FsType type, std::uint64_t superblockSector) {
  if (superblockSector == 0 || !read) return false;
  // The volume starts a sector before its superblock; the table at its block 2.
  std::array<std::byte, kSectorBytes> sector{};
  const std::uint64_t inodeSector = superblockSector - 1 + kInodeTableSectorOffset;
  if (!read(inodeSector, sector)) return false;
  return HoldsRootFolder(type, sector);
}

}  // namespace tolvar
