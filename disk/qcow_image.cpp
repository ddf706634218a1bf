#include <fmt/format.h>
#include <libqcow.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <functional>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "disk/image_fields.hpp"
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

// ---- The chain of an image and its backing files, both decoders walk it.

// What a decoder does with one opened file of the chain (`shown` names it in
// errors): returns the backing file's recorded name, or none where the
// chain ends.
using QcowFileVisit = std::function<std::expected<std::optional<std::string>, Error>(
    QcowFileOnDisk& file, const std::string& shown)>;

// Walks `full` and its backing files, image first. Each backing file is
// opened before it is judged, so that the refusal a user sees is the open's
// own when it cannot be opened, and the format is read through the same
// descriptor that is then decoded. `shown` names the image itself in errors.
std::expected<void, Error> WalkQcowChain(const std::string& full, const std::string& shown,
                                         const std::vector<std::string>& imageDirs,
                                         const QcowFileVisit& visit,
                                         std::function<bool(std::size_t child)> linkToParent) {
  std::optional<QcowFileOnDisk> next;
  ParentChainSteps steps;
  steps.openOne = [&](const std::string& path) -> std::expected<std::vector<std::string>, Error> {
    const bool image = !next.has_value();
    if (image) {
      auto file = OpenQcowFile(path, "image");
      if (!file) return std::unexpected(file.error());
      next.emplace(std::move(*file));
    }
    QcowFileOnDisk file = std::move(*next);
    next.reset();
    auto backing = visit(file, image ? shown : path);
    if (!backing) return std::unexpected(backing.error());
    if (!*backing) return std::vector<std::string>{};
    return std::vector<std::string>{std::move(**backing)};
  };
  steps.acceptParent = [&](const std::string& child, const std::string& recorded,
                           const std::string& parent) -> std::expected<void, Error> {
    auto file = OpenQcowFile(parent, "backing file");
    if (!file) return std::unexpected(file.error());
    std::vector<std::byte> head(kImageFormatHeadBytes);
    const ssize_t got = ::pread(file->fd.Get(), head.data(), head.size(), 0);
    head.resize(static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    if (DetectImageFormat(head, {}) != ImageFormat::kQcow) {
      return std::unexpected(BackingNotQcow(child == full ? shown : child, recorded));
    }
    next.emplace(std::move(*file));
    return {};
  };
  steps.linkToParent = std::move(linkToParent);
  return OpenParentChain(full, "qcow", "backing file", imageDirs, steps);
}

// ---- Through the library: version 1 and encrypted images, and for comparison.

// The image's file first, then its backing files; closed child first.
struct QcowChain {
  std::vector<QcowFile> files;
  // The smallest cluster of the chain's files.
  std::uint64_t clusterBytes = std::numeric_limits<std::uint64_t>::max();
  QcowChain() = default;
  QcowChain(const QcowChain&) = delete;
  QcowChain& operator=(const QcowChain&) = delete;
  ~QcowChain() {
    for (auto& file : files) file.Reset();
  }
};

// Opens one file of the chain through the library and returns its backing
// file's name. The library trusts the header and cluster tables; they are
// checked first.
std::expected<std::optional<std::string>, Error> OpenQcowInto(QcowChain& chain,
                                                              const QcowFileOnDisk& onDisk,
                                                              const std::string& path) {
  const SegmentReader read = ReaderOf(onDisk.fd.Get());
  const std::string wrong = CheckQcowTables(read, onDisk.size);
  if (!wrong.empty()) return std::unexpected(DamagedBecause(path, wrong));
  // The checked header's cluster size: a byte at 32 in version 1, a word
  // at 20 after it.
  std::array<std::byte, 33> header{};
  if (!read(0, header)) return std::unexpected(Damaged(path, "qcow"));
  const bool version1 = image::ReadBigEndian(header, 4, 4) == 1;
  const std::uint64_t clusterBits =
      version1 ? image::ReadBigEndian(header, 32, 1) : image::ReadBigEndian(header, 20, 4);
  chain.clusterBytes = std::min(chain.clusterBytes, std::uint64_t{1} << clusterBits);
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
  return LibraryText(
      [&](std::size_t* size) {
        return libqcow_file_get_utf8_backing_filename_size(opened, size, nullptr);
      },
      [&](std::uint8_t* text, std::size_t size) {
        return libqcow_file_get_utf8_backing_filename(opened, text, size, nullptr);
      });
}

class QcowLibrarySource final : public LibraryImageSource {
 public:
  QcowLibrarySource(std::string path, std::uint64_t length, std::unique_ptr<QcowChain> chain)
      : LibraryImageSource(std::move(path), "qcow Image", length), chain_(std::move(chain)) {}

 protected:
  // The library serves a read that begins in a cluster a file leaves to its
  // backing file wholly from the backing file, even where later clusters
  // are the file's own; so with backing files, reads are split where any
  // file of the chain starts a cluster.
  bool ReadFromLibrary(std::uint64_t offset, std::span<std::byte> out) override {
    const bool split = chain_->files.size() > 1;
    for (std::size_t done = 0; done < out.size();) {
      const std::uint64_t at = offset + done;
      std::size_t take = out.size() - done;
      if (split) {
        take = static_cast<std::size_t>(
            std::min<std::uint64_t>(take, chain_->clusterBytes - at % chain_->clusterBytes));
      }
      const ssize_t got = libqcow_file_read_buffer_at_offset(
          chain_->files.front().Get(), out.data() + done, take, static_cast<off64_t>(at), nullptr);
      if (got != static_cast<ssize_t>(take)) return false;
      done += take;
    }
    return true;
  }

 private:
  std::unique_ptr<QcowChain> chain_;
};

std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenThroughLibrary(
    const std::string& full, const std::string& path, const std::vector<std::string>& imageDirs) {
  auto chain = std::make_unique<QcowChain>();
  const auto visit = [&](QcowFileOnDisk& file, const std::string& shown) {
    return OpenQcowInto(*chain, file, shown);
  };
  const auto link = [&](std::size_t child) {
    return libqcow_file_set_parent_file(chain->files[child].Get(), chain->files[child + 1].Get(),
                                        nullptr) == 1;
  };
  if (auto opened = WalkQcowChain(full, full, imageDirs, visit, link); !opened) {
    return std::unexpected(opened.error());
  }
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

// One file of the chain as our decoder reads it.
struct OwnQcowFile {
  OwnedFd fd;
  std::unique_ptr<ClusterMap> map;
  std::string shown;
};

// Null when a file of the chain needs the library.
std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenOwnQcow(
    const std::string& full, const std::string& path, const std::vector<std::string>& imageDirs) {
  std::vector<OwnQcowFile> files;
  bool needsLibrary = false;
  const auto visit =
      [&](QcowFileOnDisk& file,
          const std::string& shown) -> std::expected<std::optional<std::string>, Error> {
    const SegmentReader read = ReaderOf(file.fd.Get());
    auto map = MakeQcowMap(read, file.size);
    if (!map) return std::unexpected(DamagedBecause(shown, map.error()));
    if (*map == nullptr) {
      needsLibrary = true;
      return std::nullopt;
    }
    auto backing = ReadQcowBackingName(read, file.size);
    if (!backing) return std::unexpected(DamagedBecause(shown, backing.error()));
    files.push_back(OwnQcowFile{std::move(file.fd), std::move(*map), shown});
    return std::move(*backing);
  };
  if (auto walked = WalkQcowChain(full, path, imageDirs, visit, [](std::size_t) { return true; });
      !walked) {
    return std::unexpected(walked.error());
  }
  if (needsLibrary) return nullptr;
  // Built from the oldest backing file up, each file over the one below.
  std::unique_ptr<BlockDeviceSource> base;
  for (auto file = files.rbegin(); file != files.rend(); ++file) {
    const std::uint64_t length = file->map->VirtualSize();
    auto fallback = std::make_unique<QcowBackingSource>(file->shown, length, std::move(base));
    base = MakeClusterImageSource(file->shown, file->fd.Release(), std::move(file->map),
                                  std::move(fallback));
  }
  return base;
}

}  // namespace

std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenQcowImage(
    const std::string& path, ImageDecoder decoder, const std::vector<std::string>& imageDirs) {
  const std::string full = FullPath(path);
  if (decoder == ImageDecoder::kLibraryOnly) return OpenThroughLibrary(full, path, imageDirs);
  auto own = OpenOwnQcow(full, path, imageDirs);
  if (!own || *own != nullptr) return own;
  return OpenThroughLibrary(full, path, imageDirs);
}

}  // namespace tolvar
