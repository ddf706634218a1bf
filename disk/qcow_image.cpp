#include <fmt/format.h>
#include <libqcow.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <utility>
#include <vector>

#include "disk/library_handles.hpp"
#include "disk/library_image.hpp"
#include "disk/qcow_map.hpp"
#include "disk/qcow_tables.hpp"
#include "disk/regular_file.hpp"
#include "disk/virtual_disk_sources.hpp"

namespace tolvar {

namespace {

namespace fs = std::filesystem;
using namespace image_detail;

// A descriptor closed when it goes out of scope, unless handed on.
class OwnedFd {
 public:
  explicit OwnedFd(int fd) : fd_(fd) {}
  ~OwnedFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  OwnedFd(OwnedFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  OwnedFd& operator=(OwnedFd&&) = delete;
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;
  [[nodiscard]] int Get() const { return fd_; }
  [[nodiscard]] int Release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

struct QcowFileOnDisk {
  OwnedFd fd;
  std::uint64_t size = 0;
};

std::expected<QcowFileOnDisk, Error> OpenQcowFile(const std::string& path, std::string_view role) {
  auto fd = OpenRegularFileForReading(path, role);
  if (!fd) return std::unexpected(fd.error());
  QcowFileOnDisk file{OwnedFd(*fd), 0};
  struct stat st {};
  if (::fstat(file.fd.Get(), &st) != 0) return std::unexpected(Damaged(path, "qcow"));
  file.size = static_cast<std::uint64_t>(st.st_size);
  return file;
}

SegmentReader ReaderOf(int fd) {
  return [fd](std::uint64_t offset, std::span<std::byte> out) {
    return ::pread(fd, out.data(), out.size(), static_cast<off_t>(offset)) ==
           static_cast<ssize_t>(out.size());
  };
}

Error DamagedBecause(const std::string& path, const std::string& wrong) {
  return Error{ErrorCode::kCorrupt,
               fmt::format("{}: the qcow image is damaged and cannot be opened: {}", path, wrong),
               std::nullopt};
}

Error BackingNotQcow(const std::string& path, const std::string& backing) {
  return Error{
      ErrorCode::kNotReadable,
      fmt::format("{}: its backing file {} is not a qcow image; merge the two into a raw image "
                  "first: qemu-img convert -O raw {} {}.img",
                  path, backing, path, fs::path(path).stem().string()),
      std::nullopt};
}

// ---- Through the library: version 1 and encrypted images, and for comparison.

// The image's file first, then its backing files; closed child first.
struct QcowChain {
  std::vector<QcowFile> files;
  QcowChain() = default;
  QcowChain(const QcowChain&) = delete;
  QcowChain& operator=(const QcowChain&) = delete;
  ~QcowChain() {
    for (auto& file : files) file.Reset();
  }
};

std::expected<void, Error> OpenQcowInto(QcowChain& chain, const std::string& path, int depth,
                                        const std::vector<std::string>& imageDirs) {
  // The library trusts the header and cluster tables; check them first.
  {
    auto file = OpenQcowFile(path, depth == 0 ? "image" : "backing file");
    if (!file) return std::unexpected(file.error());
    const std::string wrong = CheckQcowTables(ReaderOf(file->fd.Get()), file->size);
    if (!wrong.empty()) return std::unexpected(DamagedBecause(path, wrong));
  }
  QcowFile& file = chain.files.emplace_back();
  if (libqcow_file_initialize(file.Out(), nullptr) != 1) return std::unexpected(NoMemory(path));
  if (libqcow_file_open(file.Get(), path.c_str(), libqcow_get_access_flags_read(), nullptr) != 1) {
    return std::unexpected(Damaged(path, "qcow"));
  }
  std::uint32_t encryption = LIBQCOW_ENCRYPTION_METHOD_NONE;
  if (libqcow_file_get_encryption_method(file.Get(), &encryption, nullptr) != 1) {
    return std::unexpected(Damaged(path, "qcow"));
  }
  if (encryption != LIBQCOW_ENCRYPTION_METHOD_NONE) {
    return std::unexpected(
        Error{ErrorCode::kNotReadable,
              fmt::format("{}: the qcow image is encrypted; decrypt it to a raw image first: "
                          "qemu-img convert -O raw (with its key)",
                          path),
              std::nullopt});
  }
  libqcow_file_t* const opened = file.Get();
  const auto backing = LibraryText(
      [&](std::size_t* size) {
        return libqcow_file_get_utf8_backing_filename_size(opened, size, nullptr);
      },
      [&](std::uint8_t* text, std::size_t size) {
        return libqcow_file_get_utf8_backing_filename(opened, text, size, nullptr);
      });
  if (!backing) return {};
  const auto backingPath = FindRelatedFile(path, *backing, "backing file", imageDirs);
  if (!backingPath) return std::unexpected(backingPath.error());
  if (FormatOfFile(*backingPath) != ImageFormat::kQcow) {
    return std::unexpected(BackingNotQcow(path, *backing));
  }
  if (depth >= kMaxParentDepth) return std::unexpected(Damaged(path, "qcow"));
  const std::size_t parentIndex = chain.files.size();
  if (auto parent = OpenQcowInto(chain, *backingPath, depth + 1, imageDirs); !parent) return parent;
  // The vector may have grown: look the child up again.
  if (libqcow_file_set_parent_file(chain.files[parentIndex - 1].Get(),
                                   chain.files[parentIndex].Get(), nullptr) != 1) {
    return std::unexpected(Damaged(path, "qcow"));
  }
  return {};
}

class QcowLibrarySource final : public LibraryImageSource {
 public:
  QcowLibrarySource(std::string path, std::uint64_t length, std::unique_ptr<QcowChain> chain)
      : LibraryImageSource(std::move(path), "qcow Image", length), chain_(std::move(chain)) {}

 protected:
  bool ReadFromLibrary(std::uint64_t offset, std::span<std::byte> out) override {
    const ssize_t got = libqcow_file_read_buffer_at_offset(
        chain_->files.front().Get(), out.data(), out.size(), static_cast<off64_t>(offset), nullptr);
    return got == static_cast<ssize_t>(out.size());
  }

 private:
  std::unique_ptr<QcowChain> chain_;
};

std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenThroughLibrary(
    const std::string& full, const std::string& path, const std::vector<std::string>& imageDirs) {
  auto chain = std::make_unique<QcowChain>();
  if (auto opened = OpenQcowInto(*chain, full, 0, imageDirs); !opened)
    return std::unexpected(opened.error());
  size64_t size = 0;
  if (libqcow_file_get_media_size(chain->files.front().Get(), &size, nullptr) != 1 || size == 0) {
    return std::unexpected(Damaged(path, "qcow"));
  }
  return std::make_unique<QcowLibrarySource>(path, size, std::move(chain));
}

// ---- Our own decoder: versions 2 and 3, with their backing files.

// Describes the overlay's drive and serves what its own clusters do not
// hold: the backing file's bytes up to that disk's end, zeros past it (an
// overlay may be larger than its backing file, as when a disk was grown),
// or zeros when there is no backing file.
class QcowBackingSource final : public SizedImageSource {
 public:
  QcowBackingSource(std::string path, std::uint64_t length,
                    std::unique_ptr<BlockDeviceSource> backing)
      : SizedImageSource(std::move(path), "qcow Image", length), backing_(std::move(backing)) {}

  std::expected<void, Error> ReadAt(std::uint64_t offset, std::span<std::byte> out) override {
    if (auto within = CheckWithin(offset, out.size()); !within) return within;
    const std::uint64_t backingLength = backing_ ? backing_->LengthBytes() : 0;
    std::size_t fromBacking = 0;
    if (offset < backingLength) {
      fromBacking =
          static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), backingLength - offset));
      if (auto read = backing_->ReadAt(offset, out.first(fromBacking)); !read) return read;
    }
    std::ranges::fill(out.subspan(fromBacking), std::byte{0});
    return {};
  }

 private:
  std::unique_ptr<BlockDeviceSource> backing_;
};

// Null when a file of the chain needs the library.
std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenOwnQcow(
    QcowFileOnDisk file, const std::string& full, const std::string& path, int depth,
    const std::vector<std::string>& imageDirs) {
  const SegmentReader read = ReaderOf(file.fd.Get());
  auto map = MakeQcowMap(read, file.size);
  if (!map) return std::unexpected(DamagedBecause(path, map.error()));
  if (*map == nullptr) return nullptr;
  const auto backing = ReadQcowBackingName(read, file.size);
  if (!backing) return std::unexpected(DamagedBecause(path, backing.error()));
  std::unique_ptr<BlockDeviceSource> base;
  if (*backing) {
    const auto backingPath = FindRelatedFile(full, **backing, "backing file", imageDirs);
    if (!backingPath) return std::unexpected(backingPath.error());
    if (depth >= kMaxParentDepth) return std::unexpected(Damaged(path, "qcow"));
    auto baseFile = OpenQcowFile(*backingPath, "backing file");
    if (!baseFile) return std::unexpected(baseFile.error());
    std::vector<std::byte> head(kImageFormatHeadBytes);
    const ssize_t got = ::pread(baseFile->fd.Get(), head.data(), head.size(), 0);
    head.resize(static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    if (DetectImageFormat(head, {}) != ImageFormat::kQcow) {
      return std::unexpected(BackingNotQcow(path, **backing));
    }
    auto opened =
        OpenOwnQcow(std::move(*baseFile), *backingPath, *backingPath, depth + 1, imageDirs);
    if (!opened || *opened == nullptr) return opened;
    base = std::move(*opened);
  }
  const std::uint64_t length = (*map)->VirtualSize();
  auto fallback = std::make_unique<QcowBackingSource>(path, length, std::move(base));
  return MakeClusterImageSource(path, file.fd.Release(), std::move(*map), std::move(fallback));
}

}  // namespace

std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenQcowImage(
    const std::string& path, ImageDecoder decoder, const std::vector<std::string>& imageDirs) {
  const std::string full = FullPath(path);
  if (decoder == ImageDecoder::kLibraryOnly) return OpenThroughLibrary(full, path, imageDirs);
  auto file = OpenQcowFile(full, "image");
  if (!file) return std::unexpected(file.error());
  auto own = OpenOwnQcow(std::move(*file), full, path, 0, imageDirs);
  if (!own || *own != nullptr) return own;
  return OpenThroughLibrary(full, path, imageDirs);
}

}  // namespace tolvar
