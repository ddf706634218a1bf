#include "disk/regular_file.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tolvar {

std::expected<int, Error> OpenRegularFileForReading(const std::string& path,
                                                    std::string_view role) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    const int err = errno;
    return std::unexpected(Error{
        err == ENOENT ? ErrorCode::kNotFound : ErrorCode::kNotReadable,
        fmt::format("{}: the {} cannot be opened for reading ({})", path, role, std::strerror(err)),
        std::nullopt});
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return std::unexpected(
        Error{ErrorCode::kNotReadable,
              fmt::format("{}: the {} is not a regular file, so it is not read", path, role),
              std::nullopt});
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

}  // namespace tolvar
