#pragma once

#include <cstdint>
#include <expected>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "base/error.hpp"
#include "disk/block_device_source.hpp"

namespace tolvar {

// Faults a test can ask of a drive.
struct FaultPlan {
  std::set<std::uint64_t> neverReadable{};  // these sectors never read
  // sector -> k: the sector reads from its k-th try on. A try is a read of
  // that sector alone; a longer read that includes it fails until then.
  std::map<std::uint64_t, unsigned> readableOnAttempt{};
  bool bulkReadsFail = false;  // reads of more than one sector fail; single sectors succeed
  std::uint64_t truncateToSectors = 0;  // non-zero: the data ends here, the geometry stays
};

// Loads a sidecar listing unreadable sectors: one sector "N" or inclusive
// range "N-M" per line, blank lines and "#" comments allowed.
[[nodiscard]] std::expected<FaultPlan, Error> LoadFaultPlan(const std::string& path);

// Wraps `inner` so that reads obey `plan`. Every single-sector try counts,
// so retry logic can be observed. A failed read leaves `out` untouched.
[[nodiscard]] std::unique_ptr<BlockDeviceSource> MakeFaultInjectingSource(
    std::shared_ptr<BlockDeviceSource> inner, FaultPlan plan);

}  // namespace tolvar
