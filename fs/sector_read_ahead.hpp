#pragma once

// Single sectors of a region served from larger runs read ahead in one
// request: a mount asks for the inode table one sector at a time, in nearly
// ascending order, and one read of 64 KiB costs little more than one of 512
// bytes.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "disk/drive_table.hpp"

namespace tolvar {

class SectorReadAhead {
 public:
  // A few runs are kept, since a walk looks up a directory's own inode and
  // its entries' inodes, which often lie apart in the table.
  static constexpr std::uint32_t kRunSectors = 32;
  static constexpr std::size_t kRunsKept = 8;

  // Reads ahead only inside [first, end); other sectors are read alone.
  void Aim(std::uint64_t first, std::uint64_t end);

  // The 512 bytes of `sector`, valid until the next call. Reads exactly as
  // a single-sector ReadSectors would (zeros where nothing reads, retries,
  // bad sectors recorded) whenever a run does not read whole, so what the
  // caller sees and what the drive table records never depend on the
  // read-ahead.
  [[nodiscard]] std::span<const std::byte> Sector(DriveTable& drives, std::uint64_t sector);

  // Forgets what was read (another volume, or another drive).
  void Forget();

 private:
  [[nodiscard]] std::span<const std::byte> ReadAlone(DriveTable& drives, std::uint64_t sector);

  std::uint64_t regionFirst_ = 0;
  std::uint64_t regionEnd_ = 0;
  struct Run {
    std::vector<std::byte> bytes;
    std::uint64_t first = 0;
    std::uint32_t count = 0;
    std::uint64_t lastUse = 0;
  };
  std::array<Run, kRunsKept> runs_{};
  std::uint64_t uses_ = 0;
  // The last run that did not read whole: its sectors are read alone.
  std::uint64_t failedFirst_ = 0;
  std::uint32_t failedCount_ = 0;
  std::array<std::byte, kSectorSize> single_{};
};

}  // namespace tolvar
