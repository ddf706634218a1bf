#pragma once

// The text descriptor of a VMDK image (a file of its own, or embedded in a
// monolithic sparse extent) and the header fields of a sparse extent,
// decoded by our own code from bytes already read, so that every file name
// the image records is checked before any library opens anything.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tolvar {

struct VmdkExtentLine {
  enum class Type { kSparse, kFlat, kZero, kVmfs, kVmfsSparse, kOther };
  Type type = Type::kOther;
  std::string typeName;       // as written: SPARSE, FLAT, ZERO, VMFS...
  std::uint64_t sectors = 0;  // the extent's share of the disk
  std::string fileName;       // empty for a ZERO extent
  std::uint64_t offset = 0;   // FLAT: the first sector used in its file
};

struct VmdkDescriptor {
  std::string createType;
  // Set when parentCID is not ffffffff: the disk has a parent, which
  // parentFileNameHint names.
  bool hasParent = false;
  std::optional<std::string> parentFileNameHint;
  std::vector<VmdkExtentLine> extents;
  std::uint64_t totalSectors = 0;
};

// Descriptors larger than this are not read; writers keep them to a few KiB.
inline constexpr std::size_t kMaxVmdkDescriptorBytes = 1u << 20;

// Decodes a descriptor text (up to its first NUL byte). What is wrong, as
// a fragment without the file's name, when it is no descriptor, has no
// extent, lists an extent line it cannot read, or an extent too large.
[[nodiscard]] std::expected<VmdkDescriptor, std::string> ParseVmdkDescriptor(
    std::span<const std::byte> text);

// The size-setting fields of a sparse extent's header ("KDMV").
struct VmdkSparseHeader {
  std::uint64_t capacitySectors = 0;
  std::uint64_t grainSectors = 0;
  std::uint64_t descriptorSector = 0;  // 0: no embedded descriptor
  std::uint64_t descriptorSectors = 0;
  std::uint64_t tableEntries = 0;  // grain-table entries per table
  std::uint64_t directorySector = 0;
  bool compressed = false;
  bool directoryAtEnd = false;  // stream-optimized: the footer holds the real one
};

inline constexpr std::size_t kVmdkSparseHeaderBytes = 512;

// Decodes the first 512 bytes of a sparse extent and checks its sizes
// against what the format allows and against the file's size: a grain of a
// power of two sectors up to 1 MiB, grain tables of a power of two entries
// from 128 to 4096, a descriptor and a grain directory inside the file, and
// a grain directory no larger than the file could hold. What is wrong, as
// a fragment without the file's name, otherwise.
[[nodiscard]] std::expected<VmdkSparseHeader, std::string> ParseVmdkSparseHeader(
    std::span<const std::byte> header, std::uint64_t fileSize);

}  // namespace tolvar
