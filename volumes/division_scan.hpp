#pragma once

// Finding volumes the way SCO lays a disk out: the MBR's SCO partitions,
// each one's division table, and each division's superblock at the
// division base. The base is not on the disk, so it is worked out from the
// geometry and confirmed by the superblock; a bounded window past the
// reserved sectors covers bases rounded some other way.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "volumes/partition_tables.hpp"

namespace tolvar {

// Sectors past a partition's reserved sectors searched for a division whose
// superblock is not at any computed base: one cylinder of the largest CHS
// geometry (256 heads of 63 sectors).
inline constexpr std::uint32_t kBaseSearchWindow = 256 * 63;

struct DivisionVolume {
  std::uint32_t partition = 0;  // the partition's number (1 to 4, 5 on logical)
  std::uint32_t division = 0;   // 0 to 6
  std::uint64_t superblockSector = 0;
  std::uint64_t divisionEnd = 0;  // the first sector past the division (and the partition)
  std::array<std::byte, 512> superblock{};
  bool fromWindow = false;  // found by the window search, not at a computed base
  // The superblock's words do not fit the division (its size, or HTFS words
  // that must be non-zero), but inode 2 behind it is the root folder.
  bool wordsImplausible = false;
  // Set when the table's length for the division is 0 or shorter than the
  // file system: what was assumed instead, for the volume's warnings.
  std::string lengthWarning;
};

struct DivisionScanResult {
  bool sawScoPartition = false;         // the MBR names at least one SCO partition
  std::vector<DivisionVolume> volumes;  // in the order found: partition, then division
  std::vector<std::string> warnings;    // one line each
  bool stopped = false;
};

struct DivisionScanInput {
  SectorReader read;
  std::uint64_t totalSectors = 0;
  // The drive's reported heads and sectors per track (0: none), one of the
  // geometries the base is tried with.
  std::uint32_t driveHeads = 0;
  std::uint32_t driveSectorsPerTrack = 0;
  std::uint32_t sectorsPerRead = 60;  // runs of the window search, 1 to 100
  std::function<bool()> stopRequested;
  // Called before each division is looked at, with the partition and
  // division numbers.
  std::function<void(std::uint32_t partition, std::uint32_t division)> onDivision;
};

// Reads the partition list, then for each SCO partition its division table
// and bad-track table, and finds the superblock of every used division 0 to
// 6. A division's volume is taken when its superblock's size fits the
// division, or, with implausible words (a size of 0 or past the division,
// HTFS words at 0 or 244 that are 0), when its inode 2 is the root folder. Problems (no table,
// entries past the partition, overlaps, a division without its file system) become warnings.
[[nodiscard]] DivisionScanResult ScanDivisionTables(const DivisionScanInput& input);

// Whether the disk has an SCO partition with a division table: enough for
// "Use Partition Table" to run when the record at sector 105 is missing.
[[nodiscard]] bool HasDivisionTable(const SectorReader& read, std::uint64_t totalSectors);

}  // namespace tolvar
