#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "base/error.hpp"

namespace tolvar {

// Opens `path` read-only when, and only when, it is a regular file.
// The open uses O_NONBLOCK so that a FIFO, socket or device named where an
// image, segment, extent or list file belongs is refused at once instead of
// waited on; O_NONBLOCK is cleared again before the descriptor is returned.
// `role` names the file in the error ("segment file", "base image", ...).
// The caller owns the returned descriptor.
[[nodiscard]] std::expected<int, Error> OpenRegularFileForReading(const std::string& path,
                                                                  std::string_view role);

}  // namespace tolvar
