#pragma once

#include <atomic>
#include <cstdint>

namespace tolvar {

// A stop request shared between whoever may ask for a stop (a window's Stop
// button, Ctrl-C) and the one long operation that polls it. Unlike
// std::stop_source it can be cleared again: a worker clears it between the
// phases of one run, so that a stop shortens only the phase it came in.
class StopFlag {
 public:
  void RequestStop() { requested_.store(1, std::memory_order_relaxed); }
  void Clear() { requested_.store(0, std::memory_order_relaxed); }
  [[nodiscard]] bool Requested() const { return requested_.load(std::memory_order_relaxed) != 0; }
  // The underlying word, for an owner that keeps the flag inside its own
  // state (the wizard's `stopRequested`).
  [[nodiscard]] std::atomic<std::int32_t>& Word() { return requested_; }

 private:
  std::atomic<std::int32_t> requested_{0};
};

// What an operation is handed: a view of someone's stop word. A default
// token never stops. Copies see the same word. The word must outlive every
// token made from it.
class StopToken {
 public:
  StopToken() = default;
  explicit StopToken(std::atomic<std::int32_t>& word) : word_(&word) {}
  explicit StopToken(StopFlag& flag) : word_(&flag.Word()) {}

  [[nodiscard]] bool StopRequested() const {
    return word_ != nullptr && word_->load(std::memory_order_relaxed) != 0;
  }
  // The operation's own uses: clearing between phases, and stopping itself
  // (e.g. on reaching a limit) the way a user's request would.
  void Clear() const {
    if (word_ != nullptr) word_->store(0, std::memory_order_relaxed);
  }
  void RequestStop() const {
    if (word_ != nullptr) word_->store(1, std::memory_order_relaxed);
  }

 private:
  std::atomic<std::int32_t>* word_ = nullptr;
};

}  // namespace tolvar
