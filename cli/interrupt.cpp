#include "cli/interrupt.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace tolvar::cli {

namespace {

// The one place a signal handler can reach; set only inside an InterruptScope.
std::atomic<Interrupts*> interruptTarget{nullptr};

// What the pipe carries: a signal came, or the scope ends.
constexpr char kSignalled = 's';
constexpr char kScopeEnds = 'q';

extern "C" void OnInterrupt(int signal) {
  const int savedErrno = errno;
  Interrupts* target = interruptTarget.load(std::memory_order_relaxed);
  if (target == nullptr) {
    errno = savedErrno;
    return;
  }
  const std::int32_t before = target->received.fetch_add(1, std::memory_order_relaxed);
  target->target.RequestStop();
  const int wake = target->wakeFd.load(std::memory_order_relaxed);
  if (before >= 2 || wake < 0) {
    // The watchdog did not end the process on the second signal: the
    // default action does.
    ::signal(signal, SIG_DFL);
    ::raise(signal);
  } else {
    const char byte = kSignalled;
    (void)!::write(wake, &byte, 1);
  }
  errno = savedErrno;
}

}  // namespace

InterruptScope::InterruptScope(Interrupts& interrupts, std::optional<StopToken> target)
    : interrupts_(interrupts), previousTarget_(nullptr) {
  interrupts.target = target.value_or(StopToken(interrupts.stop));
  int fds[2] = {-1, -1};
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    wakeRead_ = fds[0];
    wakeWrite_ = fds[1];
    interrupts.wakeFd.store(wakeWrite_, std::memory_order_relaxed);
    watchdog_ = std::thread([this] { Watch(); });
  }
  previousTarget_ = interruptTarget.exchange(&interrupts, std::memory_order_seq_cst);
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, &previousInt_);
  ::sigaction(SIGTERM, &action, &previousTerm_);
  ::sigaction(SIGHUP, &action, &previousHangup_);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGXFSZ, &ignore, &previousFileSize_);
}

InterruptScope::~InterruptScope() {
  ::sigaction(SIGINT, &previousInt_, nullptr);
  ::sigaction(SIGTERM, &previousTerm_, nullptr);
  ::sigaction(SIGHUP, &previousHangup_, nullptr);
  ::sigaction(SIGXFSZ, &previousFileSize_, nullptr);
  interruptTarget.store(previousTarget_, std::memory_order_seq_cst);
  interrupts_.wakeFd.store(-1, std::memory_order_relaxed);
  if (watchdog_.joinable()) {
    const char byte = kScopeEnds;
    while (::write(wakeWrite_, &byte, 1) < 0 && errno == EINTR) {
    }
    watchdog_.join();
  }
  if (wakeRead_ >= 0) ::close(wakeRead_);
  if (wakeWrite_ >= 0) ::close(wakeWrite_);
}

// Waits for signals until the scope ends. The first starts the grace
// period; a second one, or the period's end, ends the process.
void InterruptScope::Watch() {
  using Clock = std::chrono::steady_clock;
  std::optional<Clock::time_point> deadline;
  int signals = 0;
  while (true) {
    int timeout = -1;
    if (deadline) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()).count();
      timeout = static_cast<int>(std::max<long long>(left, 0));
    }
    pollfd wait{wakeRead_, POLLIN, 0};
    const int ready = ::poll(&wait, 1, timeout);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) break;  // the grace period is over
    char bytes[16];
    const ssize_t got = ::read(wakeRead_, bytes, sizeof bytes);
    if (got <= 0) {
      if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      return;
    }
    for (ssize_t i = 0; i < got; ++i) {
      if (bytes[i] == kScopeEnds) return;
      ++signals;
    }
    if (signals >= 2) break;
    if (!deadline) deadline = Clock::now() + std::chrono::milliseconds(kInterruptGraceMilliseconds);
  }
  if (interrupts_.beforeForcedExit) interrupts_.beforeForcedExit();
  constexpr char kMessage[] = "tolvar: interrupted, ended at once\n";
  (void)!::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
  ::_exit(kExitInterrupted);
}

}  // namespace tolvar::cli
