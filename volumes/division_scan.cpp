#include "volumes/division_scan.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <vector>

#include "volumes/superblock_probe.hpp"

namespace tolvar {

namespace {

constexpr std::size_t kSectorBytes = 512;
constexpr std::uint32_t kMaxRun = 100;
// Geometries a disk may have been partitioned with, tried after the one
// the MBR's CHS fields imply and the drive's own.
constexpr std::uint32_t kCommonCylinders[] = {255 * 63, 16 * 63, 64 * 32};

// An entry with a length is in use; one with an offset but no length may
// still hold a file system (a length lost to damage), so it is looked at too.
bool Listed(const DivisionEntry& e) { return e.IsUsed() || e.offsetKb != 0; }

struct ScoArea {
  const DiskPartition* partition = nullptr;
  std::uint64_t end = 0;  // first sector past the partition
  DivisionTable table;
  std::vector<std::uint64_t> bases;  // candidates, most likely first
};

class Scanner {
 public:
  explicit Scanner(const DivisionScanInput& input) : in_(input) {}

  DivisionScanResult Run() {
    const PartitionList list = ReadPartitionList(in_.read, in_.totalSectors);
    for (const std::string& problem : list.problems) result_.warnings.push_back(problem);
    for (const DiskPartition& partition : list.partitions) {
      if (partition.type != kScoPartitionType && partition.type != kXenixRootPartitionType) {
        continue;
      }
      result_.sawScoPartition = true;
      if (Stopped()) break;
      ScanPartition(partition);
    }
    return std::move(result_);
  }

 private:
  bool Stopped() {
    if (!result_.stopped && in_.stopRequested && in_.stopRequested()) result_.stopped = true;
    return result_.stopped;
  }

  bool ReadOne(std::uint64_t sector, std::span<std::byte> out) {
    return sector < in_.totalSectors && in_.read(sector, out);
  }

  void Warn(std::string text) { result_.warnings.push_back(std::move(text)); }

  void ScanPartition(const DiskPartition& partition) {
    ScoArea area;
    area.partition = &partition;
    area.end = partition.startSector + partition.sectorCount;
    const std::uint32_t n = partition.number;
    if (partition.sectorCount <= kScoReservedSectors) {
      Warn(fmt::format("partition {}: {} sectors are too few for an SCO partition", n,
                       partition.sectorCount));
      return;
    }
    std::array<std::byte, kSectorBytes> sector{};
    const std::uint64_t tableSector = partition.startSector + kDivisionTableSector;
    const auto table = ReadOne(tableSector, sector) ? DecodeDivisionTable(sector) : std::nullopt;
    if (!table) {
      Warn(fmt::format("partition {} (type 0x{:02X}): no division table at sector {}", n,
                       partition.type, tableSector));
      return;
    }
    area.table = *table;
    const std::uint64_t badTrackSector = partition.startSector + kBadTrackTableSector;
    if (ReadOne(badTrackSector, sector)) {
      if (const auto bad = DecodeBadTrackTable(sector); bad && !bad->tracks.empty()) {
        Warn(fmt::format(
            "partition {}: the bad-track table at sector {} lists {} bad tracks{}; they are read "
            "where they lie",
            n, badTrackSector, bad->tracks.size(), bad->countCut ? " (its count was cut)" : ""));
      }
    }

    AddBase(area, GeometryFromChs(partition).transform(
                      [](const ChsGeometry& g) { return g.SectorsPerCylinder(); }));
    if (in_.driveHeads != 0 && in_.driveSectorsPerTrack != 0) {
      AddBase(area, in_.driveHeads * in_.driveSectorsPerTrack);
    }
    for (std::uint32_t cylinder : kCommonCylinders) AddBase(area, cylinder);
    AddBase(area, 0u);  // no rounding at all

    const std::uint64_t primary = area.bases.front();
    const std::uint64_t areaKb = area.end > primary ? (area.end - primary) / 2 : 0;
    std::array<bool, kWholeAreaDivision> skip{};
    for (const DivisionProblem& problem : CheckDivisionTable(area.table, areaKb)) {
      const DivisionEntry& e = area.table.entries[problem.division];
      if (problem.pastEnd) {
        skip[problem.division] = true;
        Warn(fmt::format(
            "partition {}, division {}: KiB {} to {} from the base reach past the partition's "
            "end ({} KiB); not read",
            n, problem.division, e.offsetKb, std::uint64_t{e.offsetKb} + e.lengthKb - 1, areaKb));
      } else {
        Warn(fmt::format("partition {}, division {} overlaps division {} in the division table", n,
                         problem.division, *problem.overlaps));
      }
    }

    // First every division at the computed bases; the base is one for the
    // whole partition, so once one division confirms it the others are
    // looked for there alone.
    std::optional<std::uint64_t> confirmed;
    std::array<bool, kWholeAreaDivision> found{};
    for (std::uint32_t d = 0; d < kWholeAreaDivision; ++d) {
      const DivisionEntry& e = area.table.entries[d];
      if (!Listed(e) || skip[d]) continue;
      if (Stopped()) return;
      if (in_.onDivision) in_.onDivision(n, d);
      if (confirmed) {
        found[d] = TryBase(area, d, *confirmed);
        continue;
      }
      for (std::uint64_t base : area.bases) {
        if (TryBase(area, d, base)) {
          found[d] = true;
          confirmed = base;
          break;
        }
      }
    }
    // No division at any computed base: the base was rounded some other
    // way. Search the window past the reserved sectors, divisions 2 to 6
    // first (boot and swap need not hold a file system).
    if (!confirmed) {
      for (std::uint32_t d : {2u, 3u, 4u, 5u, 6u, 0u, 1u}) {
        const DivisionEntry& e = area.table.entries[d];
        if (!Listed(e) || skip[d]) continue;
        if (Stopped()) return;
        if (confirmed) {
          found[d] = TryBase(area, d, *confirmed);
        } else if (const auto base = SearchWindow(area, d)) {
          found[d] = true;
          confirmed = base;
        }
      }
    }
    for (std::uint32_t d = 2; d < kWholeAreaDivision; ++d) {
      const DivisionEntry& e = area.table.entries[d];
      if (!Listed(e) || skip[d] || found[d] || Stopped()) continue;
      Warn(fmt::format(
          "partition {}, division {}: no file system where the division table puts it (sector "
          "{})",
          n, d, confirmed.value_or(primary) + 2ull * e.offsetKb));
    }
  }

  void AddBase(ScoArea& area, std::optional<std::uint32_t> sectorsPerCylinder) {
    if (!sectorsPerCylinder) return;
    const std::uint64_t base = DivisionBase(area.partition->startSector, *sectorsPerCylinder);
    if (base >= area.end) return;
    if (std::find(area.bases.begin(), area.bases.end(), base) == area.bases.end()) {
      area.bases.push_back(base);
    }
  }

  // kShortEntry: plausible words and the root folder in place, but the
  // file system is larger than the division's length in the table.
  enum class Fit { kNo, kYes, kImplausible, kShortEntry };

  // Whether `superblock` (at `sector`) is the file system of division d:
  // its words fit the division, or they do not but the root folder is there.
  Fit Fits(const ScoArea& area, std::uint32_t d, std::span<const std::byte> superblock,
           std::uint64_t sector) const {
    const Superblock sb = DecodeSuperblock(superblock);
    if (sb.type == FsType::kNone) return Fit::kNo;
    const DivisionEntry& e = area.table.entries[d];
    // The file system lies within the division and the partition.
    const bool fits = IsPlausibleSuperblock(sb) && sb.sizeBlocks != 0 &&
                      sb.sizeBlocks <= e.lengthKb && sector - 1 + 2ull * sb.sizeBlocks <= area.end;
    if (fits) return Fit::kYes;
    if (!VolumeHasRootFolder(in_.read, sb.type, sector)) return Fit::kNo;
    const bool shortEntry = IsPlausibleSuperblock(sb) && sb.sizeBlocks != 0 &&
                            sb.sizeBlocks > e.lengthKb &&
                            sector - 1 + 2ull * sb.sizeBlocks <= area.end;
    return shortEntry ? Fit::kShortEntry : Fit::kImplausible;
  }

  void Take(const ScoArea& area, std::uint32_t d, std::uint64_t sector,
            std::span<const std::byte> superblock, bool fromWindow, Fit fit) {
    DivisionVolume v;
    v.partition = area.partition->number;
    v.division = d;
    v.superblockSector = sector;
    // The division runs from its volume's start for its length, within the partition.
    const DivisionEntry& e = area.table.entries[d];
    const std::uint64_t start = sector - 1;
    v.divisionEnd = std::min<std::uint64_t>(start + 2ull * e.lengthKb, area.end);
    const bool noLength = e.lengthKb == 0 && fit == Fit::kImplausible;
    if (fit == Fit::kShortEntry || noLength) {
      // The table's length cannot be right: the volume keeps its own size,
      // bounded by the partition and the next division.
      const std::uint32_t sizeBlocks = DecodeSuperblock(superblock).sizeBlocks;
      v.divisionEnd = std::min<std::uint64_t>(noLength ? area.end : start + 2ull * sizeBlocks,
                               NextDivisionStart(area, d, start - 2ull * e.offsetKb));
      v.lengthWarning = fmt::format(
          "division {} of partition {} is {} KiB long in the division table, less than the {} "
          "blocks of the file system it holds; the volume's own size is taken, up to sector {}",
          d, v.partition, e.lengthKb, sizeBlocks, v.divisionEnd);
    }
    std::copy(superblock.begin(), superblock.begin() + kSectorBytes, v.superblock.begin());
    v.fromWindow = fromWindow;
    v.wordsImplausible = fit == Fit::kImplausible;
    result_.volumes.push_back(v);
  }

  // The first sector of the division after d that the table lists, or the
  // partition's end.
  static std::uint64_t NextDivisionStart(const ScoArea& area, std::uint32_t d, std::uint64_t base) {
    std::uint64_t next = area.end;
    const std::uint32_t offset = area.table.entries[d].offsetKb;
    for (std::uint32_t other = 0; other < kWholeAreaDivision; ++other) {
      const DivisionEntry& e = area.table.entries[other];
      if (other == d || !Listed(e) || e.offsetKb <= offset) continue;
      next = std::min<std::uint64_t>(next, base + 2ull * e.offsetKb);
    }
    return next;
  }

  bool TryBase(const ScoArea& area, std::uint32_t d, std::uint64_t base) {
    const std::uint64_t sector = base + 2ull * area.table.entries[d].offsetKb + 1;
    if (sector >= area.end) return false;
    std::array<std::byte, kSectorBytes> bytes{};
    if (!ReadOne(sector, bytes)) return false;
    const Fit fit = Fits(area, d, bytes, sector);
    if (fit == Fit::kNo) return false;
    Take(area, d, sector, bytes, false, fit);
    return true;
  }

  // Tests the sectors where division d's superblock stands for every base
  // from the end of the reserved sectors on, in runs; returns the base of
  // the first that fits.
  std::optional<std::uint64_t> SearchWindow(const ScoArea& area, std::uint32_t d) {
    const std::uint64_t lowest = area.partition->startSector + kScoReservedSectors;
    const std::uint64_t first = lowest + 2ull * area.table.entries[d].offsetKb + 1;
    const std::uint64_t end = std::min({first + kBaseSearchWindow, area.end, in_.totalSectors});
    const std::uint32_t run = std::clamp<std::uint32_t>(in_.sectorsPerRead, 1, kMaxRun);
    std::vector<std::byte> buffer(std::size_t{run} * kSectorBytes);
    for (std::uint64_t r = first; r < end; r += run) {
      if (Stopped()) return std::nullopt;
      const std::uint64_t count = std::min<std::uint64_t>(run, end - r);
      const std::span<std::byte> bytes = std::span(buffer).first(count * kSectorBytes);
      if (!in_.read(r, bytes)) continue;
      for (std::uint64_t j = 0; j < count; ++j) {
        const auto sector = bytes.subspan(j * kSectorBytes, kSectorBytes);
        if (!HasSuperblockMagic(sector)) continue;
        const Fit fit = Fits(area, d, sector, r + j);
        if (fit == Fit::kNo) continue;
        Take(area, d, r + j, sector, true, fit);
        return r + j - 1 - 2ull * area.table.entries[d].offsetKb;
      }
    }
    return std::nullopt;
  }

  const DivisionScanInput& in_;
  DivisionScanResult result_;
};

}  // namespace

DivisionScanResult ScanDivisionTables(const DivisionScanInput& input) {
  return Scanner(input).Run();
}

bool HasDivisionTable(const SectorReader& read, std::uint64_t totalSectors) {
  const PartitionList list = ReadPartitionList(read, totalSectors);
  std::array<std::byte, kSectorBytes> sector{};
  for (const DiskPartition& p : list.partitions) {
    if (p.type != kScoPartitionType && p.type != kXenixRootPartitionType) continue;
    const std::uint64_t at = p.startSector + kDivisionTableSector;
    if (at < totalSectors && read(at, sector) && DecodeDivisionTable(sector)) return true;
  }
  return false;
}

}  // namespace tolvar
