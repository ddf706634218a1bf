#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <span>
#include <vector>

#include "disk/block_device_source.hpp"

namespace tolvar::testing {

// Bytes that differ in every sector and every position, so a misplaced
// sector never compares equal.
inline std::vector<std::byte> PatternBytes(std::uint64_t sectors) {
  std::vector<std::byte> bytes(sectors * kSectorSize);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto sector = static_cast<std::uint32_t>(i / kSectorSize);
    bytes[i] = static_cast<std::byte>((sector * 131u + (i % kSectorSize) * 7u + 1u) & 0xFFu);
  }
  return bytes;
}

inline std::span<const std::byte> SectorsOf(const std::vector<std::byte>& bytes,
                                            std::uint64_t first, std::uint64_t count) {
  return std::span<const std::byte>(bytes).subspan(first * kSectorSize, count * kSectorSize);
}

inline bool AllZero(std::span<const std::byte> bytes) {
  for (auto b : bytes) {
    if (b != std::byte{0}) return false;
  }
  return true;
}

inline void WriteFile(const std::filesystem::path& path, std::span<const std::byte> bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<std::byte> ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> chars((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::byte> bytes(chars.size());
  for (std::size_t i = 0; i < chars.size(); ++i) bytes[i] = static_cast<std::byte>(chars[i]);
  return bytes;
}

inline bool Equal(std::span<const std::byte> a, std::span<const std::byte> b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

}  // namespace tolvar::testing
