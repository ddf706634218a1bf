// One arbitrary sector judged as a superblock: decoded alone, and found by a
// sector search of a small disk it sits in, with its inode table after it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

#include "disk/block_device_source.hpp"
#include "disk/drive_table.hpp"
#include "fs/format.hpp"
#include "volumes/discovery.hpp"
#include "volumes/superblock_probe.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tolvar;
  // The sector, then (when given) the sector of the inode table's start.
  constexpr std::size_t kDiskSectors = 8;
  std::vector<std::byte> disk(kDiskSectors * 512, std::byte{0});
  for (std::size_t i = 0; i < size && i < 1024; ++i) {
    disk[(i < 512 ? 1 : 4) * 512 + i % 512] = std::byte{data[i]};
  }
  // Only sector 1 may carry a signature: one candidate, starting at 0.
  for (std::size_t i = 504; i < 508; ++i) disk[4 * 512 + i] = std::byte{0};
  const auto sector = std::span<const std::byte>(disk).subspan(512, 512);

  const Superblock sb = DecodeSuperblock(sector);
  RecoverySettings settings;
  DriveTable drives(settings);
  drives.EnumerateDrives(MakeFixedProvider(
      {std::shared_ptr<BlockDeviceSource>(MakeMemorySource(std::vector<std::byte>(disk)))}));
  drives.currentDrive = 0;
  if (!drives.OpenCurrentDrive()) std::abort();
  DiscoveryObserver quiet;
  StopFlag stop;
  VolumeTable table;
  const DiscoveryRequest request{DiscoveryMethod::kRange, 0, kDiskSectors, 4};
  const DiscoveryResult found = FindVolumes(drives, table, request, quiet, StopToken(stop));
  if (found.volumesFound > 1) std::abort();
  const SuperblockFlaws flaws = FindSuperblockFlaws(sb);
  if (found.volumesFound == 1) {
    const VolumeInfo& info = table.entries[0];
    // The search and the reader's decoding agree on what the sector holds.
    if (info.fsType != sb.type || info.startSector != 0 || info.inodeTableSector != 4) {
      std::abort();
    }
    // A sound size is taken as it is, a doubted one bounded by the disk;
    // implausible words are taken only with the root folder in place.
    if (!flaws.sizeImplausible && info.sizeSectors != sb.sizeBlocks * 2) std::abort();
    if (flaws.sizeImplausible && info.sizeSectors > kDiskSectors) std::abort();
    if ((!IsPlausibleSuperblock(sb) || flaws.sizeTooLarge) &&
        !HoldsRootFolder(sb.type, std::span<const std::byte>(disk).subspan(4 * 512, 512))) {
      std::abort();
    }
  } else if (sb.type != FsType::kNone && table.rejected.empty()) {
    std::abort();  // a signed sector not taken says why
  }

  // What discovery doubts in a signed superblock: a plausible one with a
  // sound size is never doubted for its size, and an unsigned one never.
  if (sb.type == FsType::kNone && (flaws.Any() || flaws.sizeTooLarge)) std::abort();
  if (flaws.sizeTooLarge && !flaws.sizeImplausible) std::abort();
  if (sb.type == FsType::kHtfs && IsPlausibleSuperblock(sb) == flaws.htfsWordZero) std::abort();
  // The same bytes read as an inode table's first sector.
  for (const FsType type : {FsType::kNone, FsType::kEafs, FsType::kHtfs, FsType::kAfs}) {
    if (HoldsRootFolder(type, sector) && type == FsType::kNone) std::abort();
    (void)HoldsRootFolder(type, sector.first(size % 512));
  }
  return 0;
}
