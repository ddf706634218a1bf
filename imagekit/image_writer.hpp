#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/error.hpp"

namespace tolvar::imagekit {

// Where an image's bytes go. The image starts all zero, so callers may skip
// zero blocks (WriteData) and leave holes in a sparse file.
class ImageWriter {
 public:
  virtual ~ImageWriter() = default;
  [[nodiscard]] virtual std::expected<void, Error> Write(std::uint64_t offset,
                                                         std::span<const std::byte> bytes) = 0;
  [[nodiscard]] virtual std::expected<void, Error> Flush() = 0;

  // Writes `bytes`, leaving out every all-zero 1 KiB piece (counted from
  // `offset`). Only for areas nothing has been written to yet.
  [[nodiscard]] std::expected<void, Error> WriteData(std::uint64_t offset,
                                                     std::span<const std::byte> bytes);
};

// A new sparse file of `lengthBytes` (truncated first when it exists). Refuses
// a path that exists and is not a regular file. Writes are gathered into
// large sequential pieces.
[[nodiscard]] std::expected<std::unique_ptr<ImageWriter>, Error> CreateImageFile(
    const std::string& path, std::uint64_t lengthBytes);

// An image in memory; `bytes` must outlive the writer and already have the
// image's length.
[[nodiscard]] std::unique_ptr<ImageWriter> MakeMemoryWriter(std::vector<std::byte>& bytes);

}  // namespace tolvar::imagekit
