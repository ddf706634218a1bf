#pragma once

// The read path's layers. Every reader of a drive goes through a stack of
// sector sources: the open drive at the bottom, then, as a reader needs
// them, a read-ahead cache (read_ahead_sectors) and the retry, zero-fill
// and bad-sector policy (retrying_sectors). Each layer knows only the one
// below it, so a new cache or a new kind of drive is taught once.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "disk/block_device_source.hpp"

namespace tolvar {

// A run of absolute sectors: `first` and the `count` that follow it.
struct SectorRun {
  std::uint64_t first = 0;
  std::uint64_t count = 0;
  friend bool operator==(const SectorRun&, const SectorRun&) = default;
};

// What a read could not deliver.
struct UnreadSectors {
  // The sectors not read, ascending, adjacent ones merged. Above the policy
  // layer their bytes are zeros; below it the whole buffer is unspecified.
  std::vector<SectorRun> runs;
  // The read starts past the drive's capacity: nothing was tried and the
  // buffer was left as it was.
  bool beyondDrive = false;
  // A stop came while bad sectors were being retried: the sectors from
  // there on were given up untried and are not recorded as bad.
  bool stopped = false;

  [[nodiscard]] bool Contains(std::uint64_t sector) const;
  // Appends `sector`, merging it into the last run when it follows it.
  void Add(std::uint64_t sector);
};

using SectorReadResult = std::expected<void, UnreadSectors>;

// Whole sectors of one drive, read-only.
class SectorSource {
 public:
  virtual ~SectorSource() = default;

  // The sectors that exist. A read past them fails; those failures are not
  // damage of the drive.
  [[nodiscard]] virtual std::uint64_t SectorCount() const = 0;
  // One past the last sector a request may start at (the drive's capacity):
  // the policy refuses requests from here on without trying them. A request
  // that starts below may reach past it.
  [[nodiscard]] virtual std::uint64_t RequestEnd() const { return ~std::uint64_t{0}; }
  // Where large speculative reads must stop: nothing from here on is read
  // ahead (0: nothing is). At most SectorCount().
  [[nodiscard]] virtual std::uint64_t ReadAheadEnd() const { return SectorCount(); }
  // Makes the drive readable where that is done on demand; false when
  // nothing can be read at all (no drive open).
  [[nodiscard]] virtual bool Ready() { return true; }
  // Fills `out` (a whole number of sectors) from sector `first`.
  [[nodiscard]] virtual SectorReadResult Read(std::uint64_t first, std::span<std::byte> out) = 0;
  // The host file holding `count` sectors from `first` unchanged, for copies
  // made by the kernel; nothing when any layer would alter or cannot vouch
  // for what a read gives there.
  [[nodiscard]] virtual std::optional<FileSpan> FileBacking(std::uint64_t /*first*/,
                                                            std::uint64_t /*count*/) const {
    return std::nullopt;
  }
};

// A layer over another source: everything it does not change is the lower
// source's, so a layer overrides only what it adds.
class SectorSourceLayer : public SectorSource {
 public:
  explicit SectorSourceLayer(SectorSource& lower) : lower_(lower) {}

  [[nodiscard]] std::uint64_t SectorCount() const override { return lower_.SectorCount(); }
  [[nodiscard]] std::uint64_t RequestEnd() const override { return lower_.RequestEnd(); }
  [[nodiscard]] std::uint64_t ReadAheadEnd() const override { return lower_.ReadAheadEnd(); }
  [[nodiscard]] bool Ready() override { return lower_.Ready(); }
  [[nodiscard]] SectorReadResult Read(std::uint64_t first, std::span<std::byte> out) override {
    return lower_.Read(first, out);
  }
  [[nodiscard]] std::optional<FileSpan> FileBacking(std::uint64_t first,
                                                    std::uint64_t count) const override {
    return lower_.FileBacking(first, count);
  }

 protected:
  SectorSource& lower_;
};

// A read that failed as a whole, its sectors unknown: every sector of it.
[[nodiscard]] UnreadSectors WholeRequest(std::uint64_t first, std::uint64_t count);

}  // namespace tolvar
