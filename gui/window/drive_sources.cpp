#include "gui/window/drive_sources.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tolvar::gui {

DriveSources::DriveSources(Options options) : options_(std::move(options)) {}

std::expected<void, Error> DriveSources::Enumerate(DriveTable& drives) const {
  DriveSourceOptions sources = options_;
  sources.images.insert(sources.images.end(), addedImages_.begin(), addedImages_.end());
  sources.hostDevices = UsesHostDevices();
  return EnumerateDriveSources(drives, sources);
}

std::expected<void, Error> DriveSources::AddImage(DriveTable& drives, const std::string& path) {
  // A missing, empty or unreadable file fails the enumeration with its own
  // message, and adds nothing then.
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
