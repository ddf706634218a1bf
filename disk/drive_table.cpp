#include "disk/drive_table.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
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
  const std::size_t bytes = std::size_t{count} * kSectorSize;
  if (buffer.size() < bytes) return false;
  const auto read = policy_.Read(sector, buffer.first(bytes));
  // Reported as before the read path had layers: whether the last sector read.
  return read ||
         (!read.error().beyondDrive && !read.error().Contains(sector + count - 1) && count != 0);
}

std::optional<FileSpan> DriveTable::FileBacking(std::uint64_t sector, std::uint64_t count) const {
  return policy_.FileBacking(sector, count);
}

std::uint64_t DriveTable::DriveSectors::SectorCount() const {
  return table_.open_ ? table_.open_->LengthBytes() / kSectorSize : 0;
}

std::uint64_t DriveTable::DriveSectors::RequestEnd() const {
  // Only the first sector is tested against the capacity: a run may reach past it.
  if (table_.currentDrive >= kSlotCount) return 0;
  return table_.slots_[table_.currentDrive].totalSectors + 1;
}

std::uint64_t DriveTable::DriveSectors::ReadAheadEnd() const {
  // The legacy libraries read through their own path, one request as asked.
  if (table_.route_ == DiskRoute::kLegacyBios || !table_.open_) return 0;
  return std::min(SectorCount(), RequestEnd());
}

bool DriveTable::DriveSectors::Ready() {
  CheckDiskReadAllowed();
  // The legacy libraries need no open: a read goes to whichever drive is
  // current, as the BIOS numbers it.
  if (table_.route_ == DiskRoute::kLegacyBios && table_.provider_ &&
      (!table_.open_ || table_.openDrive_ != table_.currentDrive)) {
    (void)table_.OpenCurrentDrive();
  }
  return table_.open_ != nullptr;
}

SectorReadResult DriveTable::DriveSectors::Read(std::uint64_t first, std::span<std::byte> out) {
  CheckDiskReadAllowed();
  const std::uint64_t count = out.size() / kSectorSize;
  if (!table_.open_ || first > ~std::uint64_t{0} / kSectorSize) {
    return std::unexpected(WholeRequest(first, count));
  }
  if (!table_.open_->ReadAt(first * kSectorSize, out)) {
    return std::unexpected(WholeRequest(first, count));
  }
  return {};
}

std::optional<FileSpan> DriveTable::DriveSectors::FileBacking(std::uint64_t first,
                                                              std::uint64_t count) const {
  if (table_.route_ == DiskRoute::kLegacyBios || !table_.open_ ||
      table_.currentDrive >= kSlotCount || table_.openDrive_ != table_.currentDrive || count == 0) {
    return std::nullopt;
  }
  const std::uint64_t existing = SectorCount();
  if (first >= existing || existing - first < count) return std::nullopt;
  if (first + count - 1 > table_.slots_[table_.currentDrive].totalSectors) return std::nullopt;
  return table_.open_->FileBacking(first * kSectorSize, count * kSectorSize);
}

}  // namespace tolvar
