#include "disk/drive_table.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

#include "base/thread_role.hpp"
#include "disk/legacy_bios.hpp"

namespace tolvar {

DriveTable::DriveTable(const RecoverySettings& settings) : settings_(settings) {}
DriveTable::~DriveTable() = default;

void DriveTable::EnumerateDrives(std::unique_ptr<DriveProvider> provider) {
  route_ = DiskRoute::kNtFamily;
  provider_ = std::move(provider);
  open_.reset();
  slots_ = {};
  listedCount = 0;
  if (!provider_) return;
  // Drives with media take the first slots in probe order, so that the
  // listed slots 0 to listedCount - 1 are exactly the readable drives; a
  // drive without media never hides one that has media. Slots without media
  // follow them.
  std::vector<DriveInfo> withMedia;
  std::vector<DriveInfo> withoutMedia;
  const unsigned limit = provider_->ProbeLimit();
  for (unsigned n = 0; n < limit && withMedia.size() + withoutMedia.size() < kSlotCount; ++n) {
    auto description = provider_->Probe(n);
    if (!description) continue;  // no such drive, or it cannot be described
    DriveInfo slot;
    slot.devicePath = description->path;
    slot.deviceNumber = n;
    const DeviceGeometry& g = description->geometry;
    if (g.sectorsPerTrack != 0) {
      // The capacity is the geometric size, multiplied in 64 bits.
      slot.cylinders = g.cylinders;
      slot.heads = g.heads;
      slot.sectorsPerTrack = g.sectorsPerTrack;
      slot.totalSectors = slot.cylinders * slot.heads * std::uint64_t{slot.sectorsPerTrack};
      slot.model = description->onUsb ? "USB Device" : description->productId;
      withMedia.push_back(std::move(slot));
    } else {
      slot.model = "Media missing or not inserted";
      withoutMedia.push_back(std::move(slot));
    }
  }
  std::size_t filled = 0;
  for (auto* group : {&withMedia, &withoutMedia}) {
    for (auto& slot : *group) slots_[filled++] = std::move(slot);
  }
  listedCount = static_cast<std::uint16_t>(withMedia.size());
}

void DriveTable::EnumerateDrives(std::unique_ptr<LegacyBiosLibrary> library) {
  route_ = DiskRoute::kLegacyBios;
  provider_.reset();
  open_.reset();
  slots_ = {};
  listedCount = 0;
  if (!library) return;
  provider_ = MakeLegacyBiosProvider(std::move(library), kSlotCount);
  // Every drive the library reports is listed, in its order, whatever its
  // geometry says; disks beyond the 32 slots are not offered.
  const unsigned limit = provider_->ProbeLimit();
  for (unsigned n = 0; n < limit; ++n) {
    auto description = provider_->Probe(n);
    if (!description) continue;
    DriveInfo& slot = slots_[listedCount++];
    slot.int13Extensions = description->int13Extensions;
    slot.cylinders = description->geometry.cylinders;
    slot.heads = description->geometry.heads;
    slot.sectorsPerTrack = description->geometry.sectorsPerTrack;
    slot.totalSectors = slot.cylinders * slot.heads * std::uint64_t{slot.sectorsPerTrack};
    slot.model = description->productId;
    slot.deviceNumber = n;
  }
}

bool DriveTable::OpenCurrentDrive() {
  CheckDiskReadAllowed();
  CloseDrive();
  lastOpenError_.reset();
  auto fail = [this](std::string message) {
    lastOpenError_ = Error{ErrorCode::kNotFound, std::move(message), std::nullopt};
    return false;
  };
  if (!provider_) return fail("no drives were enumerated");
  if (currentDrive >= kSlotCount) return fail(fmt::format("no drive {}", currentDrive));
  const DriveInfo& slot = slots_[currentDrive];
  // The legacy libraries answer for any BIOS drive number; the other route
  // opens only drives with media.
  const bool legacy = route_ == DiskRoute::kLegacyBios;
  if (!legacy && slot.sectorsPerTrack == 0) {
    return fail(slot.devicePath.empty() ? fmt::format("no drive {}", currentDrive)
                                        : fmt::format("{}: no media", slot.devicePath));
  }
  auto source = provider_->OpenForReading(legacy ? currentDrive : slot.deviceNumber);
  if (!source) {
    lastOpenError_ = source.error();
    return false;
  }
  open_ = std::move(*source);
  openDrive_ = currentDrive;
  return true;
}

bool DriveTable::IsOpen() const { return open_ != nullptr; }

void DriveTable::CloseDrive() { open_.reset(); }

std::uint64_t DriveTable::OpenLengthBytes() const { return open_ ? open_->LengthBytes() : 0; }

bool DriveTable::ReadSectors(std::uint64_t sector, std::uint32_t count,
                             std::span<std::byte> buffer) {
  CheckDiskReadAllowed();
  if (currentDrive >= kSlotCount) return false;
  // Only the first sector is tested against the capacity: a run may reach past it.
  if (sector > slots_[currentDrive].totalSectors) return false;
  const std::size_t bytes = std::size_t{count} * kSectorSize;
  if (buffer.size() < bytes) return false;
  buffer = buffer.first(bytes);
  // The legacy libraries need no open: a read goes to whichever drive is
  // current, as the BIOS numbers it.
  if (route_ == DiskRoute::kLegacyBios && provider_ && (!open_ || openDrive_ != currentDrive)) {
    (void)OpenCurrentDrive();
  }
  if (!open_) {
    // Nothing can be read: never let a caller see an earlier read as this one.
    std::fill(buffer.begin(), buffer.end(), std::byte{0});
    return false;
  }
  if (open_->ReadAt(sector * kSectorSize, buffer)) return true;
  return RetrySingly(sector, count, buffer, open_->LengthBytes() / kSectorSize,
                     [this](std::uint64_t s, std::span<std::byte> one) {
                       return open_->ReadAt(s * kSectorSize, one).has_value();
                     });
}

bool DriveTable::TryReadSectors(std::uint64_t sector, std::uint32_t count,
                                std::span<std::byte> buffer) {
  CheckDiskReadAllowed();
  // The legacy libraries read through their own path: leave them to
  // ReadSectors, which also opens the drive they name.
  if (route_ == DiskRoute::kLegacyBios || !open_ || currentDrive >= kSlotCount) return false;
  const std::size_t bytes = std::size_t{count} * kSectorSize;
  if (count == 0 || buffer.size() < bytes) return false;
  const std::uint64_t existing = open_->LengthBytes() / kSectorSize;
  if (sector >= existing || existing - sector < count) return false;
  // ReadSectors refuses a sector past the capacity: so does every sector here.
  if (sector + count - 1 > slots_[currentDrive].totalSectors) return false;
  return open_->ReadAt(sector * kSectorSize, buffer.first(bytes)).has_value();
}

std::optional<FileSpan> DriveTable::FileBacking(std::uint64_t sector, std::uint64_t count) const {
  if (route_ == DiskRoute::kLegacyBios || !open_ || currentDrive >= kSlotCount ||
      openDrive_ != currentDrive || count == 0) {
    return std::nullopt;
  }
  const std::uint64_t existing = open_->LengthBytes() / kSectorSize;
  if (sector >= existing || existing - sector < count) return std::nullopt;
  if (sector + count - 1 > slots_[currentDrive].totalSectors) return std::nullopt;
  if (!badSectors_.RunsIn(sector, count).empty()) return std::nullopt;
  return open_->FileBacking(sector * kSectorSize, count * kSectorSize);
}

bool DriveTable::RetrySingly(
    std::uint64_t sector, std::uint32_t count, std::span<std::byte> buffer,
    std::uint64_t existingSectors,
    const std::function<bool(std::uint64_t, std::span<std::byte>)>& readOne) {
  const unsigned attempts = std::max<unsigned>(1, settings_.badSectorRetries);
  bool lastOk = false;
  for (std::uint32_t i = 0; i < count; ++i) {
    auto one = buffer.subspan(std::size_t{i} * kSectorSize, kSectorSize);
    lastOk = false;
    for (unsigned attempt = 0; attempt < attempts && !lastOk; ++attempt) {
      lastOk = readOne(sector + i, one);
    }
    if (!lastOk) {
      // Never let a caller see what an earlier read left here as this sector.
      std::fill(one.begin(), one.end(), std::byte{0});
      // Sectors past the drive's end do not exist; they are not bad sectors.
      if (sector + i < existingSectors) badSectors_.Record(sector + i);
    }
  }
  return lastOk;
}

}  // namespace tolvar
