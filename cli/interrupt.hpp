#pragma once

#include <signal.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <thread>

#include "base/stop_token.hpp"

namespace tolvar::cli {

// What Ctrl-C (SIGINT), SIGTERM and SIGHUP (a closed terminal or a dropped
// remote session) do to a command: request a stop of the long operation
// under way, and remember that they came (the operation may clear its stop
// flag between phases; the command still knows). The command then winds
// down, removes what it had half written and writes its report. A second
// signal, or a first one the operation has not honoured within
// kInterruptGrace, ends the process at once, after `beforeForcedExit` has
// written what the command's report holds so far.
struct Interrupts {
  StopFlag stop;
  std::atomic<std::int32_t> received{0};
  StopToken target;  // what a signal stops: `stop` unless a scope names another word
  // Run on the scope's watchdog thread, never in the signal handler, while
  // the operation may still be running: it must take no lock the operation
  // could hold.
  std::function<void()> beforeForcedExit;
  // The write end of the scope's wake-up pipe, for the signal handler.
  std::atomic<int> wakeFd{-1};

  [[nodiscard]] bool Received() const { return received.load(std::memory_order_relaxed) != 0; }
};

// How long an operation may take to stop after the first signal.
inline constexpr int kInterruptGraceMilliseconds = 5000;

// Routes SIGINT, SIGTERM and SIGHUP to `interrupts` while it lives, and
// ignores SIGXFSZ, so that a write past the file-size limit fails with EFBIG
// and is handled like a full disk instead of killing the process. A signal
// handler may only touch lock-free atomics and write(2), so it reaches them
// through one pointer that is set for the scope's duration only, and wakes
// the scope's watchdog thread through a pipe; the watchdog ends the process
// when the operation does not stop in time.
class InterruptScope {
 public:
  // Signals request a stop of `interrupts.stop`, or of `target` when given.
  explicit InterruptScope(Interrupts& interrupts, std::optional<StopToken> target = {});
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

 private:
  void Watch();

  Interrupts& interrupts_;
  Interrupts* previousTarget_;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  std::thread watchdog_;
  struct sigaction previousInt_ {};
  struct sigaction previousTerm_ {};
  struct sigaction previousHangup_ {};
  struct sigaction previousFileSize_ {};
};

// The exit status of a command ended by an interrupt.
inline constexpr int kExitInterrupted = 130;

}  // namespace tolvar::cli
