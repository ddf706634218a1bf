#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tolvar {

// AFS volumes are read with the EAFS layout (names of up to 14 bytes only).
enum class FsType : std::uint16_t { kNone = 0, kEafs = 1, kHtfs = 2, kAfs = 3 };

// How discovery came to a volume.
enum class VolumeSource : std::uint8_t {
  kPartitionRecord,  // the record at sector 105
  kDivisionTable,    // an SCO partition's division table
  kSectorSearch,     // a search of a sector range
};

struct VolumeOrigin {
  VolumeSource source = VolumeSource::kSectorSearch;
  std::uint32_t partition = 0;  // kDivisionTable: the MBR partition's number
  std::uint32_t division = 0;   // kDivisionTable: 0 to 6
};

// "EAFS" for EAFS, "AFS" for AFS, "HTFS" otherwise.
[[nodiscard]] constexpr std::string_view FsTypeName(FsType type) {
  if (type == FsType::kEafs) return "EAFS";
  return type == FsType::kAfs ? "AFS" : "HTFS";
}

// One file system found on the current drive. Sector numbers are 64-bit, as
// the drive's capacity is: a volume may lie past sector 2^32 of a large disk.
struct VolumeInfo {
  std::string volumeName;  // "HTFS Partition - 1", ...
  std::uint32_t sizeSectors = 0;
  std::uint64_t startSector = 0;  // the superblock's sector minus 1
  std::uint32_t sectorsPerBlock = 2;
  std::uint64_t inodeTableSector = 0;  // startSector + 2 x sectorsPerBlock
  std::uint32_t inodeCount = 0;
  FsType fsType = FsType::kNone;
  VolumeOrigin origin;
  // What the reader had to assume because words of the superblock are
  // implausible (the size bounded by the next volume, say), one line each;
  // empty for a sound superblock.
  std::vector<std::string> assumptions;
};

class VolumeTable {
 public:
  static constexpr std::uint32_t kCapacity = 100;

  std::array<VolumeInfo, kCapacity> entries{};
  std::uint32_t volumeCount = 0;
  std::uint16_t currentVolume = 0;
  // What the last discovery run found wrong on the way, one line each (a
  // damaged partition or division table, a division without its volume).
  std::vector<std::string> warnings;
  // Sectors whose superblock signature the last discovery passed over, each
  // with the reason (inside a volume already found, no root folder behind
  // implausible words, ...).
  std::vector<std::string> rejected;

  [[nodiscard]] const VolumeInfo& Current() const { return entries.at(currentVolume); }
};

}  // namespace tolvar
