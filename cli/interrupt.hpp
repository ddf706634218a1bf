#pragma once

#include <signal.h>

#include <atomic>
#include <cstdint>
#include <optional>

#include "base/stop_token.hpp"

namespace tolvar::cli {

// What Ctrl-C (SIGINT) and SIGTERM do to a command: request a stop of the
// long operation under way, and remember that they came (the operation may
// clear its stop flag between phases; the command still knows).
struct Interrupts {
  StopFlag stop;
  std::atomic<std::int32_t> received{0};
  StopToken target;  // what a signal stops: `stop` unless a scope names another word

  [[nodiscard]] bool Received() const { return received.load(std::memory_order_relaxed) != 0; }
};

// Routes SIGINT and SIGTERM to `interrupts` while it lives. A signal handler
// may only touch lock-free atomics, so it reaches them through one pointer
// that is set for the scope's duration only.
class InterruptScope {
 public:
  // Signals request a stop of `interrupts.stop`, or of `target` when given.
  explicit InterruptScope(Interrupts& interrupts, std::optional<StopToken> target = {});
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

 private:
  Interrupts* previousTarget_;
  struct sigaction previousInt_ {};
  struct sigaction previousTerm_ {};
};

// The exit status of a command ended by an interrupt.
inline constexpr int kExitInterrupted = 130;

}  // namespace tolvar::cli
