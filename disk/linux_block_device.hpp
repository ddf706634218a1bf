#pragma once

#include <expected>
#include <memory>
#include <string>

#include "base/error.hpp"
#include "disk/block_device_source.hpp"

namespace tolvar {

// Opens a Linux block device (/dev/sdX, /dev/nvmeXnY, ...) read-only: size
// and geometry from the kernel, model text from sysfs.
[[nodiscard]] std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenLinuxBlockDevice(
    const std::string& path);

// The host's whole-disk block devices, in name order, as drives 0, 1, ...
// `sysfsRoot` is "/sys" except in tests.
[[nodiscard]] std::unique_ptr<DriveProvider> MakeLinuxBlockDeviceProvider(
    std::string sysfsRoot = "/sys", std::string devRoot = "/dev");

}  // namespace tolvar
