#pragma once

#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "disk/drive_sources.hpp"
#include "disk/drive_table.hpp"

namespace tolvar::gui {

// Where the window's drives come from: the images named on the command line,
// or else the host's block devices; images the user opens later follow as
// the next drives.
class DriveSources {
 public:
  // `images` are those named on the command line; with none, the host's
  // block devices are listed (`hostDevices` is set from that).
  using Options = DriveSourceOptions;

  explicit DriveSources(Options options);

  // Fills `drives`; an error (with the text to show) when the legacy
  // libraries cannot be loaded.
  [[nodiscard]] std::expected<void, Error> Enumerate(DriveTable& drives) const;
  // Adds an image as the next drive and enumerates again.
  [[nodiscard]] std::expected<void, Error> AddImage(DriveTable& drives, const std::string& path);
  [[nodiscard]] bool UsesHostDevices() const { return options_.images.empty(); }
  [[nodiscard]] bool LegacyRoute() const { return options_.legacyRoute; }

 private:
  Options options_;
  std::vector<std::string> addedImages_;
};

// Why the current user cannot read `path` (a /dev node or an image), or
// nothing when it can be read.
[[nodiscard]] std::optional<std::string> UnreadableReason(const std::string& path);

// How to get read access to a block device: the disk group or pkexec.
[[nodiscard]] std::string AccessAdvice(const std::string& driveText, const std::string& path,
                                       const std::string& reason);

}  // namespace tolvar::gui
