#pragma once

#include <cstddef>
#include <cstdint>
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
// Candidates larger than this many sectors (80 GiB) are not taken.
inline constexpr std::uint32_t kMaxVolumeSectors = 0xA000000;

enum class ProbeResult { kNone, kDuplicate, kRejected, kAccepted };

// The superblock fields the readers look at (the second sector of a volume):
// the one decoder of this structure.
struct Superblock {
  FsType type = FsType::kNone;  // from the signature alone
  std::uint32_t signature = 0;         // byte 504
  std::uint32_t sizeBlocks = 0;        // byte 4: size in 1024-byte blocks
  std::uint32_t htfsWord0 = 0;         // byte 0, HTFS: non-zero
  std::uint32_t htfsWord244 = 0;       // byte 244, HTFS: non-zero
  std::uint32_t inodeTableBlocks = 0;  // byte 248, HTFS
  std::uint16_t freeCount = 0;         // byte 8; 0xFFFF marks AFS
};
// `sector` must hold at least 512 bytes; shorter input yields type kNone.
[[nodiscard]] Superblock DecodeSuperblock(std::span<const std::byte> sector);
// The signature matches and, for HTFS, both words that must be non-zero are.
[[nodiscard]] bool IsPlausibleSuperblock(const Superblock& superblock);
// "HTFS Partition - 1" and so on: the name of the table's entry `number`
// (counted from 1).
[[nodiscard]] std::string VolumeName(FsType type, std::uint32_t number);

// What one sector says about a superblock in it, before any table lookup.
struct SuperblockCandidate {
  FsType fsType = FsType::kNone;
  std::uint32_t sizeBlocks = 0;        // word 4: size in 1024-byte blocks
  std::uint32_t inodeTableBlocks = 0;  // word 248, HTFS only
};

// Whether the sector carries either magic at byte 504: the cheap first test
// that the scans make of every sector before the full probe.
[[nodiscard]] inline bool HasSuperblockMagic(std::span<const std::byte> sector) {
  if (sector.size() < 512) return false;
  const std::uint32_t magic = le::Read32(sector, 504);
  return magic == kHtfsMagic || magic == kEafsMagic || magic == kAfsMagic;
}

// Reads the signature words of a 512-byte sector. An HTFS magic counts only
// when the words at 0 and 244 are both non-zero; an EAFS magic needs nothing
// else; an AFS magic counts only with the free count 0xFFFF. Anything
// shorter than a sector is never a candidate.
[[nodiscard]] std::optional<SuperblockCandidate> ClassifySuperblock(
    std::span<const std::byte> sector);

// Tests the sector at absolute sector `sector` and, when it holds a new file
// system of an acceptable size, appends it to `table`. Sector arithmetic
// wraps at 32 bits. A full table rejects.
[[nodiscard]] ProbeResult ProbeSuperblockSector(VolumeTable& table,
                                                std::span<const std::byte> bytes,
                                                std::uint32_t sector);

}  // namespace tolvar
