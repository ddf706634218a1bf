// The partition-table walk, the CHS geometry, the division and bad-track
// table decoders and the division scan over an arbitrary small disk.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "disk/block_device_source.hpp"
#include "disk/drive_table.hpp"
#include "volumes/discovery.hpp"
#include "volumes/division_scan.hpp"
#include "volumes/partition_tables.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tolvar;
  std::vector<std::byte> disk(data == nullptr ? 0 : size);
  std::transform(data, data + size, disk.begin(), [](std::uint8_t b) { return std::byte{b}; });
  // The disk claims more sectors than the input holds; the rest read as zeros.
  const std::uint64_t total = disk.size() / 512 + (size > 0 ? data[0] : 0);
  const SectorReader read = [&](std::uint64_t sector, std::span<std::byte> out) {
    if (sector >= total) return false;
    std::fill(out.begin(), out.end(), std::byte{0});
    const std::uint64_t at = sector * 512;
    if (at < disk.size()) {
      const std::size_t n = std::min<std::size_t>(out.size(), disk.size() - at);
      std::copy_n(disk.begin() + static_cast<std::ptrdiff_t>(at), n, out.begin());
    }
    return true;
  };

  const PartitionList list = ReadPartitionList(read, total);
  if (list.partitions.size() > kMbrEntries + kMaxLogicalPartitions) std::abort();
  for (const DiskPartition& p : list.partitions) {
    if (p.startSector == 0 || p.startSector >= total || p.sectorCount > total - p.startSector) {
      std::abort();
    }
    if (const auto g = GeometryFromChs(p)) {
      if (g->SectorsPerCylinder() == 0) std::abort();
      if (DivisionBase(p.startSector, g->SectorsPerCylinder()) <
          p.startSector + kScoReservedSectors) {
        std::abort();
      }
    }
  }

  std::array<std::byte, 512> sector{};
  for (std::uint64_t s = 0; s < 3 && read(s, sector); ++s) {
    if (const auto table = DecodeDivisionTable(sector)) {
      const std::uint64_t area = size > 1 ? std::uint64_t{data[1]} << 12 : 0;
      for (const DivisionProblem& problem : CheckDivisionTable(*table, area)) {
        if (problem.division >= kWholeAreaDivision) std::abort();
        if (problem.overlaps && *problem.overlaps >= problem.division) std::abort();
      }
    }
    if (const auto bad = DecodeBadTrackTable(sector)) {
      if (bad->tracks.size() > kMaxBadTracks) std::abort();
    }
  }
  DivisionScanInput input;
  input.read = read;
  input.totalSectors = total;
  input.driveHeads = size > 2 ? data[2] : 0;
  input.driveSectorsPerTrack = size > 3 ? data[3] & 63 : 0;
  input.sectorsPerRead = size > 4 ? data[4] : 60;
  const DivisionScanResult scan = ScanDivisionTables(input);
  for (const DivisionVolume& v : scan.volumes) {
    if (v.superblockSector == 0 || v.superblockSector >= total || v.division >= 7) std::abort();
    if (v.divisionEnd <= v.superblockSector - 1) std::abort();
  }

  // The whole discovery over the same disk, both ways: superblocks with
  // implausible words are judged, taken and bounded by what the disk says.
  if (disk.size() >= 512) {
    RecoverySettings settings;
    DriveTable drives(settings);
    drives.EnumerateDrives(MakeFixedProvider(
        {std::shared_ptr<BlockDeviceSource>(MakeMemorySource(std::vector<std::byte>(disk)))}));
    drives.currentDrive = 0;
    (void)drives.OpenCurrentDrive();
    const std::uint64_t diskSectors = drives.Current().totalSectors;
    DiscoveryObserver quiet;
    StopFlag stop;
    VolumeTable volumes;
    for (const DiscoveryMethod method :
         {DiscoveryMethod::kPartitionRecord, DiscoveryMethod::kRange}) {
      DiscoveryRequest request;
      request.method = method;
      request.rangeEnd = diskSectors;
      request.sectorsPerRead = input.sectorsPerRead;
      const DiscoveryResult found = FindVolumes(drives, volumes, request, quiet, StopToken(stop));
      if (found.volumesFound > VolumeTable::kCapacity) std::abort();
      for (std::uint32_t i = 0; i < found.volumesFound; ++i) {
        const VolumeInfo& v = volumes.entries[i];
        // Every superblock was read from the disk, a sector past the start.
        if (v.startSector >= diskSectors || v.inodeTableSector != v.startSector + 4) std::abort();
        if (v.sizeSectors % 2 != 0) std::abort();
      }
    }
  }
  return 0;
}
