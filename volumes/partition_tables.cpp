#include "volumes/partition_tables.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <unordered_set>

#include "base/little_endian.hpp"

namespace tolvar {

namespace {

constexpr std::size_t kSectorBytes = 512;
constexpr std::size_t kEntryBytes = 16;

ChsAddress DecodeChs(std::span<const std::byte> bytes, std::size_t at) {
  const auto byte = [&](std::size_t i) { return std::to_integer<std::uint32_t>(bytes[at + i]); };
  ChsAddress chs;
  chs.head = byte(0);
  chs.sector = byte(1) & 0x3F;
  chs.cylinder = ((byte(1) & 0xC0) << 2) | byte(2);
  return chs;
}

// Sector numbers from the CHS triple with a given geometry.
std::uint64_t ChsToSector(const ChsAddress& chs, const ChsGeometry& g) {
  return (std::uint64_t{chs.cylinder} * g.heads + chs.head) * g.sectorsPerTrack + chs.sector - 1;
}

}  // namespace

std::optional<std::array<MbrEntry, kMbrEntries>> DecodeBootRecord(
    std::span<const std::byte> sector) {
  if (sector.size() < kSectorBytes) return std::nullopt;
  if (le::Read16(sector, 510) != kBootSignature) return std::nullopt;
  std::array<MbrEntry, kMbrEntries> entries{};
  for (std::size_t i = 0; i < kMbrEntries; ++i) {
    const std::size_t at = kMbrEntryOffset + kEntryBytes * i;
    MbrEntry& e = entries[i];
    e.active = std::to_integer<unsigned>(sector[at]) == 0x80;
    e.first = DecodeChs(sector, at + 1);
    e.type = std::to_integer<std::uint8_t>(sector[at + 4]);
    e.last = DecodeChs(sector, at + 5);
    e.startSector = le::Read32(sector, at + 8);
    e.sectorCount = le::Read32(sector, at + 12);
  }
  return entries;
}

PartitionList ReadPartitionList(const SectorReader& read, std::uint64_t totalSectors) {
  PartitionList list;
  std::array<std::byte, kSectorBytes> sector{};
  if (totalSectors == 0 || !read(0, sector)) return list;
  const auto mbr = DecodeBootRecord(sector);
  if (!mbr) return list;
  list.hasBootRecord = true;

  // Takes an entry whose start is `start`, cut at the disk's end; false
  // when nothing of it lies on the disk.
  auto take = [&](std::uint32_t number, const MbrEntry& e, std::uint64_t start) {
    if (start == 0 || start >= totalSectors) {
      list.problems.push_back(
          fmt::format("partition {}: starts at sector {}, outside the disk of {} sectors", number,
                      start, totalSectors));
      return false;
    }
    DiskPartition p{number, e.type, e.active, start, e.sectorCount, e.first, e.last};
    if (p.sectorCount > totalSectors - start) {
      list.problems.push_back(fmt::format(
          "partition {}: reaches past the disk's end (sectors {} to {} of {}); cut at the end",
          number, start, start + e.sectorCount - 1, totalSectors));
      p.sectorCount = totalSectors - start;
    }
    list.partitions.push_back(p);
    return true;
  };

  std::vector<DiskPartition> extended;
  for (std::size_t i = 0; i < kMbrEntries; ++i) {
    const MbrEntry& e = (*mbr)[i];
    if (e.IsEmpty()) continue;
    if (take(static_cast<std::uint32_t>(i + 1), e, e.startSector) && e.IsExtended()) {
      extended.push_back(list.partitions.back());
    }
  }

  // Each extended boot record holds one logical partition (relative to the
  // record) and a link to the next record (relative to the extended
  // partition's start).
  std::uint32_t logical = kMbrEntries + 1;
  std::unordered_set<std::uint64_t> visited;
  for (const DiskPartition& area : extended) {
    const std::uint64_t areaEnd = area.startSector + area.sectorCount;
    std::uint64_t record = area.startSector;
    while (true) {
      if (logical > kMbrEntries + kMaxLogicalPartitions) {
        list.problems.push_back(fmt::format(
            "extended partition {}: more than {} logical partitions; the rest are not read",
            area.number, kMaxLogicalPartitions));
        break;
      }
      if (!visited.insert(record).second) {
        list.problems.push_back(
            fmt::format("extended partition {}: the chain returns to sector {}; it ends there",
                        area.number, record));
        break;
      }
      if (!read(record, sector)) break;
      const auto ebr = DecodeBootRecord(sector);
      if (!ebr) {
        if (record != area.startSector) {
          list.problems.push_back(fmt::format(
              "extended partition {}: no boot record at sector {}; the chain ends there",
              area.number, record));
        }
        break;
      }
      const MbrEntry& part = (*ebr)[0];
      const MbrEntry& link = (*ebr)[1];
      if (!part.IsEmpty() && !part.IsExtended()) {
        const std::uint64_t start = record + part.startSector;
        if (start >= areaEnd || part.sectorCount > areaEnd - start) {
          list.problems.push_back(
              fmt::format("partition {}: sectors {} to {} lie outside extended partition {}",
                          logical, start, start + part.sectorCount - 1, area.number));
        } else {
          (void)take(logical, part, start);
        }
        ++logical;
      }
      if (link.IsEmpty() || !link.IsExtended()) break;
      const std::uint64_t next = area.startSector + link.startSector;
      if (next <= area.startSector || next >= areaEnd) {
        list.problems.push_back(fmt::format(
            "extended partition {}: the chain points to sector {}, outside it; it ends there",
            area.number, next));
        break;
      }
      record = next;
    }
  }
  return list;
}

std::optional<ChsGeometry> GeometryFromChs(const DiskPartition& partition) {
  const ChsAddress& last = partition.last;
  if (last.sector == 0) return std::nullopt;
  const ChsGeometry g{last.head + 1, last.sector};
  if (g.heads == 0 || g.sectorsPerTrack == 0) return std::nullopt;
  // The start address is exact unless the partition starts beyond what CHS
  // can address (cylinder 1023 and up), where tools write the cap instead.
  const ChsAddress& first = partition.first;
  if (first.cylinder < 1023) {
    if (first.sector == 0 || first.head >= g.heads || first.sector > g.sectorsPerTrack) {
      return std::nullopt;
    }
    if (ChsToSector(first, g) != partition.startSector) return std::nullopt;
  }
  // Likewise the end, when it is not capped.
  if (last.cylinder < 1023 &&
      ChsToSector(last, g) != partition.startSector + partition.sectorCount - 1) {
    // A partition cut short of its last cylinder still names the geometry
    // in its end address; accept it when the end lies within that cylinder.
    const std::uint64_t end = ChsToSector(last, g);
    const std::uint64_t actual = partition.startSector + partition.sectorCount - 1;
    if (end < actual || end - actual >= g.SectorsPerCylinder()) return std::nullopt;
  }
  return g;
}

std::optional<DivisionTable> DecodeDivisionTable(std::span<const std::byte> sector) {
  constexpr std::size_t kUsedBytes = 2 + 8 * kDivisionCount;
  if (sector.size() < kUsedBytes) return std::nullopt;
  if (le::Read16(sector, 0) != kDivisionTableMark) return std::nullopt;
  DivisionTable table;
  for (std::size_t i = 0; i < kDivisionCount; ++i) {
    table.entries[i].offsetKb = le::Read32(sector, 2 + 8 * i);
    table.entries[i].lengthKb = le::Read32(sector, 6 + 8 * i);
  }
  return table;
}

std::vector<DivisionProblem> CheckDivisionTable(const DivisionTable& table, std::uint64_t areaKb) {
  std::vector<DivisionProblem> problems;
  auto end = [](const DivisionEntry& e) { return std::uint64_t{e.offsetKb} + e.lengthKb; };
  for (std::size_t i = 0; i < kWholeAreaDivision; ++i) {
    const DivisionEntry& e = table.entries[i];
    if (!e.IsUsed()) continue;
    if (end(e) > areaKb) {
      problems.push_back({i, std::nullopt, true});
      continue;
    }
    for (std::size_t j = 0; j < i; ++j) {
      const DivisionEntry& other = table.entries[j];
      if (!other.IsUsed() || end(other) > areaKb) continue;
      if (e.offsetKb < end(other) && other.offsetKb < end(e)) problems.push_back({i, j, false});
    }
  }
  return problems;
}

std::optional<BadTrackTable> DecodeBadTrackTable(std::span<const std::byte> sector) {
  if (sector.size() < kSectorBytes) return std::nullopt;
  if (le::Read16(sector, 0) != kBadTrackTableMark) return std::nullopt;
  BadTrackTable table;
  std::size_t count = le::Read16(sector, 2);
  if (count > kMaxBadTracks) {
    count = kMaxBadTracks;
    table.countCut = true;
  }
  for (std::size_t i = 0; i < count; ++i) {
    table.tracks.emplace_back(le::Read32(sector, 4 + 8 * i), le::Read32(sector, 8 + 8 * i));
  }
  return table;
}

std::uint64_t DivisionBase(std::uint64_t partitionStart, std::uint32_t sectorsPerCylinder) {
  const std::uint64_t reservedEnd = partitionStart + kScoReservedSectors;
  if (sectorsPerCylinder == 0) return reservedEnd;
  return (reservedEnd + sectorsPerCylinder - 1) / sectorsPerCylinder * sectorsPerCylinder;
}

}  // namespace tolvar
