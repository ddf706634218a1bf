#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// Little-endian reads from byte spans, the one set the whole engine uses. A
// read that would reach past the span yields zero instead of touching memory
// outside it, so decoders stay safe on short or hostile input.
namespace tolvar::le {

[[nodiscard]] inline std::uint8_t Read8(std::span<const std::byte> bytes, std::size_t offset) {
  return offset < bytes.size() ? std::to_integer<std::uint8_t>(bytes[offset]) : 0;
}

[[nodiscard]] inline std::uint16_t Read16(std::span<const std::byte> bytes, std::size_t offset) {
  if (offset > bytes.size() || bytes.size() - offset < 2) return 0;
  return static_cast<std::uint16_t>(std::to_integer<unsigned>(bytes[offset]) |
                                    std::to_integer<unsigned>(bytes[offset + 1]) << 8);
}

// A 3-byte value: byte 0 + byte 1 x 256 + byte 2 x 65536 (EAFS block addresses).
[[nodiscard]] inline std::uint32_t Read24(std::span<const std::byte> bytes, std::size_t offset) {
  if (offset > bytes.size() || bytes.size() - offset < 3) return 0;
  return std::to_integer<std::uint32_t>(bytes[offset]) |
         std::to_integer<std::uint32_t>(bytes[offset + 1]) << 8 |
         std::to_integer<std::uint32_t>(bytes[offset + 2]) << 16;
}

[[nodiscard]] inline std::uint32_t Read32(std::span<const std::byte> bytes, std::size_t offset) {
  if (offset > bytes.size() || bytes.size() - offset < 4) return 0;
  return std::to_integer<std::uint32_t>(bytes[offset]) |
         std::to_integer<std::uint32_t>(bytes[offset + 1]) << 8 |
         std::to_integer<std::uint32_t>(bytes[offset + 2]) << 16 |
         std::to_integer<std::uint32_t>(bytes[offset + 3]) << 24;
}

}  // namespace tolvar::le
