#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>

#include "disk/block_device_source.hpp"

namespace tolvar {

// Serves a sparse VMDK extent whose grains are deflate-compressed (the
// stream-optimized kind) by our own decoder, from `fd` (owned, read-only,
// of `fileSize` bytes). Every grain is checked on its own: a grain-table
// entry outside the file, a grain marker naming another grain, or data that
// does not inflate to a whole grain fails the read of that grain's sectors
// only, so the rest of the disk stays readable and nothing reads as zeros
// that was not stored as zeros. An error fragment when the header, the
// footer or the grain directory is wrong.
[[nodiscard]] std::expected<std::unique_ptr<BlockDeviceSource>, std::string> MakeVmdkStreamSource(
    std::string path, int fd, std::uint64_t fileSize);

}  // namespace tolvar
