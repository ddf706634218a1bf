#include "app/progress_coalescer.hpp"

#include <algorithm>

namespace tolvar {

bool ProgressCoalescer::Store(std::string_view channel, std::function<void()> call) {
  const std::lock_guard lock(mutex_);
  // A handful of channels at most: a linear look-up is the cheapest.
  const auto found = std::find_if(pending_.begin(), pending_.end(),
                                  [channel](const auto& entry) { return entry.first == channel; });
  if (found != pending_.end()) {
    found->second = std::move(call);
    return false;
  }
  const bool first = pending_.empty();
  pending_.emplace_back(std::string(channel), std::move(call));
  return first;
}

std::vector<std::function<void()>> ProgressCoalescer::Take() {
  std::vector<std::pair<std::string, std::function<void()>>> taken;
  {
    const std::lock_guard lock(mutex_);
    taken.swap(pending_);
  }
  std::vector<std::function<void()>> calls;
  calls.reserve(taken.size());
  for (auto& entry : taken) calls.push_back(std::move(entry.second));
  return calls;
}

bool ProgressCoalescer::Empty() const {
  const std::lock_guard lock(mutex_);
  return pending_.empty();
}

}  // namespace tolvar
