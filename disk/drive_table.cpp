#include "disk/drive_table.hpp"

#include <algorithm>
#include <cstring>

#include "disk/legacy_bios.hpp"

namespace tolvar {

DriveTable::DriveTable(const RecoverySettings& settings) : settings_(settings) {}
DriveTable::~DriveTable() = default;

void DriveTable::EnumerateDrives(std::unique_ptr<DriveProvider> provider) {
  route_ = DiskRoute::kNtFamily;
  provider_ = std::move(provider);
  legacy_.reset();
  slots_ = {};
  listedCount = 0;
  std::size_t filled = 0;
  const unsigned limit = provider_->ProbeLimit();
  for (unsigned n = 0; n < limit && filled < kSlotCount; ++n) {
    auto description = provider_->Probe(n);
    if (!description) continue;  // no such drive, or it cannot be described
    DriveInfo& slot = slots_[filled];
    slot.devicePath = description->path;
    slot.deviceNumber = n;
    const DeviceGeometry& g = description->geometry;
    if (g.sectorsPerTrack != 0) {
      slot.cylinders = static_cast<std::uint32_t>(g.cylinders);
      slot.heads = g.heads;
      slot.sectorsPerTrack = g.sectorsPerTrack;
      slot.totalSectors = slot.cylinders * slot.heads * slot.sectorsPerTrack;
      slot.model = description->onUsb ? "USB Device" : description->productId;
      ++listedCount;
    } else {
      slot.model = "Media missing or not inserted";
    }
    ++filled;
  }
}

void DriveTable::EnumerateDrives(std::unique_ptr<LegacyBiosLibrary> library) {
  route_ = DiskRoute::kLegacyBios;
  legacy_ = std::move(library);
  provider_.reset();
  slots_ = {};
  listedCount = 0;
  legacy_->FindHardDisk(&listedCount);
  // The table has 32 slots; disks beyond them are not offered.
  listedCount = std::min<std::uint16_t>(listedCount, kSlotCount);
  for (std::uint16_t i = 0; i < listedCount; ++i) {
    DriveInfo& slot = slots_[i];
    const std::int32_t bios = 0x80 + i;
    slot.int13Extensions = legacy_->CheckInt13Extension(bios);
    legacy_->GetDriveGeometry(bios, &slot.cylinders, &slot.heads, &slot.sectorsPerTrack);
    slot.totalSectors = slot.cylinders * slot.heads * slot.sectorsPerTrack;
    slot.model = "Unknown";
    slot.deviceNumber = i;
  }
}

bool DriveTable::OpenCurrentDrive() {
  CloseDrive();
  if (route_ == DiskRoute::kLegacyBios) return legacy_ != nullptr;
  if (!provider_ || currentDrive >= kSlotCount) return false;
  const DriveInfo& slot = slots_[currentDrive];
  if (slot.sectorsPerTrack == 0) return false;
  auto source = provider_->OpenForReading(slot.deviceNumber);
  if (!source) return false;
  open_ = std::move(*source);
  return true;
}

bool DriveTable::IsOpen() const {
  return route_ == DiskRoute::kLegacyBios ? legacy_ != nullptr : open_ != nullptr;
}

void DriveTable::CloseDrive() { open_.reset(); }

std::uint64_t DriveTable::OpenLengthBytes() const { return open_ ? open_->LengthBytes() : 0; }

bool DriveTable::ReadSectors(std::uint64_t sector, std::uint32_t count,
                             std::span<std::byte> buffer) {
  if (currentDrive >= kSlotCount) return false;
  // Only the first sector is tested against the capacity: a run may reach past it.
  if (sector > slots_[currentDrive].totalSectors) return false;
  const std::size_t bytes = std::size_t{count} * kSectorSize;
  if (buffer.size() < bytes) return false;
  buffer = buffer.first(bytes);
  return route_ == DiskRoute::kLegacyBios ? ReadLegacy(sector, count, buffer)
                                          : ReadNtFamily(sector, count, buffer);
}

bool DriveTable::ReadNtFamily(std::uint64_t sector, std::uint32_t count,
                              std::span<std::byte> buffer) {
  if (!open_) {
    // Nothing can be read: never let a caller see an earlier read as this one.
    std::fill(buffer.begin(), buffer.end(), std::byte{0});
    return false;
  }
  if (open_->ReadAt(sector * kSectorSize, buffer)) return true;

  const std::uint64_t deviceSectors = open_->LengthBytes() / kSectorSize;
  const unsigned attempts = std::max<unsigned>(1, settings_.badSectorRetries);
  bool lastOk = false;
  for (std::uint32_t i = 0; i < count; ++i) {
    auto one = buffer.subspan(std::size_t{i} * kSectorSize, kSectorSize);
    lastOk = false;
    for (unsigned attempt = 0; attempt < attempts && !lastOk; ++attempt) {
      lastOk = open_->ReadAt((sector + i) * kSectorSize, one).has_value();
    }
    if (!lastOk) {
      std::fill(one.begin(), one.end(), std::byte{0});
      // Sectors past the device's end do not exist; they are not bad sectors.
      if (sector + i < deviceSectors) badSectors_.Record(sector + i);
    }
  }
  return lastOk;
}

bool DriveTable::ReadLegacy(std::uint64_t sector, std::uint32_t count,
                            std::span<std::byte> buffer) {
  if (!legacy_) return false;
  const auto lba = static_cast<std::uint32_t>(sector);
  const ChsAddress chs = LegacyChs(lba);
  const DriveInfo& slot = slots_[currentDrive];
  const std::int32_t result =
      legacy_->ReadDisk(0x80 + currentDrive, chs.cylinder, chs.head, chs.sector, count,
                        buffer.data(), lba, slot.int13Extensions);
  // The library returns non-zero on success.
  if (result == 0) {
    std::fill(buffer.begin(), buffer.end(), std::byte{0});
    for (std::uint32_t i = 0; i < count; ++i) {
      if (sector + i < slot.totalSectors) badSectors_.Record(sector + i);
    }
  }
  return result != 0;
}

}  // namespace tolvar
