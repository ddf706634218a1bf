#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/little_endian.hpp"
#include "volumes/volume_table.hpp"

namespace tolvar {

inline constexpr std::uint32_t kHtfsMagic = 0xA060492A;
inline constexpr std::uint32_t kEafsMagic = 0xFD187E21;
// AFS: this magic, and only with the free count (u16 at byte 8) 0xFFFF.
inline constexpr std::uint32_t kAfsMagic = 0xFD187E20;
inline constexpr std::uint16_t kAfsFreeCountMark = 0xFFFF;
// An inode's slot in the inode table.
inline constexpr std::uint32_t kEafsInodeBytes = 64;  // EAFS and AFS
inline constexpr std::uint32_t kHtfsInodeBytes = 128;
// Candidates larger than this many sectors (80 GiB) are not taken.
inline constexpr std::uint32_t kMaxVolumeSectors = 0xA000000;

// The superblock fields the readers look at (the second sector of a volume):
// the one decoder of this structure.
struct Superblock {
  FsType type = FsType::kNone;         // from the signature alone
  std::uint32_t signature = 0;         // byte 504
  std::uint32_t sizeBlocks = 0;        // byte 4: size in 1024-byte blocks
  std::uint32_t htfsWord0 = 0;         // byte 0, HTFS: non-zero
  std::uint32_t htfsWord244 = 0;       // byte 244, HTFS: non-zero
  std::uint32_t inodeTableBlocks = 0;  // byte 248, HTFS
  std::uint16_t freeCount = 0;         // byte 8; 0xFFFF marks AFS (see IsPlausibleSuperblock)
  std::uint32_t firstDataBlock = 0;    // byte 0: u32 for HTFS, u16 otherwise
};
// `sector` must hold at least 512 bytes; shorter input yields type kNone.
[[nodiscard]] Superblock DecodeSuperblock(std::span<const std::byte> sector);
// The signature matches and, for HTFS, both words that must be non-zero are;
// for AFS, the free count holds its 0xFFFF mark.
[[nodiscard]] bool IsPlausibleSuperblock(const Superblock& superblock);
// The fewest blocks a volume can have: the boot block with the superblock,
// an unused block, one inode-table block and the root folder's block.
inline constexpr std::uint32_t kMinVolumeBlocks = 4;

// What is implausible in a superblock whose signature matched. Discovery
// keeps such a volume when its root folder is where it belongs, and bounds
// by the disk whatever the words no longer say.
struct SuperblockFlaws {
  // Word 4: 0, too small to hold the inode table and a root folder (below
  // kMinVolumeBlocks, or not past the first data block at word 0), or larger
  // than kMaxVolumeSectors.
  bool sizeImplausible = false;
  bool sizeTooLarge = false;       // the part of sizeImplausible the probe refuses
  bool htfsWordZero = false;       // HTFS: word 0 or 244 is 0
  bool inodeTableUnknown = false;  // HTFS: word 248 (the inode table's length) is 0
  bool afsFreeCountOff = false;    // AFS: the free count (byte 8) is not the 0xFFFF mark
  [[nodiscard]] bool Any() const {
    return sizeImplausible || htfsWordZero || inodeTableUnknown || afsFreeCountOff;
  }
};
[[nodiscard]] SuperblockFlaws FindSuperblockFlaws(const Superblock& superblock);
// The first data block the superblock names (word 0: u32 for HTFS, u16 for
// EAFS and AFS), i.e. 2 + the inode table's length in blocks.
[[nodiscard]] std::uint32_t FirstDataBlock(std::span<const std::byte> sector, FsType type);

// Whether the first sector of a volume's inode table holds inode 2, the
// root, as a folder with a first block: what tells a volume from a copy of
// its superblock stored as data. Short input holds no root.
[[nodiscard]] bool HoldsRootFolder(FsType type, std::span<const std::byte> inodeSector);
// Reads the inode table's first sector of the volume whose superblock is at
// absolute sector `superblockSector` through `read` (a SectorReader: sector,
// buffer; false when unreadable) and tests it with HoldsRootFolder.
[[nodiscard]] bool VolumeHasRootFolder(
    const std::function<bool(std::uint64_t, std::span<std::byte>)>& read, FsType type,
    std::uint64_t superblockSector);

// "HTFS Partition - 1" and so on: the name of the table's entry `number`
// (counted from 1).
[[nodiscard]] std::string VolumeName(FsType type, std::uint32_t number);

// Whether the sector carries either magic at byte 504: the cheap first test
// that the scans make of every sector before judging it.
[[nodiscard]] inline bool HasSuperblockMagic(std::span<const std::byte> sector) {
  if (sector.size() < 512) return false;
  const std::uint32_t magic = le::Read32(sector, 504);
  return magic == kHtfsMagic || magic == kEafsMagic || magic == kAfsMagic;
}

}  // namespace tolvar
