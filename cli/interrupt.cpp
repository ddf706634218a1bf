#include "cli/interrupt.hpp"

namespace tolvar::cli {

namespace {

// The one place a signal handler can reach; set only inside an InterruptScope.
std::atomic<Interrupts*> interruptTarget{nullptr};

extern "C" void OnInterrupt(int) {
  Interrupts* target = interruptTarget.load(std::memory_order_relaxed);
  if (target == nullptr) return;
  target->received.store(1, std::memory_order_relaxed);
  target->target.RequestStop();
}

}  // namespace

InterruptScope::InterruptScope(Interrupts& interrupts, std::optional<StopToken> target)
    : previousTarget_(nullptr) {
  interrupts.target = target.value_or(StopToken(interrupts.stop));
  previousTarget_ = interruptTarget.exchange(&interrupts, std::memory_order_seq_cst);
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, &previousInt_);
  ::sigaction(SIGTERM, &action, &previousTerm_);
}

InterruptScope::~InterruptScope() {
  ::sigaction(SIGINT, &previousInt_, nullptr);
  ::sigaction(SIGTERM, &previousTerm_, nullptr);
  interruptTarget.store(previousTarget_, std::memory_order_relaxed);
}

}  // namespace tolvar::cli
