// OpenImageFile: a user-named disk opened by what its content says it is.

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "disk/block_device_source.hpp"
#include "disk/image_format.hpp"
#include "disk/virtual_disk_sources.hpp"

namespace tolvar {

namespace {

// The start and the end of a regular file, as far as format detection looks.
struct FileEnds {
  std::vector<std::byte> head;
  std::vector<std::byte> tail;
};

std::expected<FileEnds, int> ReadEnds(const std::string& path, std::uint64_t size) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(errno);
  FileEnds ends;
  ends.head.resize(std::min<std::uint64_t>(size, kImageFormatHeadBytes));
  bool ok =
      ::pread(fd, ends.head.data(), ends.head.size(), 0) == static_cast<ssize_t>(ends.head.size());
  if (ok && size >= kImageFormatHeadBytes) {
    ends.tail.resize(kImageFormatTailBytes);
    ok = ::pread(fd, ends.tail.data(), ends.tail.size(),
                 static_cast<off_t>(size - kImageFormatTailBytes)) ==
         static_cast<ssize_t>(ends.tail.size());
  }
  const int err = errno;
  ::close(fd);
  if (!ok) return std::unexpected(err == 0 ? EIO : err);
  return ends;
}

}  // namespace

std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenImageFile(
    const std::string& path, const std::vector<std::string>& imageDirs) {
  struct stat st {};
  // Anything but a readable regular file (a block device, a missing path, a
  // folder) is told apart by the raw opener.
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return OpenRawImageFile(path);
  auto ends = ReadEnds(path, static_cast<std::uint64_t>(st.st_size));
  if (!ends) return OpenRawImageFile(path);

  const ImageFormat format = DetectImageFormat(ends->head, ends->tail);
  switch (format) {
    case ImageFormat::kRaw:
      return OpenRawImageFile(path);
    case ImageFormat::kVmdkSparse:
    case ImageFormat::kVmdkCowd:
    case ImageFormat::kVmdkDescriptor:
      return OpenVmdkImage(path, ImageDecoder::kOwn, imageDirs);
    case ImageFormat::kVhd:
    case ImageFormat::kVhdFixed:
    case ImageFormat::kVhdx:
      return OpenVhdImage(path, imageDirs);
    case ImageFormat::kQcow:
      return OpenQcowImage(path, ImageDecoder::kOwn, imageDirs);
    case ImageFormat::kEwf:
      return OpenEwfImage(path);
    default:
      break;
  }
  const bool archive = format == ImageFormat::kGzip || format == ImageFormat::kXz ||
                       format == ImageFormat::kBzip2 || format == ImageFormat::kZstd ||
                       format == ImageFormat::kZip || format == ImageFormat::kSevenZip;
  return std::unexpected(
      Error{ErrorCode::kNotReadable,
            archive ? fmt::format("{}: a {} file, not a disk image; {}", path,
                                  ImageFormatName(format), UnreadableFormatAdvice(format, path))
                    : fmt::format("{}: a {} image, which cannot be read directly; {}", path,
                                  ImageFormatName(format), UnreadableFormatAdvice(format, path)),
            std::nullopt});
}

}  // namespace tolvar
