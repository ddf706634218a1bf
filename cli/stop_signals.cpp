#include "cli/stop_signals.hpp"

namespace tolvar::cli {
namespace {

// A handler may only touch lock-free atomics: it reaches the command's flag
// through this pointer, set only while a StopOnSignals lives.
std::atomic<std::atomic<std::int32_t>*> stopTarget{nullptr};
std::atomic<int> receivedSignal{0};

extern "C" void OnStopSignal(int signal) {
  std::atomic<std::int32_t>* flag = stopTarget.load(std::memory_order_relaxed);
  if (flag == nullptr) return;
  if (flag->exchange(1, std::memory_order_relaxed) != 0 &&
      receivedSignal.load(std::memory_order_relaxed) != 0) {
    // Asked twice: the default action, which ends the process.
    ::signal(signal, SIG_DFL);
    ::raise(signal);
    return;
  }
  receivedSignal.store(signal, std::memory_order_relaxed);
}

}  // namespace

StopOnSignals::StopOnSignals(std::atomic<std::int32_t>& stopFlag) {
  receivedSignal.store(0, std::memory_order_relaxed);
  stopTarget.store(&stopFlag, std::memory_order_relaxed);
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  for (std::size_t i = 0; i < std::size(kStopSignals); ++i) {
    ::sigaction(kStopSignals[i], &action, &previous_[i]);
  }
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGXFSZ, &ignore, &previousFileSize_);
}

StopOnSignals::~StopOnSignals() {
  for (std::size_t i = 0; i < std::size(kStopSignals); ++i) {
    ::sigaction(kStopSignals[i], &previous_[i], nullptr);
  }
  ::sigaction(SIGXFSZ, &previousFileSize_, nullptr);
  stopTarget.store(nullptr, std::memory_order_relaxed);
}

int StopOnSignals::ReceivedSignal() { return receivedSignal.load(std::memory_order_relaxed); }

}  // namespace tolvar::cli
