// The superblock test over one arbitrary sector.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "fs/format.hpp"
#include "volumes/superblock_probe.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tolvar;
  std::vector<std::byte> sector(512, std::byte{0});
  for (std::size_t i = 0; i < size && i < sector.size(); ++i) sector[i] = std::byte{data[i]};
  const std::uint32_t at = size > 512 ? data[512] * 7919U : 1;

  const Superblock sb = DecodeSuperblock(sector);
  VolumeTable table;
  const ProbeResult result = ProbeSuperblockSector(table, sector, at);
  if (result == ProbeResult::kAccepted) {
    const VolumeInfo& info = table.entries[0];
    // The probe and the reader's decoding agree on what the sector holds.
    if (info.fsType != sb.type || !IsPlausibleSuperblock(sb)) std::abort();
    if (info.sizeSectors != sb.sizeBlocks * 2 || info.sizeSectors > kMaxVolumeSectors) std::abort();
  }
  if (IsPlausibleSuperblock(sb) != ClassifySuperblock(sector).has_value()) std::abort();

  // What discovery doubts in a signed superblock: a plausible one with a
  // sound size is never doubted for its size, and an unsigned one never.
  const SuperblockFlaws flaws = FindSuperblockFlaws(sb);
  if (sb.type == FsType::kNone && (flaws.Any() || flaws.sizeTooLarge)) std::abort();
  if (flaws.sizeTooLarge && !flaws.sizeImplausible) std::abort();
  if (sb.type == FsType::kHtfs && IsPlausibleSuperblock(sb) == flaws.htfsWordZero) std::abort();
  // The same bytes read as an inode table's first sector.
  for (const FsType type : {FsType::kNone, FsType::kEafs, FsType::kHtfs, FsType::kAfs}) {
    if (HoldsRootFolder(type, sector) && type == FsType::kNone) std::abort();
    (void)HoldsRootFolder(type, std::span<const std::byte>(sector).first(size % 512));
  }
  return 0;
}
