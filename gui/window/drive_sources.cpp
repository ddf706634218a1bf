#include "gui/window/drive_sources.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tolvar::gui {

DriveSources::DriveSources(Options options) : options_(std::move(options)) {}

std::expected<void, Error> DriveSources::Enumerate(
    DriveTable& drives, std::map<std::string, DriveRescueMap>* rescueMaps) const {
  DriveSourceOptions sources = options_;
  // The command line's mapfile belongs to its images; each image opened in
  // the window brings its own or none.
  sources.imageMapfiles.assign(options_.images.size(), options_.mapfile);
  sources.mapfile.clear();
  for (const AddedImage& added : addedImages_) {
    sources.images.push_back(added.path);
    sources.imageMapfiles.push_back(added.mapfile);
  }
  sources.hostDevices = UsesHostDevices();
  std::vector<std::shared_ptr<const RescueMap>> maps;
  auto listed = EnumerateDriveSources(drives, sources, maps);
  if (listed && rescueMaps != nullptr) {
    rescueMaps->clear();
    for (std::size_t i = 0; i < maps.size() && i < sources.images.size(); ++i) {
      if (maps[i]) (*rescueMaps)[sources.images[i]] = {sources.imageMapfiles[i], maps[i]};
    }
  }
  return listed;
}

std::expected<void, Error> DriveSources::AddImage(
    DriveTable& drives, const std::string& path, const std::string& mapfile,
    std::map<std::string, DriveRescueMap>* rescueMaps) {
  // A missing, empty or unreadable file fails the enumeration with its own
  // message, and adds nothing then.
  addedImages_.push_back({path, mapfile});
  auto result = Enumerate(drives, rescueMaps);
  if (!result) addedImages_.pop_back();
  return result;
}

void DriveSources::AddImageDir(const std::string& dir) {
  if (std::ranges::find(options_.imageDirs, dir) == options_.imageDirs.end()) {
    options_.imageDirs.push_back(dir);
  }
}

bool NeedsImageDir(const Error& error) {
  return error.message.find("--image-dir") != std::string::npos;
}

std::string ImageFolderQuestion(const Error& error) {
  return error.message +
         "\r\n\r\nChoose a folder where the files this image names may be read, and open it "
         "again?";
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
