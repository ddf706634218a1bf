#pragma once

// Signals that end a long command cleanly. While a StopOnSignals lives,
// SIGINT (Ctrl-C), SIGTERM and SIGHUP (a closed terminal or a dropped
// remote session) only set the command's stop flag, so the command winds
// down, removes what it had half written and still writes its report; a
// second such signal ends the process at once. SIGXFSZ is ignored, so a
// write past the file-size limit fails with EFBIG and is handled like a full
// disk instead of killing the process.

#include <atomic>
#include <csignal>
#include <cstdint>

namespace tolvar::cli {

class StopOnSignals {
 public:
  explicit StopOnSignals(std::atomic<std::int32_t>& stopFlag);
  ~StopOnSignals();
  StopOnSignals(const StopOnSignals&) = delete;
  StopOnSignals& operator=(const StopOnSignals&) = delete;

  // The signal that asked for the stop, 0 when none came.
  [[nodiscard]] static int ReceivedSignal();

 private:
  static constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
  struct sigaction previous_[3]{};
  struct sigaction previousFileSize_ {};
};

}  // namespace tolvar::cli
