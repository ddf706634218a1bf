#include "volumes/discovery.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "volumes/division_scan.hpp"
#include "volumes/partition_record.hpp"
#include "volumes/superblock_probe.hpp"

namespace tolvar {

namespace {

constexpr std::uint32_t kSectorBytes = 512;

// Sectors per run, taken once when a scan starts and kept within the buffer.
std::uint32_t RunLength(const DiscoveryRequest& request) {
  return std::clamp<std::uint32_t>(request.sectorsPerRead, 1, kScanBufferSectors);
}

// The scans' reads. Each run is tested where it lies in a window of up to
// 1 MiB read ahead in one request, since one large read costs far less than
// many small ones; when a window does not read whole, the run is read on its
// own through ReadSectors, with its retries and bad-sector records, exactly
// as without the window. The memory starts on a page boundary (the kernel
// copies into aligned memory fastest).
class RunBuffer {
 public:
  RunBuffer() : storage_(std::size_t{kWindowSectors} * kSectorBytes + kAlignment) {
    const auto address = reinterpret_cast<std::uintptr_t>(storage_.data());
    const std::size_t skip = (kAlignment - address % kAlignment) % kAlignment;
    window_ =
        std::span<std::byte>(storage_).subspan(skip, std::size_t{kWindowSectors} * kSectorBytes);
    bytes_ = window_.first(std::size_t{kScanBufferSectors} * kSectorBytes);
  }
  RunBuffer(const RunBuffer&) = delete;
  RunBuffer& operator=(const RunBuffer&) = delete;

  // Reads one run. A run that starts past the capacity is refused by the
  // drive table without touching the buffer; it is then tested as zeros, so
  // that the previous run's superblocks cannot turn up again at new sector
  // numbers. Returns false when the run is known to hold only zeros.
  bool Read(DriveTable& drives, std::uint64_t sector, std::uint32_t count) {
    if (FromWindow(drives, sector, count)) {
      zeroed_ = false;
      return true;
    }
    bytes_ = window_.first(std::size_t{kScanBufferSectors} * kSectorBytes);
    windowCount_ = 0;
    (void)drives.ReadSectors(sector, count, bytes_);
    if (sector <= drives.Current().totalSectors) {
      zeroed_ = false;  // written: data, or zeros where sectors did not read
    } else if (!zeroed_) {
      std::fill(bytes_.begin(), bytes_.end(), std::byte{0});
      zeroed_ = true;
    }
    return !zeroed_;
  }

  // The full probe of sector `index`, after the inline magic test that
  // nearly every sector fails.
  [[nodiscard]] ProbeResult Probe(VolumeTable& volumes, std::uint32_t index,
                                  std::uint32_t absoluteSector) const {
    const auto sector = bytes_.subspan(std::size_t{index} * kSectorBytes, kSectorBytes);
    if (!HasSuperblockMagic(sector)) return ProbeResult::kNone;
    return ProbeSuperblockSector(volumes, sector, absoluteSector);
  }

 private:
  static constexpr std::size_t kAlignment = 4096;
  static constexpr std::uint32_t kWindowSectors = 2048;

  // Points the run at its place in the window, reading a new window when
  // the run is not inside the current one; false when the window cannot
  // serve it.
  bool FromWindow(DriveTable& drives, std::uint64_t sector, std::uint32_t count) {
    if (sector < windowFirst_ || sector - windowFirst_ + count > windowCount_) {
      // After a window that did not read, runs go alone past its end, so
      // that a bad area is not asked for again and again in large pieces.
      if (sector < failedEnd_) return false;
      windowCount_ = 0;
      if (!drives.TryReadSectors(sector, kWindowSectors, window_)) {
        failedEnd_ = sector + kWindowSectors;
        return false;
      }
      windowFirst_ = sector;
      windowCount_ = kWindowSectors;
    }
    bytes_ = window_.subspan((sector - windowFirst_) * kSectorBytes,
                             std::size_t{count} * kSectorBytes);
    return true;
  }

  std::vector<std::byte> storage_;
  std::span<std::byte> window_;
  std::span<std::byte> bytes_;
  std::uint64_t windowFirst_ = 0;
  std::uint64_t windowCount_ = 0;
  std::uint64_t failedEnd_ = 0;
  bool zeroed_ = true;
};

const VolumeInfo& LastVolume(const VolumeTable& volumes) {
  return volumes.entries[std::min(volumes.volumeCount, VolumeTable::kCapacity) - 1];
}

// Scans `count` sectors from `first` for their first file system; returns
// when one is found or counted as a duplicate, at the end, or on a stop.
void ScanRecordRange(DriveTable& drives, VolumeTable& volumes, std::uint32_t runLength,
                     DiscoveryObserver& observer, StopToken stop, std::uint32_t first,
                     std::uint32_t count) {
  observer.RecordRangeStarted(volumes.volumeCount);
  const std::uint32_t end = first + count;  // wraps: a range across 2^32 is not scanned
  if (first >= end) return;

  RunBuffer buffer;
  // 64-bit run starts: a run that passes 2^32 must end the loop, not wrap.
  for (std::uint64_t r = first; r < end && !stop.StopRequested(); r += runLength) {
    observer.RunStarted(r - first, count, r);
    const bool worthTesting = buffer.Read(drives, r, runLength);
    for (std::uint32_t j = 0; worthTesting && j < runLength && !stop.StopRequested(); ++j) {
      const ProbeResult result = buffer.Probe(volumes, j, static_cast<std::uint32_t>(r + j));
      if (result == ProbeResult::kAccepted) {
        observer.VolumeAccepted(LastVolume(volumes), volumes.volumeCount, false);
      }
      // Only the first file system of a range is taken.
      if (result == ProbeResult::kAccepted || result == ProbeResult::kDuplicate) return;
    }
    observer.RunFinished(r);
  }
}

void FindFromRecord(DriveTable& drives, VolumeTable& volumes, std::uint32_t runLength,
                    DiscoveryObserver& observer, StopToken stop, DiscoveryResult& result) {
  std::array<std::byte, kSectorBytes> sector{};
  (void)drives.ReadSectors(kPartitionRecordSector, 1, sector);
  // A record that no longer reads back scans nothing.
  const auto record = DecodePartitionRecord(sector);
  result.recordMarkPresent = record.has_value();
  if (!record) return;
  for (const PartitionRecordEntry& entry : record->entries) {
    if (stop.StopRequested()) break;
    const std::uint32_t count = entry.SectorCount();
    if (count == 0) continue;
    const std::uint32_t before = volumes.volumeCount;
    ScanRecordRange(drives, volumes, runLength, observer, stop, entry.startSector, count);
    for (std::uint32_t i = before; i < std::min(volumes.volumeCount, VolumeTable::kCapacity); ++i) {
      volumes.entries[i].origin = VolumeOrigin{VolumeSource::kPartitionRecord, 0, 0};
    }
  }
}

// Reads through the drive table (retries, zero-fill, the bad-sector list).
SectorReader DriveReader(DriveTable& drives) {
  return [&drives](std::uint64_t sector, std::span<std::byte> out) {
    return drives.ReadSectors(sector, static_cast<std::uint32_t>(out.size() / kSectorBytes), out);
  };
}

// The volumes of every SCO partition's division table, appended after those
// of the record. Returns whether the disk has an SCO partition at all.
bool FindFromDivisionTables(DriveTable& drives, VolumeTable& volumes, std::uint32_t runLength,
                            DiscoveryObserver& observer, StopToken stop) {
  DivisionScanInput input;
  input.read = DriveReader(drives);
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
    const ProbeResult result =
        ProbeSuperblockSector(volumes, found.superblock, found.superblockSector);
    if (result != ProbeResult::kAccepted) continue;
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

void FindInRange(DriveTable& drives, VolumeTable& volumes, const DiscoveryRequest& request,
                 std::uint32_t runLength, DiscoveryObserver& observer, StopToken stop,
                 DiscoveryResult& result) {
  const std::uint64_t start = request.rangeStart;
  const std::uint64_t end = request.rangeEnd;
  if (start >= end) return;
  RunBuffer buffer;
  const std::uint64_t total = end - start;
  std::uint64_t r = start;
  std::uint64_t done = 0;
  while (!stop.StopRequested()) {
    observer.RunStarted(done, total, r);
    // The whole run is read and tested, even where it reaches past the end.
    const bool worthTesting = buffer.Read(drives, r, runLength);
    for (std::uint32_t j = 0; worthTesting && j < runLength && !stop.StopRequested(); ++j) {
      const ProbeResult probed = buffer.Probe(volumes, j, static_cast<std::uint32_t>(r + j));
      if (probed != ProbeResult::kAccepted) continue;
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
  const std::uint32_t runLength = RunLength(request);
  if (request.method == DiscoveryMethod::kRange) {
    stop.Clear();
    FindInRange(drives, volumes, request, runLength, observer, stop, result);
  } else {
    FindFromRecord(drives, volumes, runLength, observer, stop, result);
    // Both ways make one list in disk order; a disk without an SCO
    // partition keeps the record's order and names.
    if (!stop.StopRequested() &&
        FindFromDivisionTables(drives, volumes, runLength, observer, stop) &&
        OrderByStartSector(volumes)) {
      observer.VolumesReordered(volumes);
    }
  }
  result.stoppedByRequest = !result.limitReached && stop.StopRequested();
  result.volumesFound = std::min(volumes.volumeCount, VolumeTable::kCapacity);
  return result;
}

}  // namespace tolvar
