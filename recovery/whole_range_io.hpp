#pragma once

// Reads and writes of a whole byte range at an offset of a descriptor,
// going on after short counts and interrupted calls.

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tolvar {

// Fills `out` from `offset` of `fd`; false when not every byte reads.
[[nodiscard]] inline bool ReadWholeAt(int fd, std::uint64_t offset, std::span<std::byte> out) {
  while (!out.empty()) {
    const ssize_t got = ::pread(fd, out.data(), out.size(), static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    out = out.subspan(static_cast<std::size_t>(got));
    offset += static_cast<std::uint64_t>(got);
  }
  return true;
}

// Writes all of `bytes` at `offset` of `fd`; false when any of it fails.
[[nodiscard]] inline bool WriteWholeAt(int fd, std::uint64_t offset,
                                       std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    const ssize_t wrote = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(wrote));
    offset += static_cast<std::uint64_t>(wrote);
  }
  return true;
}

}  // namespace tolvar
