#pragma once

#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <expected>
#include <span>
#include <string>

#include "base/error.hpp"
#include "disk/block_device_source.hpp"
#include "disk/sized_image_source.hpp"

namespace tolvar::detail {

// Fills `out` from `offset` of a read-only descriptor whose length is
// `length` bytes; fails for any byte past the end or any read error.
[[nodiscard]] inline std::expected<void, Error> ReadFully(int fd, std::uint64_t length,
                                                          const std::string& path,
                                                          std::uint64_t offset,
                                                          std::span<std::byte> out) {
  if (auto within = CheckReadWithin(path, length, offset, out.size()); !within) return within;
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t got =
        ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      return std::unexpected(Error{
          ErrorCode::kIoError,
          fmt::format("read error in {}: {}", path, got < 0 ? std::strerror(errno) : "end of file"),
          (offset + done) / kSectorSize});
    }
    done += static_cast<std::size_t>(got);
  }
  return {};
}

}  // namespace tolvar::detail
