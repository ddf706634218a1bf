#include "disk/bad_sector_list.hpp"

namespace tolvar {

void BadSectorList::Record(std::uint64_t sector) {
  std::lock_guard lock(mutex_);
  sectors_.insert(sector);
}

bool BadSectorList::Contains(std::uint64_t sector) const {
  std::lock_guard lock(mutex_);
  return sectors_.contains(sector);
}

std::size_t BadSectorList::Size() const {
  std::lock_guard lock(mutex_);
  return sectors_.size();
}

std::vector<std::uint64_t> BadSectorList::Sectors() const {
  std::lock_guard lock(mutex_);
  return {sectors_.begin(), sectors_.end()};
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> BadSectorList::RunsIn(
    std::uint64_t first, std::uint64_t count) const {
  std::lock_guard lock(mutex_);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> runs;
  for (auto it = sectors_.lower_bound(first); it != sectors_.end() && *it - first < count; ++it) {
    if (!runs.empty() && runs.back().first + runs.back().second == *it) {
      ++runs.back().second;
    } else {
      runs.emplace_back(*it, 1);
    }
  }
  return runs;
}

void BadSectorList::Clear() {
  std::lock_guard lock(mutex_);
  sectors_.clear();
}

}  // namespace tolvar
