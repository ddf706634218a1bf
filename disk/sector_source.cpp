#include "disk/sector_source.hpp"

namespace tolvar {

bool UnreadSectors::Contains(std::uint64_t sector) const {
  for (const SectorRun& run : runs) {
    if (sector >= run.first && sector - run.first < run.count) return true;
  }
  return false;
}

void UnreadSectors::Add(std::uint64_t sector) {
  if (!runs.empty() && runs.back().first + runs.back().count == sector) {
    ++runs.back().count;
  } else {
    runs.push_back({sector, 1});
  }
}

UnreadSectors WholeRequest(std::uint64_t first, std::uint64_t count) {
  UnreadSectors unread;
  if (count != 0) unread.runs.push_back({first, count});
  return unread;
}

}  // namespace tolvar
