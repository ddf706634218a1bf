#include "disk/linux_block_device.hpp"

#include <fmt/format.h>

namespace tolvar {

// Placeholder until the block-device back end lands.
std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenLinuxBlockDevice(
    const std::string& path) {
  return std::unexpected(Error{ErrorCode::kNotADevice,
                               fmt::format("{}: block devices are not supported yet", path),
                               std::nullopt});
}

std::unique_ptr<DriveProvider> MakeLinuxBlockDeviceProvider(std::string, std::string) {
  return MakeImageFileProvider({});
}

}  // namespace tolvar
