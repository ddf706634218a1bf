#include "volumes/superblock_probe.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "base/little_endian.hpp"

namespace tolvar {

namespace {

constexpr std::size_t kSectorBytes = 512;
constexpr std::size_t kMagicOffset = 504;
constexpr std::size_t kSizeOffset = 4;
constexpr std::size_t kHtfsCheckOffset = 244;
constexpr std::size_t kHtfsInodeBlocksOffset = 248;

}  // namespace

std::optional<SuperblockCandidate> ClassifySuperblock(std::span<const std::byte> sector) {
  if (sector.size() < kSectorBytes) return std::nullopt;
  const std::uint32_t magic = le::Read32(sector, kMagicOffset);
  if (magic != kHtfsMagic && magic != kEafsMagic) return std::nullopt;
  SuperblockCandidate candidate;
  candidate.sizeBlocks = le::Read32(sector, kSizeOffset);
  if (magic == kHtfsMagic) {
    if (le::Read32(sector, 0) == 0 || le::Read32(sector, kHtfsCheckOffset) == 0) {
      return std::nullopt;
    }
    candidate.fsType = FsType::kHtfs;
    candidate.inodeTableBlocks = le::Read32(sector, kHtfsInodeBlocksOffset);
    return candidate;
  }
  candidate.fsType = FsType::kEafs;
  return candidate;
}

ProbeResult ProbeSuperblockSector(VolumeTable& table, std::span<const std::byte> bytes, std::uint32_t sector) {
  const auto candidate = ClassifySuperblock(bytes);
  if (!candidate) return ProbeResult::kNone;

  // The file system begins one sector before its superblock.
  const std::uint32_t start = sector - 1u;
  const std::uint32_t count = std::min(table.volumeCount, VolumeTable::kCapacity);
  for (std::uint32_t i = 0; i < count; ++i) {
    if (table.entries[i].startSector == start) return ProbeResult::kDuplicate;
  }

  const std::uint32_t sizeSectors = candidate->sizeBlocks * 2u;
  if (sizeSectors > kMaxVolumeSectors) return ProbeResult::kRejected;
  if (table.volumeCount >= VolumeTable::kCapacity) return ProbeResult::kRejected;

  VolumeInfo& entry = table.entries[table.volumeCount];
  entry = VolumeInfo{};
  entry.fsType = candidate->fsType;
  entry.sectorsPerBlock = 2;
  entry.sizeSectors = sizeSectors;
  entry.startSector = start;
  entry.inodeTableSector = start + 2u * entry.sectorsPerBlock;
  // HTFS: 2 sectors per block, 4 inodes per sector. EAFS: 16 inodes per
  // sector over the whole size.
  entry.inodeCount = candidate->fsType == FsType::kHtfs ? candidate->inodeTableBlocks * 2u * 4u
                                                        : candidate->sizeBlocks * 2u * 16u;
  entry.volumeName = fmt::format("{} Partition - {}", FsTypeName(candidate->fsType),
                                 table.volumeCount + 1);
  ++table.volumeCount;
  return ProbeResult::kAccepted;
}

}  // namespace tolvar
