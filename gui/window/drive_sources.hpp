#pragma once

#include <expected>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/session.hpp"
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
  // libraries cannot be loaded or an image, its mapfile or a file it names
  // cannot be used. `rescueMaps`, when given, receives the map of every
  // image read through a mapfile, by its path.
  [[nodiscard]] std::expected<void, Error> Enumerate(
      DriveTable& drives, std::map<std::string, DriveRescueMap>* rescueMaps = nullptr) const;
  // Adds an image as the next drive, read through `mapfile` when one is
  // given, and enumerates again; on failure nothing is added.
  [[nodiscard]] std::expected<void, Error> AddImage(
      DriveTable& drives, const std::string& path, const std::string& mapfile = {},
      std::map<std::string, DriveRescueMap>* rescueMaps = nullptr);
  // A folder where files an image names (extents, parents, backing files)
  // may be read besides the image's own; kept for every later image.
  void AddImageDir(const std::string& dir);
  void SetImageDirs(std::vector<std::string> dirs) { options_.imageDirs = std::move(dirs); }
  [[nodiscard]] const std::vector<std::string>& ImageDirs() const { return options_.imageDirs; }
  [[nodiscard]] bool UsesHostDevices() const { return options_.images.empty(); }
  [[nodiscard]] bool LegacyRoute() const { return options_.legacyRoute; }

 private:
  struct AddedImage {
    std::string path;
    std::string mapfile;
  };
  Options options_;
  std::vector<AddedImage> addedImages_;
};

// Whether an image failed to open because a file it names lies outside the
// folders it may be read from: a folder the user names may let it open.
[[nodiscard]] bool NeedsImageDir(const Error& error);
// The error, then the offer to choose such a folder and try again.
[[nodiscard]] std::string ImageFolderQuestion(const Error& error);

// Why the current user cannot read `path` (a /dev node or an image), or
// nothing when it can be read.
[[nodiscard]] std::optional<std::string> UnreadableReason(const std::string& path);

// How to get read access to a block device: the disk group or pkexec.
[[nodiscard]] std::string AccessAdvice(const std::string& driveText, const std::string& path,
                                       const std::string& reason);

}  // namespace tolvar::gui
