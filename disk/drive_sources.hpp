#pragma once

#include <expected>
#include <memory>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "disk/block_device_source.hpp"
#include "disk/drive_table.hpp"
#include "disk/rescue_map.hpp"

namespace tolvar {

// Where a front end's drives come from and how each image is opened. Both
// the command line and the window fill one of these; a new way of opening
// or wrapping an image is one more field here and one more step in
// OpenDriveImage.
struct DriveSourceOptions {
  std::vector<std::string> images;  // served as drives in this order
  bool hostDevices = false;         // the host's block devices come first
  bool legacyRoute = false;         // read through the legacy BIOS libraries
  std::string legacyLibraryDir;     // empty: DefaultLegacyLibraryDir()
  // Sectors to treat as unreadable on every image (N or N-M per line);
  // empty: none. Not available on the legacy route.
  std::string unreadableSectorsFile;
  // A GNU ddrescue mapfile of the image: bytes it does not mark rescued read
  // as unreadable. Empty: none. Not available on the legacy route.
  std::string mapfile;
  // A mapfile for one image alone, by the image's place in `images`: a
  // non-empty one is read for that image instead of `mapfile`.
  std::vector<std::string> imageMapfiles;
  // Folders besides each image's own where files named inside an image
  // (extents, parents, backing files) may be read.
  std::vector<std::string> imageDirs;
  std::string sysfsRoot = "/sys";  // where the host's block devices are listed
  std::string devRoot = "/dev";
};

// Opens one image read-only as the front ends serve it: by its content
// (OpenImageFile), then seen through the unreadable-sector list when one is
// named. The error's message is the one line to show. `imageMapfiles` is
// not read here.
[[nodiscard]] std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenDriveImage(
    const std::string& path, const DriveSourceOptions& options);

// Fills `drives` from `options`: on the legacy route the libraries serve the
// images; otherwise the host's block devices (when asked) and then the
// images. Every image is opened here first, so a missing, empty or damaged
// image fails now with its own message rather than missing from the list;
// off the legacy route it stays open for the table (one open per image).
// On failure `drives` is left as it was.
// `rescueMap`, when given, receives the mapfile's map (null without one), so
// a front end can say which of a volume's structures were not rescued.
[[nodiscard]] std::expected<void, Error> EnumerateDriveSources(
    DriveTable& drives, const DriveSourceOptions& options,
    std::shared_ptr<const RescueMap>* rescueMap = nullptr);
// The same, with each image's map by its place in `images` (null for an
// image read without one).
[[nodiscard]] std::expected<void, Error> EnumerateDriveSources(
    DriveTable& drives, const DriveSourceOptions& options,
    std::vector<std::shared_ptr<const RescueMap>>& rescueMaps);

}  // namespace tolvar
