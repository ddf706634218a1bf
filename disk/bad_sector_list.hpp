#pragma once

#include <cstdint>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

namespace tolvar {

// Sectors that stayed unreadable after every retry, in ascending order.
class BadSectorList {
 public:
  void Record(std::uint64_t sector);
  [[nodiscard]] bool Contains(std::uint64_t sector) const;
  [[nodiscard]] std::size_t Size() const;
  [[nodiscard]] std::vector<std::uint64_t> Sectors() const;
  // The bad sectors in [first, first + count), merged into runs (first, length).
  [[nodiscard]] std::vector<std::pair<std::uint64_t, std::uint64_t>> RunsIn(
      std::uint64_t first, std::uint64_t count) const;
  void Clear();

 private:
  mutable std::mutex mutex_;
  std::set<std::uint64_t> sectors_;
};

}  // namespace tolvar
