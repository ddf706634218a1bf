#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "base/little_endian.hpp"

#include "volumes/volume_table.hpp"

namespace tolvar {

inline constexpr std::uint32_t kHtfsMagic = 0xA060492A;
inline constexpr std::uint32_t kEafsMagic = 0xFD187E21;
// Candidates larger than this many sectors (80 GiB) are not taken.
inline constexpr std::uint32_t kMaxVolumeSectors = 0xA000000;

enum class ProbeResult { kNone, kDuplicate, kRejected, kAccepted };

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
  return magic == kHtfsMagic || magic == kEafsMagic;
}

// Reads the signature words of a 512-byte sector. An HTFS magic counts only
// when the words at 0 and 244 are both non-zero; an EAFS magic needs nothing
// else. Anything shorter than a sector is never a candidate.
[[nodiscard]] std::optional<SuperblockCandidate> ClassifySuperblock(
    std::span<const std::byte> sector);

// Tests the sector at absolute sector `sector` and, when it holds a new file
// system of an acceptable size, appends it to `table`. Sector arithmetic
// wraps at 32 bits. A full table rejects.
[[nodiscard]] ProbeResult ProbeSuperblockSector(VolumeTable& table,
                                                std::span<const std::byte> bytes,
                                                std::uint32_t sector);

}  // namespace tolvar
