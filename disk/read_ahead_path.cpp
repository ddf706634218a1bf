#include "disk/read_ahead_path.hpp"

#include <algorithm>

namespace tolvar {

ReadAheadPath::ReadAheadPath(DriveTable& drives, ReadAheadShape shape, StopToken stop)
    : ahead_(drives.Sectors(), shape),
      policy_(ahead_, drives.Settings(), drives.BadSectors(), stop) {}

std::span<const std::byte> ReadAheadPath::Sector(std::uint64_t sector) {
  // A window that holds the sector serves it without a copy.
  if (const auto held = ahead_.Held(sector, 1); !held.empty()) return held;
  std::fill(single_.begin(), single_.end(), std::byte{0});
  (void)policy_.Read(sector, single_);
  return single_;
}

}  // namespace tolvar
