#pragma once

// A reader's own read path over the drive table's current drive: windows
// read ahead as its shape says, with the drive table's retries, zero-fill
// and bad-sector record above them, so that what a reader gets and what is
// recorded never depend on the read-ahead. Each reader keeps its own
// windows, so that one reader's pattern does not take another's away.

#include <array>
#include <cstdint>
#include <span>

#include "base/stop_token.hpp"
#include "disk/drive_table.hpp"
#include "disk/read_ahead_sectors.hpp"
#include "disk/retrying_sectors.hpp"

namespace tolvar {

class ReadAheadPath {
 public:
  ReadAheadPath(DriveTable& drives, ReadAheadShape shape, StopToken stop = {});
  ReadAheadPath(const ReadAheadPath&) = delete;
  ReadAheadPath& operator=(const ReadAheadPath&) = delete;

  // Reads ahead only inside [first, end) (unaimed: everywhere).
  void Aim(std::uint64_t first, std::uint64_t end) { ahead_.Aim(first, end); }
  // Forgets what was read (another volume, or another drive).
  void Forget() { ahead_.Forget(); }

  // As DriveTable::ReadSectors reads, with the failed sectors named.
  [[nodiscard]] SectorReadResult Read(std::uint64_t first, std::span<std::byte> out) {
    return policy_.Read(first, out);
  }
  // The 512 bytes of `sector`, valid until the next call: zeros where
  // nothing reads.
  [[nodiscard]] std::span<const std::byte> Sector(std::uint64_t sector);

  [[nodiscard]] ReadAheadSectors& Ahead() { return ahead_; }

 private:
  ReadAheadSectors ahead_;
  RetryingSectors policy_;
  std::array<std::byte, kSectorSize> single_{};
};

}  // namespace tolvar
