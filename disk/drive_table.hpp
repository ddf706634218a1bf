#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "base/error.hpp"
#include "base/settings.hpp"
#include "disk/bad_sector_list.hpp"
#include "disk/block_device_source.hpp"
#include "disk/retrying_sectors.hpp"
#include "disk/sector_source.hpp"

namespace tolvar {

class LegacyBiosLibrary;

struct DriveInfo {
  std::uint64_t cylinders = 0;
  std::uint32_t heads = 0;
  std::uint32_t sectorsPerTrack = 0;  // 0: no media
  // cylinders x heads x sectors, in 64 bits: a disk past 2^32 sectors (2 TiB)
  // keeps its whole capacity.
  std::uint64_t totalSectors = 0;
  std::string model;
  std::int32_t int13Extensions = 0;  // legacy route only
  std::string devicePath;            // where the drive was found (image path, /dev node)
  unsigned deviceNumber = 0;         // the number the provider knows the drive by
};

// The drives found at start-up, the open drive and the sector reads. The
// settings are read for the retry count at each failed run.
class DriveTable {
 public:
  static constexpr std::size_t kSlotCount = 32;

  explicit DriveTable(const RecoverySettings& settings);
  ~DriveTable();
  DriveTable(const DriveTable&) = delete;
  DriveTable& operator=(const DriveTable&) = delete;

  // NT-family route: probes the provider's drives in order and fills slots.
  void EnumerateDrives(std::unique_ptr<DriveProvider> provider);
  // Legacy BIOS route over loaded libraries (a provider of its own: reads
  // take the same path as on the other route).
  void EnumerateDrives(std::unique_ptr<LegacyBiosLibrary> library);

  // Closes the open drive, then opens `currentDrive` for reading. Returns
  // whether the open succeeded; on failure every read fails.
  bool OpenCurrentDrive();
  [[nodiscard]] bool IsOpen() const;
  // Reads `count` sectors from `sector` of the current drive into `buffer`
  // (at least count x 512 bytes). A failed run, on either route, falls back to
  // single sectors with retries; a sector that never reads is zero-filled and
  // recorded in BadSectors(). Returns false when the first sector lies past
  // the capacity (buffer untouched), when no drive is open, or when the last
  // single-sector read made failed.
  bool ReadSectors(std::uint64_t sector, std::uint32_t count, std::span<std::byte> buffer);
  // The host file holding `count` sectors from `sector` of the current
  // drive unchanged, for copies made by the kernel: nothing when the drive
  // is not a plain file, the run reaches past the capacity, or any sector
  // of it is known to be unreadable (those go through ReadSectors).
  [[nodiscard]] std::optional<FileSpan> FileBacking(std::uint64_t sector,
                                                    std::uint64_t count) const;
  void CloseDrive();

  // The current drive as a sector source with no retries, for readers that
  // stack layers of their own over it (a read-ahead, then the policy).
  [[nodiscard]] SectorSource& Sectors() { return device_; }
  // The drive table's own read path: the policy straight over the drive.
  [[nodiscard]] SectorSource& Policy() { return policy_; }
  [[nodiscard]] const RecoverySettings& Settings() const { return settings_; }

  [[nodiscard]] const DriveInfo& Slot(std::size_t index) const { return slots_.at(index); }
  [[nodiscard]] DriveInfo& Slot(std::size_t index) { return slots_.at(index); }
  [[nodiscard]] const DriveInfo& Current() const { return slots_.at(currentDrive); }
  [[nodiscard]] DiskRoute Route() const { return route_; }
  [[nodiscard]] BadSectorList& BadSectors() { return badSectors_; }
  [[nodiscard]] const BadSectorList& BadSectors() const { return badSectors_; }
  // Why the last OpenCurrentDrive() failed (nothing after a success), e.g.
  // a device node without read permission, named in the message.
  [[nodiscard]] const std::optional<Error>& LastOpenError() const { return lastOpenError_; }
  // The open drive's true length in bytes (0 when none is open).
  [[nodiscard]] std::uint64_t OpenLengthBytes() const;

  std::uint16_t listedCount = 0;
  std::uint16_t currentDrive = 0;

 private:
  // The open drive as the bottom of every read path: the capacity, the
  // legacy route's open on demand, the kernel copy's file spans.
  class DriveSectors final : public SectorSource {
   public:
    explicit DriveSectors(DriveTable& table) : table_(table) {}
    [[nodiscard]] std::uint64_t SectorCount() const override;
    [[nodiscard]] std::uint64_t RequestEnd() const override;
    [[nodiscard]] std::uint64_t ReadAheadEnd() const override;
    [[nodiscard]] bool Ready() override;
    [[nodiscard]] SectorReadResult Read(std::uint64_t first, std::span<std::byte> out) override;
    [[nodiscard]] std::optional<FileSpan> FileBacking(std::uint64_t first,
                                                      std::uint64_t count) const override;

   private:
    DriveTable& table_;
  };

  const RecoverySettings& settings_;
  std::array<DriveInfo, kSlotCount> slots_{};
  DiskRoute route_ = DiskRoute::kNtFamily;
  std::unique_ptr<DriveProvider> provider_;
  std::unique_ptr<BlockDeviceSource> open_;
  std::uint16_t openDrive_ = 0;  // the slot `open_` was opened for
  BadSectorList badSectors_;
  std::optional<Error> lastOpenError_;
  DriveSectors device_{*this};
  RetryingSectors policy_{device_, settings_, badSectors_};
};

}  // namespace tolvar
