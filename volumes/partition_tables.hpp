#pragma once

// The partition information in front of SCO volumes: the disk's master boot
// record with its extended-partition chains, and inside each SCO partition
// the division table and the bad-track table. The decoders work on byte
// spans and do no I/O; the chain walk reads through a callback.
// docs/format/partitions.md describes every field.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tolvar {

inline constexpr std::uint16_t kBootSignature = 0xAA55;
inline constexpr std::size_t kMbrEntryOffset = 446;
inline constexpr std::size_t kMbrEntries = 4;

inline constexpr std::uint8_t kScoPartitionType = 0x63;  // SCO / System V
inline constexpr std::uint8_t kXenixRootPartitionType = 0x02;

// Sectors at the start of an SCO partition before its divisions may begin:
// the boot sectors, the division table (42) and the bad-track table (44).
inline constexpr std::uint32_t kScoReservedSectors = 52;
inline constexpr std::uint32_t kDivisionTableSector = 42;  // within the partition
inline constexpr std::uint32_t kBadTrackTableSector = 44;  // within the partition
inline constexpr std::uint16_t kDivisionTableMark = 0x1234;
inline constexpr std::uint16_t kBadTrackTableMark = 0x4321;
inline constexpr std::size_t kDivisionCount = 8;  // seven divisions and the whole area (7)
inline constexpr std::size_t kWholeAreaDivision = 7;

// Logical partitions followed through extended chains at most; a chain that
// loops or runs longer is cut there.
inline constexpr std::size_t kMaxLogicalPartitions = 60;

// A cylinder/head/sector address as the MBR stores it.
struct ChsAddress {
  std::uint32_t cylinder = 0;  // 10 bits
  std::uint32_t head = 0;      // 8 bits
  std::uint32_t sector = 0;    // 6 bits, counted from 1
};

struct MbrEntry {
  bool active = false;
  std::uint8_t type = 0;
  ChsAddress first;
  ChsAddress last;
  std::uint32_t startSector = 0;  // relative to the record holding it (primaries: absolute)
  std::uint32_t sectorCount = 0;

  [[nodiscard]] bool IsEmpty() const { return type == 0 || sectorCount == 0; }
  [[nodiscard]] bool IsExtended() const { return type == 0x05 || type == 0x0F || type == 0x85; }
  [[nodiscard]] bool IsSco() const {
    return type == kScoPartitionType || type == kXenixRootPartitionType;
  }
};

// The four entries of a boot record (the MBR or an extended boot record);
// nothing when the sector is short or lacks the 0xAA55 signature.
[[nodiscard]] std::optional<std::array<MbrEntry, kMbrEntries>> DecodeBootRecord(
    std::span<const std::byte> sector);

// One partition of the disk with absolute sector numbers, checked against
// the disk's end.
struct DiskPartition {
  std::uint32_t number = 0;  // 1 to 4 primary, 5 on logical, in chain order
  std::uint8_t type = 0;
  bool active = false;
  std::uint64_t startSector = 0;
  std::uint64_t sectorCount = 0;  // cut at the disk's end when the entry reaches past it
  ChsAddress first;
  ChsAddress last;
};

struct PartitionList {
  bool hasBootRecord = false;             // sector 0 carries the 0xAA55 signature
  std::vector<DiskPartition> partitions;  // primaries in slot order, then logical ones
  std::vector<std::string> problems;      // entries passed over or cut, one line each
};

// Reads out.size() / 512 sectors from absolute sector `sector`; false when
// they cannot be read.
using SectorReader = std::function<bool(std::uint64_t sector, std::span<std::byte> out)>;

// Lists the partitions of a disk of `totalSectors` sectors from its MBR
// and the chains of its extended partitions. Every extended boot record must
// lie inside its extended partition; a chain that returns to a record already
// read, leaves the disk or passes kMaxLogicalPartitions ends there.
[[nodiscard]] PartitionList ReadPartitionList(const SectorReader& read, std::uint64_t totalSectors);

// Heads and sectors per track that a partition entry's CHS fields imply.
struct ChsGeometry {
  std::uint32_t heads = 0;
  std::uint32_t sectorsPerTrack = 0;
  [[nodiscard]] std::uint32_t SectorsPerCylinder() const { return heads * sectorsPerTrack; }
};

// The geometry a partition's CHS fields imply: the end address of a
// partition that ends on a cylinder boundary names the last head and the
// last sector of a track. Accepted only when the start address, where it is
// not capped at cylinder 1023, maps back to the start sector with it.
[[nodiscard]] std::optional<ChsGeometry> GeometryFromChs(const DiskPartition& partition);

struct DivisionEntry {
  std::uint32_t offsetKb = 0;  // from the division base, in 1024-byte units
  std::uint32_t lengthKb = 0;
  [[nodiscard]] bool IsUsed() const { return lengthKb != 0; }
};

struct DivisionTable {
  std::array<DivisionEntry, kDivisionCount> entries{};
};

// The division table at the partition's sector 42: mark 0x1234, then eight
// (offset, length) pairs. Nothing when the mark is missing or the sector is
// short.
[[nodiscard]] std::optional<DivisionTable> DecodeDivisionTable(std::span<const std::byte> sector);

// What is wrong with a decoded table for a partition whose divisions may
// cover `areaKb` KiB from the base: divisions 0 to 6 that reach past the area
// or overlap one another (the whole-area entry 7 overlaps them by design).
// Each problem names the divisions; the result is empty for a sound table.
struct DivisionProblem {
  std::size_t division = 0;
  std::optional<std::size_t> overlaps;  // the other division, for an overlap
  bool pastEnd = false;
};
[[nodiscard]] std::vector<DivisionProblem> CheckDivisionTable(const DivisionTable& table,
                                                              std::uint64_t areaKb);

// The bad-track table at the partition's sector 44: mark 0x4321, a u16
// count of entries, then (bad track, replacement track) pairs of u32.
inline constexpr std::size_t kMaxBadTracks = (512 - 4) / 8;
struct BadTrackTable {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> tracks;  // (bad, replacement)
  bool countCut = false;  // the count named more entries than a sector holds
};
[[nodiscard]] std::optional<BadTrackTable> DecodeBadTrackTable(std::span<const std::byte> sector);

// The division base: the first cylinder boundary at or after the end of the
// partition's reserved sectors. With no geometry it is the end of the
// reserved sectors itself.
[[nodiscard]] std::uint64_t DivisionBase(std::uint64_t partitionStart,
                                         std::uint32_t sectorsPerCylinder);

}  // namespace tolvar
