#include "fs/sector_read_ahead.hpp"

#include <algorithm>

namespace tolvar {

void SectorReadAhead::Aim(std::uint64_t first, std::uint64_t end) {
  regionFirst_ = first;
  regionEnd_ = std::max(first, end);
  Forget();
}

void SectorReadAhead::Forget() {
  for (Run& run : runs_) run.count = 0;
  failedCount_ = 0;
}

std::span<const std::byte> SectorReadAhead::ReadAlone(DriveTable& drives, std::uint64_t sector) {
  std::fill(single_.begin(), single_.end(), std::byte{0});
  (void)drives.ReadSectors(sector, 1, single_);
  return single_;
}

std::span<const std::byte> SectorReadAhead::Sector(DriveTable& drives, std::uint64_t sector) {
  ++uses_;
  for (Run& run : runs_) {
    if (sector - run.first < run.count) {
      run.lastUse = uses_;
      return std::span<const std::byte>(run.bytes).subspan((sector - run.first) * kSectorSize,
                                                           kSectorSize);
    }
  }
  if (sector < regionFirst_ || sector >= regionEnd_ || sector - failedFirst_ < failedCount_) {
    return ReadAlone(drives, sector);
  }
  // Runs start on whole multiples of the run length from the region's start,
  // so that lookups a little out of order still land in a run already read.
  const std::uint64_t first = sector - (sector - regionFirst_) % kRunSectors;
  const auto count =
      static_cast<std::uint32_t>(std::min<std::uint64_t>(kRunSectors, regionEnd_ - first));
  Run& run = *std::min_element(runs_.begin(), runs_.end(), [](const Run& a, const Run& b) {
    return a.lastUse < b.lastUse;
  });
  run.bytes.resize(std::size_t{kRunSectors} * kSectorSize);
  run.count = 0;
  if (!drives.TryReadSectors(first, count, run.bytes)) {
    failedFirst_ = first;
    failedCount_ = count;
    return ReadAlone(drives, sector);
  }
  run.first = first;
  run.count = count;
  run.lastUse = uses_;
  return std::span<const std::byte>(run.bytes).subspan((sector - first) * kSectorSize,
                                                       kSectorSize);
}

}  // namespace tolvar
