#pragma once

#include <cstdint>
#include <span>

#include "disk/drive_table.hpp"
#include "disk/read_ahead_path.hpp"
#include "fs/format.hpp"
#include "volumes/volume_table.hpp"

namespace tolvar {

// How the directory walk treats an entry's inode.
enum class EntryKind : std::uint8_t { kFile = 0, kDirectory = 1, kOutOfRange = 2 };

struct InodeEntry {
  std::uint32_t time = 0;
  std::uint32_t size = 0;
  EntryKind kind = EntryKind::kFile;
};

// Absolute sector of block `block` of the volume (64-bit: never wraps).
[[nodiscard]] std::uint64_t BlockSector(const VolumeInfo& volume, std::uint32_t block);
// The volume's length in blocks.
[[nodiscard]] std::uint32_t VolumeBlocks(const VolumeInfo& volume);
// Block 0 and blocks at or past the end of the volume hold nothing of it.
[[nodiscard]] bool IsVolumeBlock(const VolumeInfo& volume, std::uint32_t block);

// How the inode table is read ahead: a walk looks up a directory's own
// inode and its entries' inodes, which often lie apart in the table, so a
// few short windows are kept.
inline constexpr ReadAheadShape kInodeTableReadAhead{32, 8};

// Reads one block into `out` (1024 bytes), zeroed first so that a failed read
// looks like zeros. Returns whether ReadSectors reported success.
bool ReadBlock(DriveTable& drives, const VolumeInfo& volume, std::uint32_t block,
               std::span<std::byte> out);

// Reads and decodes inode `n` (n >= 1) of the volume: one sector, zeroed
// before the read, through `readAhead` when given (aimed at the inode
// table, see InodeTableSectors). Inode 0 decodes as all zeros.
[[nodiscard]] Inode ReadInodeRecord(DriveTable& drives, const VolumeInfo& volume, std::uint32_t n,
                                    ReadAheadPath* readAhead = nullptr);

// Time stamp, size and kind of inode `n`. Numbers below 3 give zeros and
// kind kFile without reading. Directory: the mode test holds. File: its first
// block lies below the drive's end. Out of range: otherwise.
[[nodiscard]] InodeEntry ReadInode(DriveTable& drives, const VolumeInfo& volume, std::uint32_t n,
                                   ReadAheadPath* readAhead = nullptr);

// The sectors the volume's inode table spans, as far as the volume holds
// them: [first, end).
struct SectorRange {
  std::uint64_t first = 0;
  std::uint64_t end = 0;
};
[[nodiscard]] SectorRange InodeTableSectors(const VolumeInfo& volume);

// The kind rule alone, for an inode already decoded.
[[nodiscard]] EntryKind ClassifyInode(const Inode& inode, const VolumeInfo& volume,
                                      std::uint64_t driveSectors);

}  // namespace tolvar
