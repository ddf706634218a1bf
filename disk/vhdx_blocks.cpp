#include "disk/vhdx_blocks.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "disk/image_fields.hpp"

namespace tolvar {

namespace {

using Guid = std::array<unsigned char, 16>;
// GUIDs as stored (first three fields little-endian).
constexpr Guid kBatRegion = {0x66, 0x77, 0xc2, 0x2d, 0x23, 0xf6, 0x00, 0x42,
                             0x9d, 0x64, 0x11, 0x5e, 0x9b, 0xfd, 0x4a, 0x08};
constexpr Guid kMetadataRegion = {0x06, 0xa2, 0x7c, 0x8b, 0x90, 0x47, 0x9a, 0x4b,
                                  0xb8, 0xfe, 0x57, 0x5f, 0x05, 0x0f, 0x88, 0x6e};
constexpr Guid kFileParameters = {0x37, 0x67, 0xa1, 0xca, 0x36, 0xfa, 0x43, 0x4d,
                                  0xb3, 0xb6, 0x33, 0xf0, 0xaa, 0x44, 0xe7, 0x6b};
constexpr Guid kVirtualDiskSize = {0x24, 0x42, 0xa5, 0x2f, 0x1b, 0xcd, 0x76, 0x48,
                                   0xb2, 0x11, 0x5d, 0xbe, 0xd8, 0x3b, 0xf4, 0xb8};
constexpr Guid kLogicalSectorSize = {0x1d, 0xbf, 0x41, 0x81, 0x6f, 0xa9, 0x09, 0x47,
                                     0xba, 0x47, 0xf2, 0x33, 0xa8, 0xfa, 0xab, 0x5f};

constexpr std::uint64_t kRegionTableOffset = 192u << 10;
constexpr std::uint64_t kMiB = 1u << 20;
constexpr std::uint64_t kMaxVirtualSize = std::uint64_t{64} << 40;  // the format's limit

enum BlockState : std::uint64_t {
  kNotPresent = 0,
  kUndefined = 1,
  kZero = 2,
  kUnmapped = 3,
  kFullyPresent = 6,
  kPartiallyPresent = 7,
};

bool SameGuid(std::span<const std::byte> bytes, std::size_t at, const Guid& guid) {
  return std::memcmp(bytes.data() + at, guid.data(), guid.size()) == 0;
}

struct Region {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

}  // namespace

std::expected<VhdxBlockStates, std::string> ReadVhdxBlockStates(const SegmentReader& read,
                                                                std::uint64_t fileSize) {
  std::array<std::byte, 64u << 10> table{};
  if (!image::FitsInFile(kRegionTableOffset, table.size(), fileSize) ||
      !read(kRegionTableOffset, table) || std::memcmp(table.data(), "regi", 4) != 0) {
    return std::unexpected("its region table is missing");
  }
  const std::uint64_t entries = image::ReadLittleEndian(table, 8, 4);
  if (entries > 2047) return std::unexpected("its region table is damaged");
  std::optional<Region> bat;
  std::optional<Region> metadata;
  for (std::uint64_t i = 0; i < entries; ++i) {
    const std::size_t at = 16 + i * 32;
    const Region region{image::ReadLittleEndian(table, at + 16, 8),
                        image::ReadLittleEndian(table, at + 24, 4)};
    if (!image::FitsInFile(region.offset, region.length, fileSize)) {
      return std::unexpected("a region lies outside the file");
    }
    if (SameGuid(table, at, kBatRegion)) bat = region;
    if (SameGuid(table, at, kMetadataRegion)) metadata = region;
  }
  if (!bat || !metadata || metadata->length < 32 || metadata->length > 64 * kMiB) {
    return std::unexpected("its block table or metadata region is missing");
  }

  std::vector<std::byte> meta(metadata->length);
  if (!read(metadata->offset, meta) || std::memcmp(meta.data(), "metadata", 8) != 0) {
    return std::unexpected("its metadata cannot be read");
  }
  const std::uint64_t items = image::ReadLittleEndian(meta, 10, 2);
  std::uint64_t blockBytes = 0;
  bool hasParent = false;
  bool fixed = false;
  std::uint64_t virtualSize = 0;
  std::uint64_t sectorBytes = 0;
  for (std::uint64_t i = 0; i < items && 32 + (i + 1) * 32 <= meta.size(); ++i) {
    const std::size_t at = 32 + i * 32;
    const std::uint64_t offset = image::ReadLittleEndian(meta, at + 16, 4);
    const std::uint64_t length = image::ReadLittleEndian(meta, at + 20, 4);
    if (!image::FitsInFile(offset, length, meta.size())) continue;
    if (SameGuid(meta, at, kFileParameters) && length >= 8) {
      blockBytes = image::ReadLittleEndian(meta, offset, 4);
      const std::uint64_t flags = image::ReadLittleEndian(meta, offset + 4, 4);
      fixed = (flags & 1) != 0;
      hasParent = (flags & 2) != 0;
    } else if (SameGuid(meta, at, kVirtualDiskSize) && length >= 8) {
      virtualSize = image::ReadLittleEndian(meta, offset, 8);
    } else if (SameGuid(meta, at, kLogicalSectorSize) && length >= 4) {
      sectorBytes = image::ReadLittleEndian(meta, offset, 4);
    }
  }
  if (blockBytes < kMiB || blockBytes > 256 * kMiB || (blockBytes & (blockBytes - 1)) != 0 ||
      (sectorBytes != 512 && sectorBytes != 4096) || virtualSize == 0 ||
      virtualSize > kMaxVirtualSize) {
    return std::unexpected("its block size, sector size or disk size is not one the format allows");
  }
  // After every `chunkRatio` payload entries comes one sector-bitmap entry.
  const std::uint64_t chunkRatio = (std::uint64_t{1} << 23) * sectorBytes / blockBytes;
  const std::uint64_t blocks = (virtualSize + blockBytes - 1) / blockBytes;
  const std::uint64_t lastEntry = (blocks - 1) + (blocks - 1) / chunkRatio;
  if ((lastEntry + 1) * 8 > bat->length) return std::unexpected("its block table is too short");

  VhdxBlockStates states;
  states.blockBytes = blockBytes;
  states.unreadable.assign(blocks, false);
  std::vector<std::byte> chunk;
  constexpr std::uint64_t kEntriesPerRead = 1u << 16;
  for (std::uint64_t first = 0; first <= lastEntry; first += kEntriesPerRead) {
    const std::uint64_t count = std::min(kEntriesPerRead, lastEntry + 1 - first);
    chunk.resize(count * 8);
    if (!read(bat->offset + first * 8, chunk))
      return std::unexpected("its block table cannot be read");
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::uint64_t entryIndex = first + i;
      if ((entryIndex + 1) % (chunkRatio + 1) == 0) continue;  // a sector-bitmap entry
      const std::uint64_t block = entryIndex - entryIndex / (chunkRatio + 1);
      const std::uint64_t entry = image::ReadLittleEndian(chunk, i * 8, 8);
      const std::uint64_t state = entry & 7;
      const std::uint64_t offset = (entry >> 20) * kMiB;
      const std::uint64_t stored = std::min(blockBytes, virtualSize - block * blockBytes);
      bool bad = false;
      switch (state) {
        case kNotPresent:
          bad = fixed;
          break;
        case kZero:
          break;
        case kUnmapped:
          bad = fixed || hasParent;
          break;
        case kFullyPresent:
          bad = offset == 0 || !image::FitsInFile(offset, stored, fileSize);
          break;
        case kPartiallyPresent:
          bad = !hasParent || offset == 0 || !image::FitsInFile(offset, stored, fileSize);
          break;
        default:  // undefined and reserved states
          bad = true;
          break;
      }
      states.unreadable[block] = bad;
    }
  }
  return states;
}

}  // namespace tolvar
