#include "disk/qcow_tables.hpp"

#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "disk/image_fields.hpp"

namespace tolvar {

namespace {

// Host offsets of tables and clusters in L1/L2 entries (bits 9 to 55).
constexpr std::uint64_t kOffsetMask = 0x00ff'ffff'ffff'fe00ull;
constexpr std::uint64_t kCompressedBit = 1ull << 62;
// Incompatible features a plain reader cannot honour: an external data
// file, a compression other than zlib, extended L2 entries, and any bit not
// yet defined. The dirty and corrupt bits only concern the refcounts.
constexpr std::uint64_t kUnsupportedFeatures = ~std::uint64_t{0x3};

std::string CheckL2(const SegmentReader& read, std::uint64_t fileSize, std::uint64_t tableOffset,
                    std::uint64_t clusterBits, std::uint64_t entries) {
  std::vector<std::byte> table(entries * 8);
  if (!read(tableOffset, table)) return "one of its L2 tables cannot be read";
  const std::uint64_t clusterSize = std::uint64_t{1} << clusterBits;
  // Compressed entries keep the host offset in the low bits; the bits above
  // count additional 512-byte sectors.
  const std::uint64_t compressedOffsetBits = 62 - (clusterBits - 8);
  const std::uint64_t compressedOffsetMask = (std::uint64_t{1} << compressedOffsetBits) - 1;
  for (std::uint64_t i = 0; i < entries; ++i) {
    const std::uint64_t entry = image::ReadBigEndian(table, i * 8, 8);
    if ((entry & kCompressedBit) != 0) {
      const std::uint64_t host = entry & compressedOffsetMask;
      const std::uint64_t sectors =
          ((entry & ~kCompressedBit & ~(1ull << 63)) >> compressedOffsetBits) + 1;
      if (host >= fileSize || sectors * 512 > 2 * clusterSize) {
        return "a compressed cluster lies past the end of the file";
      }
      continue;
    }
    const std::uint64_t host = entry & kOffsetMask;
    if (host == 0) continue;  // unallocated, or all zeros
    if ((host & (clusterSize - 1)) != 0 || !image::FitsInFile(host, clusterSize, fileSize)) {
      return "a data cluster lies outside the file";
    }
  }
  return {};
}

std::string CheckVersion1(const SegmentReader& read, std::uint64_t fileSize) {
  std::array<std::byte, 48> header{};
  if (fileSize < header.size() || !read(0, header)) return "its header is cut short";
  const std::uint64_t backingOffset = image::ReadBigEndian(header, 8, 8);
  const std::uint64_t backingSize = image::ReadBigEndian(header, 16, 4);
  const std::uint64_t size = image::ReadBigEndian(header, 24, 8);
  const std::uint64_t clusterBits = image::ReadBigEndian(header, 32, 1);
  const std::uint64_t l2Bits = image::ReadBigEndian(header, 33, 1);
  const std::uint64_t l1Offset = image::ReadBigEndian(header, 40, 8);
  if (clusterBits < 9 || clusterBits > 16 || l2Bits < 6 || l2Bits > 13) {
    return "its cluster size is not one a qcow image can have";
  }
  if (backingSize != 0 && (backingSize > 1023 || !image::FitsInFile(backingOffset, backingSize, fileSize))) {
    return "its backing file name lies outside the file";
  }
  const std::uint64_t perL1 = std::uint64_t{1} << (clusterBits + l2Bits);
  if (size > (std::uint64_t{1} << 56)) return "its disk size is impossibly large";
  const std::uint64_t l1Entries = (size + perL1 - 1) / perL1;
  if (!image::FitsInFile(l1Offset, l1Entries * 8, fileSize))
    return "its L1 table lies past the end of the file";
  std::vector<std::byte> l1(l1Entries * 8);
  if (!read(l1Offset, l1)) return "its L1 table cannot be read";
  const std::uint64_t l2Entries = std::uint64_t{1} << l2Bits;
  for (std::uint64_t i = 0; i < l1Entries; ++i) {
    const std::uint64_t l2 = image::ReadBigEndian(l1, i * 8, 8);
    if (l2 == 0) continue;
    if (!image::FitsInFile(l2, l2Entries * 8, fileSize))
      return "one of its L2 tables lies past the end of the file";
    std::vector<std::byte> table(l2Entries * 8);
    if (!read(l2, table)) return "one of its L2 tables cannot be read";
    for (std::uint64_t j = 0; j < l2Entries; ++j) {
      const std::uint64_t entry = image::ReadBigEndian(table, j * 8, 8);
      const std::uint64_t host =
          entry & ~(1ull << 63) & ((std::uint64_t{1} << (63 - clusterBits)) - 1);
      if (host != 0 && host >= fileSize) return "a data cluster lies outside the file";
    }
  }
  return {};
}

}  // namespace

std::string CheckQcowTables(const SegmentReader& read, std::uint64_t fileSize) {
  std::array<std::byte, 104> header{};
  if (fileSize < 72 || !read(0, std::span(header).first(72))) return "its header is cut short";
  if (image::ReadBigEndian(header, 0, 4) != 0x514649fbu) return "its header has no qcow signature";
  const std::uint64_t version = image::ReadBigEndian(header, 4, 4);
  if (version == 1) return CheckVersion1(read, fileSize);
  if (version != 2 && version != 3) return "its version is not one this program reads";

  const std::uint64_t backingOffset = image::ReadBigEndian(header, 8, 8);
  const std::uint64_t backingSize = image::ReadBigEndian(header, 16, 4);
  const std::uint64_t clusterBits = image::ReadBigEndian(header, 20, 4);
  const std::uint64_t size = image::ReadBigEndian(header, 24, 8);
  const std::uint64_t cryptMethod = image::ReadBigEndian(header, 32, 4);
  const std::uint64_t l1Size = image::ReadBigEndian(header, 36, 4);
  const std::uint64_t l1Offset = image::ReadBigEndian(header, 40, 8);
  const std::uint64_t refcountOffset = image::ReadBigEndian(header, 48, 8);
  const std::uint64_t refcountClusters = image::ReadBigEndian(header, 56, 4);
  const std::uint64_t snapshots = image::ReadBigEndian(header, 60, 4);
  const std::uint64_t snapshotsOffset = image::ReadBigEndian(header, 64, 8);

  if (clusterBits < 9 || clusterBits > 21)
    return "its cluster size is not one a qcow image can have";
  const std::uint64_t clusterSize = std::uint64_t{1} << clusterBits;
  if (version == 3) {
    if (fileSize < header.size() || !read(0, header)) return "its header is cut short";
    const std::uint64_t incompatible = image::ReadBigEndian(header, 72, 8);
    const std::uint64_t refcountOrder = image::ReadBigEndian(header, 96, 4);
    const std::uint64_t headerLength = image::ReadBigEndian(header, 100, 4);
    if (headerLength < 104 || headerLength > clusterSize || headerLength % 8 != 0) {
      return "its header length is wrong";
    }
    if ((incompatible & kUnsupportedFeatures) != 0) {
      return "it uses features this program does not read (an external data file, zstd "
             "compression or extended L2 entries)";
    }
    if (refcountOrder > 6) return "its refcount width is wrong";
  }
  if (cryptMethod > 2) return "its encryption method is unknown";
  if (backingOffset != 0 || backingSize != 0) {
    if (backingSize == 0 || backingSize > 1023 || !image::FitsInFile(backingOffset, backingSize, fileSize) ||
        backingOffset + backingSize > clusterSize) {
      return "its backing file name lies outside its header";
    }
  }
  // Offsets are 56-bit; a disk beyond that cannot be addressed.
  if (size > (std::uint64_t{1} << 56)) return "its disk size is impossibly large";
  const std::uint64_t l2Entries = clusterSize / 8;
  const std::uint64_t perL1 = clusterSize * l2Entries;
  const std::uint64_t neededL1 = (size + perL1 - 1) / perL1;
  if (l1Size < neededL1 || l1Size > (32u << 20) / 8)
    return "its L1 table size does not fit its disk size";
  if ((l1Offset & (clusterSize - 1)) != 0 || !image::FitsInFile(l1Offset, l1Size * 8, fileSize)) {
    return "its L1 table lies past the end of the file";
  }
  if ((refcountOffset & (clusterSize - 1)) != 0 ||
      !image::FitsInFile(refcountOffset, refcountClusters * clusterSize, fileSize)) {
    return "its refcount table lies past the end of the file";
  }
  if (snapshots != 0 && (snapshotsOffset & (clusterSize - 1)) != 0)
    return "its snapshot table is misplaced";
  if (snapshots != 0 && !image::FitsInFile(snapshotsOffset, 40, fileSize)) {
    return "its snapshot table lies past the end of the file";
  }

  std::vector<std::byte> l1(l1Size * 8);
  if (!read(l1Offset, l1)) return "its L1 table cannot be read";
  for (std::uint64_t i = 0; i < l1Size; ++i) {
    const std::uint64_t l2 = image::ReadBigEndian(l1, i * 8, 8) & kOffsetMask;
    if (l2 == 0) continue;
    if ((l2 & (clusterSize - 1)) != 0 || !image::FitsInFile(l2, clusterSize, fileSize)) {
      return "one of its L2 tables lies past the end of the file";
    }
    if (auto wrong = CheckL2(read, fileSize, l2, clusterBits, l2Entries); !wrong.empty())
      return wrong;
  }
  return {};
}

}  // namespace tolvar
