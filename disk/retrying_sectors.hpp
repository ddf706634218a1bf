#pragma once

// The read policy: a read that fails as a whole is retried sector by
// sector, each the configured number of times; a sector that never reads
// is zero-filled, so a caller never sees stale bytes as data, and recorded
// as bad (unless it lies past the drive's end, where nothing exists).

#include <cstdint>
#include <span>

#include "base/settings.hpp"
#include "base/stop_token.hpp"
#include "disk/bad_sector_list.hpp"
#include "disk/sector_source.hpp"

namespace tolvar {

class RetryingSectors final : public SectorSourceLayer {
 public:
  // The retry count is read from `settings` at each failed read. A stop
  // ends the retries at once; what is left is zero-filled, reported and
  // not recorded.
  RetryingSectors(SectorSource& lower, const RecoverySettings& settings, BadSectorList& badSectors,
                  StopToken stop = {});

  // Fails with the sectors that stayed unreadable (zeros in `out`); a read
  // that starts past the drive's capacity fails at once and leaves `out`
  // untouched; with no drive to read, `out` is zeros and nothing is tried.
  [[nodiscard]] SectorReadResult Read(std::uint64_t first, std::span<std::byte> out) override;
  // Nothing where a sector is known to be bad: those must read as zeros.
  [[nodiscard]] std::optional<FileSpan> FileBacking(std::uint64_t first,
                                                    std::uint64_t count) const override;

 private:
  const RecoverySettings& settings_;
  BadSectorList& badSectors_;
  StopToken stop_;
};

}  // namespace tolvar
