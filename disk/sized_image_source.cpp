#include "disk/sized_image_source.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include "disk/posix_read.hpp"

namespace tolvar {

std::expected<void, Error> CheckReadWithin(const std::string& path, std::uint64_t length,
                                           std::uint64_t offset, std::size_t size) {
  if (offset > length || size > length - offset) {
    return std::unexpected(Error{ErrorCode::kOutOfRange, fmt::format("{}: read past the end", path),
                                 offset / kSectorSize});
  }
  return {};
}

Error ReadErrorAt(const std::string& path, std::uint64_t offset, std::string_view why) {
  const std::uint64_t sector = offset / kSectorSize;
  return Error{ErrorCode::kIoError,
               why.empty() ? fmt::format("read error in {} at sector {}", path, sector)
                           : fmt::format("read error in {} at sector {}: {}", path, sector, why),
               sector};
}

DeviceDescription SizedImageSource::Describe() const {
  DeviceDescription d;
  d.productId = product_;
  d.geometry = GeometryForLength(length_ / kSectorSize);
  d.path = path_;
  return d;
}

PlainFileImageSource::~PlainFileImageSource() { ::close(fd_); }

std::expected<void, Error> PlainFileImageSource::ReadAt(std::uint64_t offset,
                                                        std::span<std::byte> out) {
  return detail::ReadFully(fd_, LengthBytes(), Path(), offset, out);
}

std::optional<FileSpan> PlainFileImageSource::FileBacking(std::uint64_t offset,
                                                          std::uint64_t length) const {
  if (!regularFile_ || !CheckWithin(offset, length)) return std::nullopt;
  return FileSpan{fd_, offset};
}

}  // namespace tolvar
