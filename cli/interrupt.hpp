#pragma once

#include <signal.h>

#include <atomic>
#include <cstdint>
#include <optional>

#include "base/stop_token.hpp"

namespace tolvar::cli {

// What Ctrl-C (SIGINT), SIGTERM and SIGHUP (a closed terminal or a dropped
// remote session) do to a command: request a stop of the long operation
// under way, and remember that they came (the operation may clear its stop
// flag between phases; the command still knows). The command then winds
// down, removes what it had half written and writes its report; a second
// signal while the first is pending ends the process at once.
struct Interrupts {
  StopFlag stop;
  std::atomic<std::int32_t> received{0};
  StopToken target;  // what a signal stops: `stop` unless a scope names another word

  [[nodiscard]] bool Received() const { return received.load(std::memory_order_relaxed) != 0; }
};

// Routes SIGINT, SIGTERM and SIGHUP to `interrupts` while it lives, and
// ignores SIGXFSZ, so that a write past the file-size limit fails with EFBIG
// and is handled like a full disk instead of killing the process. A signal
// handler may only touch lock-free atomics, so it reaches them through one
// pointer that is set for the scope's duration only.
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
  struct sigaction previousHangup_ {};
  struct sigaction previousFileSize_ {};
};

// The exit status of a command ended by an interrupt.
inline constexpr int kExitInterrupted = 130;

}  // namespace tolvar::cli
