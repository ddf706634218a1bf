#include "volumes/discovery.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "disk/read_ahead_sectors.hpp"
#include "volumes/division_scan.hpp"
#include "volumes/partition_record.hpp"
#include "volumes/superblock_probe.hpp"

namespace tolvar {

namespace {

constexpr std::uint32_t kSectorBytes = 512;
constexpr std::uint64_t kTwoTo32 = std::uint64_t{1} << 32;

// Sectors per run, taken once when a scan starts and kept within the buffer.
std::uint32_t RunLength(const DiscoveryRequest& request) {
  return std::clamp<std::uint32_t>(request.sectorsPerRead, 1, kScanBufferSectors);
}

// The scans' reads. Each run is served from a window of up to 1 MiB read
// ahead in one request, since one large read costs far less than many
// small ones; where no window serves it, the run is read through the drive
// table, with its retries and bad-sector records, exactly as without the
// window.
class RunBuffer {
 public:
  RunBuffer(DriveTable& drives, std::uint64_t first, std::uint64_t end)
      : drives_(drives),
        ahead_(drives.Sectors(), {kWindowSectors, 1}),
        own_(std::size_t{kScanBufferSectors} * kSectorBytes) {
    ahead_.Aim(first, end);
  }
  RunBuffer(const RunBuffer&) = delete;
  RunBuffer& operator=(const RunBuffer&) = delete;

  // Reads one run. A run that starts past the capacity is refused by the
  // drive table without touching the buffer; it is then tested as zeros, so
  // that the previous run's superblocks cannot turn up again at new sector
  // numbers. Returns false when the run is known to hold only zeros.
  bool Read(std::uint64_t sector, std::uint32_t count) {
    if (const auto held = ahead_.Held(sector, count); !held.empty()) {
      bytes_ = held;
      zeroed_ = false;
      return true;
    }
    const auto own = std::span<std::byte>(own_).first(std::size_t{count} * kSectorBytes);
    bytes_ = own;
    const auto read = drives_.Policy().Read(sector, own);
    if (read || !read.error().beyondDrive) {
      zeroed_ = false;  // written: data, or zeros where sectors did not read
    } else if (!zeroed_) {
      std::fill(own_.begin(), own_.end(), std::byte{0});
      zeroed_ = true;
    }
    return !zeroed_;
  }

  // Sector `index` of the run when it carries a superblock signature (the
  // inline test that nearly every sector fails), else an empty span.
  [[nodiscard]] std::span<const std::byte> Signed(std::uint32_t index) const {
    const auto sector = bytes_.subspan(std::size_t{index} * kSectorBytes, kSectorBytes);
    if (!HasSuperblockMagic(sector)) return {};
    return sector;
  }

 private:
  static constexpr std::uint32_t kWindowSectors = 2048;

  DriveTable& drives_;
  ReadAheadSectors ahead_;
  std::vector<std::byte> own_;
  std::span<const std::byte> bytes_;
  bool zeroed_ = true;
};

// Reads through the drive table (retries, zero-fill, the bad-sector list).
SectorReader DriveReader(DriveTable& drives) {
  return [&drives](std::uint64_t sector, std::span<std::byte> out) {
    return drives.ReadSectors(sector, static_cast<std::uint32_t>(out.size() / kSectorBytes), out);
  };
}

// What discovery makes of one sector with a superblock signature.
enum class Verdict {
  kNone,        // not a superblock after all
  kDuplicate,   // the volume is in the table already
  kPassedOver,  // not taken; the reason went to the table's rejected list
  kSound,       // plausible words (and, where asked, the root folder in place)
  kRootless,    // plausible words, but inode 2 is not a folder
  kDamaged,     // implausible words, but inode 2 is the root folder
};

// A volume whose size or inode table discovery had to assume: what bounds it
// before the volumes after it are known.
struct AssumedVolume {
  Superblock superblock;
  SuperblockFlaws flaws;
  std::uint64_t originEnd = 0;  // first sector past its record range or division; 0: none
  std::string originWhat;       // how that bound reads in the report
};

// The volume table being filled, with what the candidates taken into it
// left to be worked out once every volume is known.
class Discoverer {
 public:
  Discoverer(DriveTable& drives, VolumeTable& volumes)
      : drives_(drives), volumes_(volumes), read_(DriveReader(drives)) {}

  [[nodiscard]] VolumeTable& Volumes() { return volumes_; }
  [[nodiscard]] const SectorReader& Reader() const { return read_; }

  // Judges the signed sector at absolute sector `sector`. `recordRange`: the
  // candidate would end a record range's scan, so one inside a volume found
  // already is passed over and one without its root folder only taken when
  // nothing better follows.
  Verdict Judge(std::span<const std::byte> bytes, std::uint64_t sector, bool recordRange) {
    const Superblock sb = DecodeSuperblock(bytes);
    if (sb.type == FsType::kNone) return Verdict::kNone;
    if (sector == 0) {
      Reject(sector, fmt::format("{} signature in the first sector, where no volume can begin",
                                 FsTypeName(sb.type)));
      return Verdict::kPassedOver;
    }
    const std::uint64_t start = sector - 1;
    const std::uint32_t count = std::min(volumes_.volumeCount, VolumeTable::kCapacity);
    for (std::uint32_t i = 0; i < count; ++i) {
      if (volumes_.entries[i].startSector == start) return Verdict::kDuplicate;
    }
    if (recordRange) {
      // Only a volume known to be one (its root folder in place, its extent
      // on the disk) vouches for what lies inside it.
      const std::uint64_t diskEnd = drives_.Current().totalSectors;
      for (std::uint32_t i = 0; i < count; ++i) {
        const VolumeInfo& v = volumes_.entries[i];
        const std::uint64_t end = v.startSector + v.sizeSectors;
        if (!rooted_.contains(v.startSector) || end > diskEnd) continue;
        if (start > v.startSector && start < end) {
          Reject(sector, fmt::format("{} signature inside {} (sectors {} to {}): file data, not "
                                     "a volume",
                                     FsTypeName(sb.type), v.volumeName, v.startSector, end - 1));
          return Verdict::kPassedOver;
        }
      }
    }
    const SuperblockFlaws flaws = FindSuperblockFlaws(sb);
    const bool plausible = IsPlausibleSuperblock(sb) && !flaws.sizeTooLarge;
    const bool root = (recordRange || !plausible) && VolumeHasRootFolder(read_, sb.type, sector);
    if (!plausible) {
      if (root) return Verdict::kDamaged;
      Reject(sector, fmt::format("{} signature, but {} and inode 2 is not a folder",
                                 FsTypeName(sb.type), FlawText(sb, flaws)));
      return Verdict::kPassedOver;
    }
    return !recordRange || root ? Verdict::kSound : Verdict::kRootless;
  }

  // Appends the volume whose superblock is `bytes` at `sector`; false when
  // the table is full. `originEnd` (0: none) is the first sector past the
  // record range or division it was found in; `originHoldsSize`: the volume
  // cannot reach past it (a division), so a size that does is implausible.
  // `rooted`: its root folder was seen in place.
  bool Take(std::span<const std::byte> bytes, std::uint64_t sector, std::uint64_t originEnd,
            std::string originWhat, bool originHoldsSize = false, bool rooted = false) {
    if (volumes_.volumeCount >= VolumeTable::kCapacity) {
      Reject(sector, "the volume table is full");
      return false;
    }
    const Superblock sb = DecodeSuperblock(bytes);
    SuperblockFlaws flaws = FindSuperblockFlaws(sb);
    const std::uint64_t start = sector - 1;
    if (originHoldsSize && start + std::uint64_t{sb.sizeBlocks} * 2 > originEnd) {
      flaws.sizeImplausible = true;
    }
    VolumeInfo& entry = volumes_.entries[volumes_.volumeCount];
    entry = VolumeInfo{};
    entry.fsType = sb.type;
    entry.sectorsPerBlock = 2;
    entry.startSector = start;
    entry.inodeTableSector = start + 2u * entry.sectorsPerBlock;
    // Implausible words are replaced once every volume is known (Bound);
    // until then the volume reaches as far as its origin and the disk allow.
    entry.sizeSectors =
        flaws.sizeImplausible
            ? ClampSectors(BoundEnd(originEnd) - std::min(start, BoundEnd(originEnd)))
            : sb.sizeBlocks * 2u;
    entry.inodeCount =
        sb.type == FsType::kHtfs ? sb.inodeTableBlocks * 2u * 4u : entry.sizeSectors * 16u;
    entry.volumeName = VolumeName(sb.type, volumes_.volumeCount + 1);
    if (flaws.Any()) {
      assumed_[start] = AssumedVolume{sb, flaws, originEnd, std::move(originWhat)};
    }
    if (rooted) rooted_.insert(start);
    ++volumes_.volumeCount;
    return true;
  }

  // A division found a volume the record found already: its division is the
  // better bound.
  void Rebound(std::uint64_t sector, std::uint64_t originEnd, std::string originWhat) {
    const auto it = assumed_.find(sector - 1);
    if (it == assumed_.end() || originEnd == 0) return;
    it->second.originEnd = originEnd;
    it->second.originWhat = std::move(originWhat);
  }

  void Reject(std::uint64_t sector, const std::string& reason) {
    volumes_.rejected.push_back(fmt::format("sector {}: {}", sector, reason));
  }

  // Sizes and inode tables the superblocks no longer give: each bounded by
  // its origin, the next volume and the disk's end, and said in the
  // volume's assumptions.
  void Bound() {
    const std::uint32_t count = std::min(volumes_.volumeCount, VolumeTable::kCapacity);
    for (std::uint32_t i = 0; i < count; ++i) {
      VolumeInfo& v = volumes_.entries[i];
      const auto it = assumed_.find(v.startSector);
      if (it == assumed_.end()) {
        AddNotes(v);
        continue;
      }
      const AssumedVolume& a = it->second;
      v.assumptions.clear();
      if (a.flaws.htfsWordZero) {
        v.assumptions.push_back(fmt::format(
            "the superblock's words at 0 and 244 read {} and {}; taken as a volume because its "
            "inode 2 is the root folder",
            a.superblock.htfsWord0, a.superblock.htfsWord244));
      }
      if (a.flaws.afsFreeCountOff) {
        v.assumptions.push_back(fmt::format(
            "the superblock's free-block count word reads 0x{:04X}, not 0xFFFF; taken as an AFS "
            "volume because its inode 2 is the root folder",
            a.superblock.freeCount));
      }
      if (a.flaws.sizeImplausible) BoundSize(v, a);
      if (v.fsType == FsType::kHtfs && a.flaws.inodeTableUnknown) {
        BoundInodeTable(v, a);
      } else if (v.fsType != FsType::kHtfs && a.flaws.sizeImplausible) {
        v.inodeCount = v.sizeSectors * 16u;
      }
      AddNotes(v);
    }
  }

  // What was assumed about the volume starting at `start` besides its
  // superblock's words (a division length that cannot be right).
  void Note(std::uint64_t start, std::string text) { notes_[start].push_back(std::move(text)); }

 private:
  void AddNotes(VolumeInfo& v) const {
    const auto it = notes_.find(v.startSector);
    if (it == notes_.end()) return;
    for (const std::string& note : it->second) {
      if (std::find(v.assumptions.begin(), v.assumptions.end(), note) == v.assumptions.end()) {
        v.assumptions.push_back(note);
      }
    }
  }

  static std::string FlawText(const Superblock& sb, const SuperblockFlaws& flaws) {
    if (flaws.afsFreeCountOff) {
      return fmt::format("its free-block count word reads 0x{:04X}, not 0xFFFF", sb.freeCount);
    }
    if (flaws.sizeTooLarge) {
      return fmt::format("its size word ({} blocks) is larger than a volume can be", sb.sizeBlocks);
    }
    return fmt::format("its words at 0 and 244 read {} and {}", sb.htfsWord0, sb.htfsWord244);
  }

  // The sizes a table entry can hold: whole blocks, below 2^32 sectors.
  static std::uint32_t ClampSectors(std::uint64_t sectors) {
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(sectors, 0xFFFFFFFEu) & ~1ull);
  }

  std::uint64_t BoundEnd(std::uint64_t originEnd) const {
    const std::uint64_t disk = drives_.Current().totalSectors;
    return originEnd != 0 ? std::min(originEnd, disk) : disk;
  }

  void BoundSize(VolumeInfo& v, const AssumedVolume& a) {
    std::uint64_t end = drives_.Current().totalSectors;
    std::string what = fmt::format("the end of the disk (sector {})", end);
    if (a.originEnd != 0 && a.originEnd < end) {
      end = a.originEnd;
      what = a.originWhat;
    }
    const std::uint32_t count = std::min(volumes_.volumeCount, VolumeTable::kCapacity);
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint64_t other = volumes_.entries[i].startSector;
      if (other > v.startSector && other < end) {
        end = other;
        what = fmt::format("the next volume (sector {})", other);
      }
    }
    v.sizeSectors = ClampSectors(end > v.startSector ? end - v.startSector : 0);
    v.assumptions.push_back(fmt::format(
        "the superblock's size word ({} blocks) is implausible; the volume is taken to reach {}: "
        "{} sectors",
        a.superblock.sizeBlocks, what, v.sizeSectors));
  }

  static void BoundInodeTable(VolumeInfo& v, const AssumedVolume& a) {
    const std::uint32_t blocks = v.sizeSectors / 2u;
    const std::uint32_t first = a.superblock.firstDataBlock;
    std::uint32_t tableBlocks = blocks > 2 ? blocks - 2 : 0;
    std::string what = "to the volume's end";
    if (first > 2 && first < blocks) {
      tableBlocks = first - 2;
      what = fmt::format("up to the first data block the word at 0 names ({})", first);
    }
    v.inodeCount = tableBlocks * 8u;
    v.assumptions.push_back(fmt::format(
        "the superblock's inode table length (word 248) is 0; the inode sweep assumes {} blocks, "
        "{}",
        tableBlocks, what));
  }

  DriveTable& drives_;
  VolumeTable& volumes_;
  SectorReader read_;
  std::map<std::uint64_t, AssumedVolume> assumed_;  // by start sector
  std::set<std::uint64_t> rooted_;                  // starts of volumes seen with their root
  std::map<std::uint64_t, std::vector<std::string>> notes_;  // by start sector
};

const VolumeInfo& LastVolume(const VolumeTable& volumes) {
  return volumes.entries[std::min(volumes.volumeCount, VolumeTable::kCapacity) - 1];
}

// Scans `count` sectors from `first` for their first file system; returns
// when one is found or counted as a duplicate, at the end, or on a stop. A
// signature inside a volume found already, or one whose inode table holds no
// root folder, does not end the scan: a copy of a superblock stored as file
// data must not displace the volume behind it. A rootless one is still taken
// when no better one follows in the range.
void ScanRecordRange(Discoverer& discoverer, DriveTable& drives, std::uint32_t runLength,
                     DiscoveryObserver& observer, StopToken stop, std::uint64_t first,
                     std::uint64_t count) {
  VolumeTable& volumes = discoverer.Volumes();
  observer.RecordRangeStarted(volumes.volumeCount);
  const std::uint64_t end = first + count;
  const std::string what = fmt::format("the end of its range in the record (sector {})", end);
  // A range past sector 2^32 (which 32-bit fields could only reach by
  // wrapping) is walked to the disk's end, not through the billions of
  // sectors beyond it that hold nothing.
  const std::uint64_t walkEnd =
      end > kTwoTo32 ? std::min(end, std::max(first, drives.Current().totalSectors) + 1) : end;
  struct Fallback {
    std::array<std::byte, kSectorBytes> bytes{};
    std::uint64_t sector = 0;
  };
  std::optional<Fallback> fallback;
  auto take = [&](std::span<const std::byte> bytes, std::uint64_t sector, bool rooted) {
    if (discoverer.Take(bytes, sector, end, what, false, rooted)) {
      observer.VolumeAccepted(LastVolume(volumes), volumes.volumeCount, false);
    }
  };
  auto passOverFallback = [&](std::string_view why) {
    if (!fallback) return;
    discoverer.Reject(fallback->sector, fmt::format("its inode 2 is not a folder, and {}", why));
    fallback.reset();
  };

  RunBuffer buffer(drives, first, walkEnd);
  for (std::uint64_t r = first; r < walkEnd && !stop.StopRequested(); r += runLength) {
    observer.RunStarted(r - first, count, r);
    const bool worthTesting = buffer.Read(r, runLength);
    for (std::uint32_t j = 0; worthTesting && j < runLength && !stop.StopRequested(); ++j) {
      const auto bytes = buffer.Signed(j);
      if (bytes.empty()) continue;
      const std::uint64_t sector = r + j;
      switch (discoverer.Judge(bytes, sector, true)) {
        case Verdict::kNone:
        case Verdict::kPassedOver:
          continue;
        case Verdict::kRootless:
          if (!fallback) {
            fallback.emplace();
            std::copy(bytes.begin(), bytes.end(), fallback->bytes.begin());
            fallback->sector = sector;
          }
          continue;
        case Verdict::kDuplicate:
          passOverFallback(fmt::format("a volume found already follows at sector {}", sector));
          return;
        case Verdict::kSound:
        case Verdict::kDamaged:
          passOverFallback(fmt::format("the volume at sector {} follows", sector));
          take(bytes, sector, true);
          return;
      }
    }
    observer.RunFinished(r);
  }
  // Nothing better in the range: the first signature is the volume, as the
  // record's rule has it.
  if (fallback) take(fallback->bytes, fallback->sector, false);
}

void FindFromRecord(Discoverer& discoverer, DriveTable& drives, std::uint32_t runLength,
                    DiscoveryObserver& observer, StopToken stop, DiscoveryResult& result) {
  VolumeTable& volumes = discoverer.Volumes();
  std::array<std::byte, kSectorBytes> sector{};
  (void)drives.ReadSectors(kPartitionRecordSector, 1, sector);
  // A record that no longer reads back scans nothing.
  const auto record = DecodePartitionRecord(sector);
  result.recordMarkPresent = record.has_value();
  if (!record) return;
  for (const PartitionRecordEntry& entry : record->entries) {
    if (stop.StopRequested()) break;
    // In 64 bits: a range may reach past sector 2^32 on a large disk.
    const std::uint64_t count = std::uint64_t{entry.lengthKb} * 2;
    if (count == 0) continue;
    const std::uint32_t before = volumes.volumeCount;
    ScanRecordRange(discoverer, drives, runLength, observer, stop, entry.startSector, count);
    for (std::uint32_t i = before; i < std::min(volumes.volumeCount, VolumeTable::kCapacity); ++i) {
      volumes.entries[i].origin = VolumeOrigin{VolumeSource::kPartitionRecord, 0, 0};
    }
  }
}

// The volumes of every SCO partition's division table, appended after those
// of the record. Returns whether the disk has an SCO partition at all.
bool FindFromDivisionTables(Discoverer& discoverer, DriveTable& drives, std::uint32_t runLength,
                            DiscoveryObserver& observer, StopToken stop) {
  VolumeTable& volumes = discoverer.Volumes();
  DivisionScanInput input;
  input.read = discoverer.Reader();
  input.totalSectors = drives.Current().totalSectors;
  input.driveHeads = drives.Current().heads;
  input.driveSectorsPerTrack = drives.Current().sectorsPerTrack;
  input.sectorsPerRead = runLength;
  input.stopRequested = [stop] { return stop.StopRequested(); };
  input.onDivision = [&](std::uint32_t, std::uint32_t) {
    observer.RecordRangeStarted(volumes.volumeCount);
  };
  const DivisionScanResult scan = ScanDivisionTables(input);
  volumes.warnings.insert(volumes.warnings.end(), scan.warnings.begin(), scan.warnings.end());
  for (const DivisionVolume& found : scan.volumes) {
    const std::string what = fmt::format("the end of partition {}, division {} (sector {})",
                                         found.partition, found.division, found.divisionEnd);
    const Verdict verdict = discoverer.Judge(found.superblock, found.superblockSector, false);
    if (!found.lengthWarning.empty() && verdict != Verdict::kNone &&
        verdict != Verdict::kPassedOver) {
      discoverer.Note(found.superblockSector - 1, found.lengthWarning);
    }
    if (verdict == Verdict::kDuplicate) {
      discoverer.Rebound(found.superblockSector, found.divisionEnd, what);
      continue;
    }
    if (verdict == Verdict::kNone || verdict == Verdict::kPassedOver) continue;
    if (!discoverer.Take(found.superblock, found.superblockSector, found.divisionEnd, what, true)) {
      continue;
    }
    VolumeInfo& volume = volumes.entries[volumes.volumeCount - 1];
    volume.origin = VolumeOrigin{VolumeSource::kDivisionTable, found.partition, found.division};
    observer.VolumeAccepted(volume, volumes.volumeCount, false);
  }
  return scan.sawScoPartition;
}

// Puts the table in disk order and names the volumes by their positions;
// whether anything changed.
bool OrderByStartSector(VolumeTable& volumes) {
  const std::uint32_t count = std::min(volumes.volumeCount, VolumeTable::kCapacity);
  const auto begin = volumes.entries.begin();
  std::stable_sort(begin, begin + count, [](const VolumeInfo& a, const VolumeInfo& b) {
    return a.startSector < b.startSector;
  });
  bool renamed = false;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::string name = VolumeName(volumes.entries[i].fsType, i + 1);
    renamed = renamed || name != volumes.entries[i].volumeName;
    volumes.entries[i].volumeName = std::move(name);
  }
  return renamed;
}

void FindInRange(Discoverer& discoverer, DriveTable& drives, const DiscoveryRequest& request,
                 std::uint32_t runLength, DiscoveryObserver& observer, StopToken stop,
                 DiscoveryResult& result) {
  VolumeTable& volumes = discoverer.Volumes();
  const std::uint64_t start = request.rangeStart;
  const std::uint64_t end = request.rangeEnd;
  if (start >= end) return;
  RunBuffer buffer(drives, start, end);
  const std::uint64_t total = end - start;
  std::uint64_t r = start;
  std::uint64_t done = 0;
  while (!stop.StopRequested()) {
    observer.RunStarted(done, total, r);
    // The whole run is read and tested, even where it reaches past the end.
    const bool worthTesting = buffer.Read(r, runLength);
    for (std::uint32_t j = 0; worthTesting && j < runLength && !stop.StopRequested(); ++j) {
      const auto bytes = buffer.Signed(j);
      if (bytes.empty()) continue;
      const Verdict verdict = discoverer.Judge(bytes, r + j, false);
      if (verdict != Verdict::kSound && verdict != Verdict::kDamaged) continue;
      if (!discoverer.Take(bytes, r + j, 0, {})) continue;
      const bool limit = volumes.volumeCount >= kSearchVolumeLimit;
      observer.VolumeAccepted(LastVolume(volumes), volumes.volumeCount, limit);
      if (limit) {
        result.limitReached = true;
        return;
      }
    }
    r += runLength;
    done += runLength;
    if (r >= end) break;
  }
}

}  // namespace

bool HasPartitionRecordMark(DriveTable& drives) {
  std::array<std::byte, kSectorBytes> sector{};
  (void)drives.ReadSectors(kPartitionRecordSector, 1, sector);
  return DecodePartitionRecord(sector).has_value();
}

bool HasPartitionInformation(DriveTable& drives) {
  return HasPartitionRecordMark(drives) ||
         HasDivisionTable(DriveReader(drives), drives.Current().totalSectors);
}

std::string VolumeOriginText(const VolumeOrigin& origin) {
  switch (origin.source) {
    case VolumeSource::kPartitionRecord:
      return "the record at sector 105";
    case VolumeSource::kDivisionTable:
      return fmt::format("partition {}, division {}", origin.partition, origin.division);
    case VolumeSource::kSectorSearch:
      break;
  }
  return "the sector search";
}

DiscoveryResult FindVolumes(DriveTable& drives, VolumeTable& volumes,
                            const DiscoveryRequest& request, DiscoveryObserver& observer,
                            StopToken stop) {
  DiscoveryResult result;
  result.method = request.method;
  volumes.volumeCount = 0;
  volumes.warnings.clear();
  volumes.rejected.clear();
  const std::uint32_t runLength = RunLength(request);
  Discoverer discoverer(drives, volumes);
  if (request.method == DiscoveryMethod::kRange) {
    stop.Clear();
    FindInRange(discoverer, drives, request, runLength, observer, stop, result);
    discoverer.Bound();
  } else {
    FindFromRecord(discoverer, drives, runLength, observer, stop, result);
    // Both ways make one list in disk order; a disk without an SCO
    // partition keeps the record's order and names.
    const bool reordered = !stop.StopRequested() &&
                           FindFromDivisionTables(discoverer, drives, runLength, observer, stop) &&
                           OrderByStartSector(volumes);
    discoverer.Bound();
    if (reordered) observer.VolumesReordered(volumes);
  }
  // Each volume's assumptions are warnings of the run as well.
  const std::uint32_t found = std::min(volumes.volumeCount, VolumeTable::kCapacity);
  for (std::uint32_t i = 0; i < found; ++i) {
    for (const std::string& line : volumes.entries[i].assumptions) {
      volumes.warnings.push_back(
          fmt::format("volume {} ({}): {}", i + 1, volumes.entries[i].volumeName, line));
    }
  }
  result.stoppedByRequest = !result.limitReached && stop.StopRequested();
  result.volumesFound = std::min(volumes.volumeCount, VolumeTable::kCapacity);
  return result;
}

}  // namespace tolvar
