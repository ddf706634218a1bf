#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tolvar::le {

// Little-endian reads from byte spans; the caller has checked the bounds.
[[nodiscard]] inline std::uint16_t Read16(std::span<const std::byte> bytes, std::size_t offset) {
  return static_cast<std::uint16_t>(std::to_integer<unsigned>(bytes[offset]) |
                                    std::to_integer<unsigned>(bytes[offset + 1]) << 8);
}

[[nodiscard]] inline std::uint32_t Read32(std::span<const std::byte> bytes, std::size_t offset) {
  return std::to_integer<std::uint32_t>(bytes[offset]) |
         std::to_integer<std::uint32_t>(bytes[offset + 1]) << 8 |
         std::to_integer<std::uint32_t>(bytes[offset + 2]) << 16 |
         std::to_integer<std::uint32_t>(bytes[offset + 3]) << 24;
}

}  // namespace tolvar::le
