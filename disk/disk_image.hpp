#pragma once

#include <expected>
#include <memory>
#include <string>

#include "base/error.hpp"
#include "disk/block_device_source.hpp"

namespace tolvar {

// Opens what a user names as a disk, read-only: a raw image, a VMDK, VHD,
// VHDX, qcow or E01 image (told apart by content, not by name) or a block
// device. A format that cannot be read directly, a missing parent, extent or
// segment file, or a damaged image gives one line naming the file and, where
// one exists, the conversion that works.
[[nodiscard]] std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenDiskImage(
    const std::string& path);

}  // namespace tolvar
