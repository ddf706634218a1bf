#include "gui/window/drive_sources.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "disk/legacy_bios.hpp"
#include "disk/linux_block_device.hpp"

namespace tolvar::gui {

namespace {

// Serves the drives of several providers one after the other.
class ChainedProvider final : public DriveProvider {
 public:
  explicit ChainedProvider(std::vector<std::unique_ptr<DriveProvider>> parts)
      : parts_(std::move(parts)) {}

  unsigned ProbeLimit() const override {
    unsigned total = 0;
    for (const auto& part : parts_) total += part->ProbeLimit();
    return total;
  }

  std::expected<DeviceDescription, Error> Probe(unsigned number) override {
    auto [part, local] = Locate(number);
    if (part == nullptr) return std::unexpected(NoSuchDrive());
    return part->Probe(local);
  }

  std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenForReading(
      unsigned number) override {
    auto [part, local] = Locate(number);
    if (part == nullptr) return std::unexpected(NoSuchDrive());
    return part->OpenForReading(local);
  }

 private:
  static Error NoSuchDrive() { return Error{ErrorCode::kNotFound, "no such drive", std::nullopt}; }

  std::pair<DriveProvider*, unsigned> Locate(unsigned number) const {
    for (const auto& part : parts_) {
      const unsigned limit = part->ProbeLimit();
      if (number < limit) return {part.get(), number};
      number -= limit;
    }
    return {nullptr, 0};
  }

  std::vector<std::unique_ptr<DriveProvider>> parts_;
};

}  // namespace

DriveSources::DriveSources(Options options) : options_(std::move(options)) {}

std::expected<void, Error> DriveSources::Enumerate(DriveTable& drives) const {
  std::vector<std::string> images = options_.images;
  images.insert(images.end(), addedImages_.begin(), addedImages_.end());
  if (options_.legacyRoute) {
    const std::string dir =
        options_.legacyLibraryDir.empty() ? DefaultLegacyLibraryDir() : options_.legacyLibraryDir;
    auto library = LoadLegacyBiosLibraries(dir, images);
    if (!library) return std::unexpected(library.error());
    drives.EnumerateDrives(std::move(*library));
    return {};
  }
  std::vector<std::unique_ptr<DriveProvider>> parts;
  if (UsesHostDevices()) {
    parts.push_back(MakeLinuxBlockDeviceProvider(options_.sysfsRoot, options_.devRoot));
  }
  parts.push_back(MakeImageFileProvider(std::move(images)));
  drives.EnumerateDrives(std::make_unique<ChainedProvider>(std::move(parts)));
  return {};
}

std::expected<void, Error> DriveSources::AddImage(DriveTable& drives, const std::string& path) {
  // Opening it first gives one clear message for a missing, empty or
  // unreadable file, and adds nothing then.
  auto probe = OpenImageFile(path);
  if (!probe) return std::unexpected(probe.error());
  probe->reset();
  addedImages_.push_back(path);
  auto result = Enumerate(drives);
  if (!result) addedImages_.pop_back();
  return result;
}

std::optional<std::string> UnreadableReason(const std::string& path) {
  if (path.empty() || ::access(path.c_str(), R_OK) == 0) return std::nullopt;
  const int err = errno;
  if (err == EACCES || err == EPERM) return std::string("no read permission");
  return std::string(std::strerror(err));
}

std::string AccessAdvice(const std::string& driveText, const std::string& path,
                         const std::string& reason) {
  return fmt::format(
      "{} ({}) cannot be read: {}.\r\n\r\nTo read disks, add your user to the disk group "
      "(sudo usermod -aG disk $USER, then log out and in again), or start Tolvar as "
      "administrator with: pkexec tolvar-gui\r\n\r\nTolvar only reads the disk; it never "
      "writes to it.",
      driveText, path, reason);
}

}  // namespace tolvar::gui
