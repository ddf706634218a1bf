#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "base/settings.hpp"

namespace tolvar {

inline constexpr std::uint32_t kSectorSize = 512;

struct DeviceGeometry {
  std::uint64_t cylinders = 0;
  std::uint32_t heads = 0;
  std::uint32_t sectorsPerTrack = 0;  // 0: no media
};

struct DeviceDescription {
  bool onUsb = false;
  std::string productId;
  DeviceGeometry geometry;
  std::string path;                  // what the drive was opened from: an image path or /dev node
  std::int32_t int13Extensions = 0;  // legacy BIOS drives only: the extensions flag
};

// A geometry triple whose product is exactly `sectors`, preferring the
// conventional 255 or 16 heads by 63 sectors per track. Zero sectors gives
// the no-media triple.
[[nodiscard]] DeviceGeometry GeometryForLength(std::uint64_t sectors);

// Where bytes of a drive lie, unchanged, in a host file: `offset` in the
// open file `fd` (owned by the source).
struct FileSpan {
  int fd = -1;
  std::uint64_t offset = 0;
  // A block device rather than a regular file: the kernel copies from it
  // through a pipe (splice), not file to file.
  bool device = false;
};

// Read-only access to one drive. There is deliberately no write operation.
class BlockDeviceSource {
 public:
  virtual ~BlockDeviceSource() = default;

  [[nodiscard]] virtual DeviceDescription Describe() const = 0;
  [[nodiscard]] virtual std::uint64_t LengthBytes() const = 0;
  // Fills `out` from `byteOffset`. Fails when any byte cannot be read,
  // including bytes past the end of the drive.
  [[nodiscard]] virtual std::expected<void, Error> ReadAt(std::uint64_t byteOffset,
                                                          std::span<std::byte> out) = 0;
  // The host file holding [byteOffset, byteOffset + length) byte for byte,
  // so that the kernel can copy the range without it passing through this
  // process; nothing when the range is not stored plainly in one regular
  // file or block device (library-backed images, sources that alter what
  // they read).
  [[nodiscard]] virtual std::optional<FileSpan> FileBacking(std::uint64_t /*byteOffset*/,
                                                            std::uint64_t /*length*/) const {
    return std::nullopt;
  }
};

// The drives a route can see, probed by number and opened for reading.
class DriveProvider {
 public:
  virtual ~DriveProvider() = default;

  // Numbers 0 to ProbeLimit() - 1 are probed in order.
  [[nodiscard]] virtual unsigned ProbeLimit() const = 0;
  // Opens drive `number` for queries and describes it; an error when there is
  // no such drive or it cannot be described.
  [[nodiscard]] virtual std::expected<DeviceDescription, Error> Probe(unsigned number) = 0;
  [[nodiscard]] virtual std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenForReading(
      unsigned number) = 0;
};

// Image files given by path, served as drives 0, 1, ... in the given order.
[[nodiscard]] std::unique_ptr<DriveProvider> MakeImageFileProvider(std::vector<std::string> paths);

// Opens what a user names as a disk, read-only: a raw image, a VMDK, VHD,
// VHDX, qcow or E01 image (told apart by content, not by name) or a block
// device. A format that cannot be read directly, a missing parent, extent or
// segment file, or a damaged image gives one line naming the file and, where
// one exists, the conversion that works. Files named inside the image
// (extents, parents) are read only from its own folder and `imageDirs`.
// (disk_image.cpp)
[[nodiscard]] std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenImageFile(
    const std::string& path, const std::vector<std::string>& imageDirs = {});

// Opens a file as a raw image (or a block device) read-only, whatever it
// holds; a clear error for a missing path, a directory, an empty file or one
// without read permission.
[[nodiscard]] std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenRawImageFile(
    const std::string& path);

// An in-memory drive for tests and fuzzers.
[[nodiscard]] std::unique_ptr<BlockDeviceSource> MakeMemorySource(
    std::vector<std::byte> bytes, DeviceDescription description = {});

// Serves fixed, already opened sources as drives 0, 1, ...; each can be
// opened any number of times (the sources are shared).
[[nodiscard]] std::unique_ptr<DriveProvider> MakeFixedProvider(
    std::vector<std::shared_ptr<BlockDeviceSource>> sources);

}  // namespace tolvar
