#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "base/settings.hpp"
#include "base/stop_token.hpp"

namespace tolvar {

enum class IdentifyOption : std::uint16_t { kUsePartitionTable = 1, kSearchPartition = 2 };

// The wizard's steps, in order; kStarting only while the window starts.
enum class WizardStep : std::int32_t { kStarting = -1, kDisk = 0, kVolume = 1, kFiles = 2 };

// Shared between the front end and the one worker that runs at a time. The two
// flags are read and written from both threads; relaxed atomics suffice.
struct WizardState {
  WizardStep step = WizardStep::kDisk;
  IdentifyOption identifyOption = IdentifyOption::kUsePartitionTable;
  std::uint32_t rangeStart = 0;
  std::uint32_t rangeEnd = 0;
  RecoveryMode recoveryMode = RecoveryMode::kNormal;
  std::atomic<std::int32_t> stopRequested{0};
  std::atomic<std::int32_t> workerBusy{0};
  std::int32_t treeHasFocus = 0;
  std::int32_t renaming = 0;
  std::int32_t openWith = 0;
  std::string startDirectory;  // always ends in a path separator

  [[nodiscard]] bool StopRequested() const {
    return stopRequested.load(std::memory_order_relaxed) != 0;
  }
  void RequestStop() { stopRequested.store(1, std::memory_order_relaxed); }
  void ClearStop() { stopRequested.store(0, std::memory_order_relaxed); }
  void SetBusy(bool busy) { workerBusy.store(busy ? 1 : 0, std::memory_order_relaxed); }
  [[nodiscard]] bool Busy() const { return workerBusy.load(std::memory_order_relaxed) != 0; }
  // The engine's view of the stop flag.
  [[nodiscard]] StopToken Stop() { return StopToken(stopRequested); }
};

}  // namespace tolvar
