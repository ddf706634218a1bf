#include "volumes/superblock_probe.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "base/little_endian.hpp"

namespace tolvar {

namespace {

constexpr std::size_t kSectorBytes = 512;
constexpr std::size_t kMagicOffset = 504;
constexpr std::size_t kSizeOffset = 4;
constexpr std::size_t kFreeCountOffset = 8;
constexpr std::size_t kHtfsCheckOffset = 244;
constexpr std::size_t kHtfsInodeBlocksOffset = 248;

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
  } else if (sb.signature == kAfsMagic && sb.freeCount == kAfsFreeCountMark) {
    // AFS shares the EAFS layout; without the free-count mark the signature is not a volume.
    sb.type = FsType::kAfs;
  }
  return sb;
}

bool IsPlausibleSuperblock(const Superblock& superblock) {
  switch (superblock.type) {
    case FsType::kEafs:
    case FsType::kAfs:
      return true;
    case FsType::kHtfs:
      return superblock.htfsWord0 != 0 && superblock.htfsWord244 != 0;
    case FsType::kNone:
      break;
  }
  return false;
}

std::optional<SuperblockCandidate> ClassifySuperblock(std::span<const std::byte> sector) {
  const Superblock sb = DecodeSuperblock(sector);
  if (!IsPlausibleSuperblock(sb)) return std::nullopt;
  SuperblockCandidate candidate;
  candidate.fsType = sb.type;
  candidate.sizeBlocks = sb.sizeBlocks;
  if (sb.type == FsType::kHtfs) candidate.inodeTableBlocks = sb.inodeTableBlocks;
  return candidate;
}

ProbeResult ProbeSuperblockSector(VolumeTable& table, std::span<const std::byte> bytes,
                                  std::uint32_t sector) {
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
  // HTFS: 2 sectors per block, 4 inodes per sector. EAFS and AFS: 16
  // inodes per sector over the whole size.
  entry.inodeCount = candidate->fsType == FsType::kHtfs ? candidate->inodeTableBlocks * 2u * 4u
                                                        : candidate->sizeBlocks * 2u * 16u;
  entry.volumeName = VolumeName(candidate->fsType, table.volumeCount + 1);
  ++table.volumeCount;
  return ProbeResult::kAccepted;
}

}  // namespace tolvar
