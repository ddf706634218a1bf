#pragma once

#include <cstdint>
#include <expected>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "app/state/error.hpp"
#include "disk/block_device_source.hpp"

namespace tolvar {

// Faults a test can ask of a drive.
struct FaultPlan {
  std::set<std::uint64_t> neverReadable;               // these sectors never read
  std::map<std::uint64_t, unsigned> readableOnAttempt;  // sector -> k: reads only on the k-th try
  bool bulkReadsFail = false;  // reads of more than one sector fail; single sectors succeed
  std::uint64_t truncateToSectors = 0;  // non-zero: the data ends here, the geometry stays
};

// Loads a sidecar listing unreadable sectors: one sector "N" or inclusive
// range "N-M" per line, blank lines and "#" comments allowed.
[[nodiscard]] std::expected<FaultPlan, Error> LoadFaultPlan(const std::string& path);

// Wraps `inner` so that reads obey `plan`. Every attempt on a sector counts,
// so retry logic can be observed.
[[nodiscard]] std::unique_ptr<BlockDeviceSource> MakeFaultInjectingSource(
    std::shared_ptr<BlockDeviceSource> inner, FaultPlan plan);

}  // namespace tolvar
