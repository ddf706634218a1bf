#pragma once

// The latest call of each progress channel, kept until the view's thread
// takes them. Workers store from any thread; what is taken runs in the order
// the channels first reported.

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tolvar {

class ProgressCoalescer {
 public:
  // Keeps `call` as its channel's latest, replacing a call not yet taken.
  // True when nothing was pending before: the caller schedules a take then.
  bool Store(std::string_view channel, std::function<void()> call);
  // Every pending call, oldest channel first; the store is empty afterwards.
  [[nodiscard]] std::vector<std::function<void()>> Take();
  [[nodiscard]] bool Empty() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<std::string, std::function<void()>>> pending_;
};

}  // namespace tolvar
