#pragma once

// Reading the headers and tables of image files: numbers of a given width in
// either byte order (qcow stores big-endian, VMDK little-endian), and whether
// a piece the file points to lies inside it, without overflow.

#include <cstddef>
#include <cstdint>
#include <span>

namespace tolvar::image {

[[nodiscard]] inline std::uint64_t ReadBigEndian(std::span<const std::byte> bytes, std::size_t at,
                                                 std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) {
    value = (value << 8) | std::to_integer<std::uint64_t>(bytes[at + i]);
  }
  return value;
}

[[nodiscard]] inline std::uint64_t ReadLittleEndian(std::span<const std::byte> bytes,
                                                    std::size_t at, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = width; i > 0; --i) {
    value = (value << 8) | std::to_integer<std::uint64_t>(bytes[at + i - 1]);
  }
  return value;
}

[[nodiscard]] inline bool FitsInFile(std::uint64_t offset, std::uint64_t length,
                                     std::uint64_t fileSize) {
  return offset <= fileSize && length <= fileSize - offset;
}

}  // namespace tolvar::image
