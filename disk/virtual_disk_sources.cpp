#include "disk/virtual_disk_sources.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <libbfio.h>
#include <libewf.h>
#include <libqcow.h>
#include <libvhdi.h>
#include <libvmdk.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "disk/cluster_image.hpp"
#include "disk/ewf_segments.hpp"
#include "disk/image_format.hpp"
#include "disk/qcow_map.hpp"
#include "disk/qcow_tables.hpp"
#include "disk/vmdk_map.hpp"

namespace tolvar {

namespace {

namespace fs = std::filesystem;

// Parents are followed this deep at most, which also ends a chain that
// names itself.
constexpr int kMaxParentDepth = 16;

Error Damaged(const std::string& path, std::string_view format) {
  return Error{ErrorCode::kCorrupt,
               fmt::format("{}: the {} image is damaged or incomplete and cannot be opened", path,
                           format),
               std::nullopt};
}

Error MissingFile(const std::string& path, std::string_view what, const std::string& name) {
  return Error{ErrorCode::kNotFound,
               fmt::format("{}: its {} {} is missing (looked for it in {})", path, what, name,
                           fs::absolute(fs::path(path)).parent_path().string()),
               std::nullopt};
}

Error NoMemory(const std::string& path) {
  return Error{ErrorCode::kOutOfMemory, fmt::format("{}: out of memory opening the image", path),
               std::nullopt};
}

// Where a file named inside an image (a parent, an extent) lies: as
// recorded when that exists, else beside the image under the same name.
// Names recorded on Windows use backslashes.
std::optional<std::string> FindRelatedFile(const std::string& imagePath, std::string recorded) {
  std::ranges::replace(recorded, '\\', '/');
  const fs::path named(recorded);
  const fs::path folder = fs::path(imagePath).parent_path();
  std::vector<fs::path> candidates;
  if (named.is_absolute()) {
    candidates.push_back(named);
  } else {
    candidates.push_back(folder / named);
  }
  candidates.push_back(folder / named.filename());
  for (const auto& candidate : candidates) {
    std::error_code ec;
    if (fs::is_regular_file(candidate, ec)) return candidate.string();
  }
  return std::nullopt;
}

ImageFormat FormatOfFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::byte> head(kImageFormatHeadBytes);
  in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
  return DetectImageFormat(head, {});
}

// A UTF-8 text the library hands out through a size query and a copy.
template <typename SizeFn, typename GetFn>
std::optional<std::string> LibraryText(SizeFn size, GetFn get) {
  std::size_t length = 0;
  if (size(&length) != 1 || length <= 1) return std::nullopt;
  std::string text(length, '\0');
  if (get(reinterpret_cast<std::uint8_t*>(text.data()), length) != 1) return std::nullopt;
  text.resize(text.find('\0') == std::string::npos ? length : text.find('\0'));
  return text;
}

// Serves reads from one library handle. The libraries keep a read position
// and caches per handle, so reads are serialised.
class LibraryImageSource : public BlockDeviceSource {
 public:
  LibraryImageSource(std::string path, std::string product, std::uint64_t length)
      : path_(std::move(path)), product_(std::move(product)), length_(length) {}

  DeviceDescription Describe() const override {
    DeviceDescription d;
    d.productId = product_;
    d.geometry = GeometryForLength(length_ / kSectorSize);
    d.path = path_;
    return d;
  }

  std::uint64_t LengthBytes() const override { return length_; }

  std::expected<void, Error> ReadAt(std::uint64_t offset, std::span<std::byte> out) override {
    if (offset > length_ || out.size() > length_ - offset) {
      return std::unexpected(Error{ErrorCode::kOutOfRange,
                                   fmt::format("{}: read past the end", path_),
                                   offset / kSectorSize});
    }
    if (out.empty()) return {};
    std::lock_guard lock(mutex_);
    if (!ReadFromLibrary(offset, out)) {
      return std::unexpected(Error{
          ErrorCode::kIoError,
          fmt::format("read error in {} at sector {}", path_, offset / kSectorSize),
          offset / kSectorSize});
    }
    return {};
  }

 protected:
  // Fills all of `out` from `offset`, or reports failure.
  virtual bool ReadFromLibrary(std::uint64_t offset, std::span<std::byte> out) = 0;

 private:
  std::string path_;
  std::string product_;
  std::uint64_t length_;
  std::mutex mutex_;
};

// ---------------------------------------------------------------- VMDK

// The image's handle first, then its parents; closed and freed child first.
struct VmdkChain {
  std::vector<libvmdk_handle_t*> handles;
  // Extent files opened by us rather than by name; freed after the handles.
  std::vector<libbfio_pool_t*> pools;
  // The image is one sparse extent held in its own file (a monolithic
  // sparse VMDK), which our own decoder may read.
  bool ownSparseExtent = false;
  VmdkChain() = default;
  VmdkChain(const VmdkChain&) = delete;
  VmdkChain& operator=(const VmdkChain&) = delete;
  ~VmdkChain() {
    for (auto* handle : handles) {
      libvmdk_handle_close(handle, nullptr);
      libvmdk_handle_free(&handle, nullptr);
    }
    for (auto* pool : pools) libbfio_pool_free(&pool, nullptr);
  }
};

// A pool holding the one file `path`, opened for reading.
libbfio_pool_t* PoolOfFile(const std::string& path) {
  libbfio_pool_t* pool = nullptr;
  if (libbfio_pool_initialize(&pool, 0, LIBBFIO_POOL_UNLIMITED_NUMBER_OF_OPEN_HANDLES, nullptr) !=
      1) {
    return nullptr;
  }
  libbfio_handle_t* file = nullptr;
  int entry = 0;
  if (libbfio_file_initialize(&file, nullptr) != 1 ||
      libbfio_file_set_name(file, path.c_str(), path.size(), nullptr) != 1 ||
      libbfio_pool_append_handle(pool, &entry, file, LIBBFIO_OPEN_READ, nullptr) != 1) {
    if (file != nullptr) libbfio_handle_free(&file, nullptr);
    libbfio_pool_free(&pool, nullptr);
    return nullptr;
  }
  return pool;
}

std::expected<void, Error> OpenVmdkInto(VmdkChain& chain, const std::string& path, int depth) {
  libvmdk_handle_t* handle = nullptr;
  if (libvmdk_handle_initialize(&handle, nullptr) != 1) return std::unexpected(NoMemory(path));
  chain.handles.push_back(handle);
  if (libvmdk_handle_open(handle, path.c_str(), libvmdk_get_access_flags_read(), nullptr) != 1) {
    return std::unexpected(Damaged(path, "VMDK"));
  }
  const std::string folder = fs::path(path).parent_path().string();
  const std::string searchPath = folder.empty() ? std::string(".") : folder;
  if (libvmdk_handle_set_extent_data_files_path(handle, searchPath.c_str(), searchPath.size(),
                                                nullptr) != 1) {
    return std::unexpected(Damaged(path, "VMDK"));
  }
  int extents = 0;
  if (libvmdk_handle_get_number_of_extents(handle, &extents, nullptr) != 1 || extents <= 0) {
    return std::unexpected(Damaged(path, "VMDK"));
  }
  // A monolithic sparse image names itself as its only extent, by the name
  // it was created with; a renamed copy is still its own extent.
  const ImageFormat ownFormat = FormatOfFile(path);
  const bool selfContained = extents == 1 && (ownFormat == ImageFormat::kVmdkSparse ||
                                              ownFormat == ImageFormat::kVmdkCowd);
  bool extentsByName = true;
  for (int i = 0; i < extents; ++i) {
    libvmdk_extent_descriptor_t* extent = nullptr;
    if (libvmdk_handle_get_extent_descriptor(handle, i, &extent, nullptr) != 1) {
      return std::unexpected(Damaged(path, "VMDK"));
    }
    const auto name = LibraryText(
        [&](std::size_t* size) {
          return libvmdk_extent_descriptor_get_utf8_filename_size(extent, size, nullptr);
        },
        [&](std::uint8_t* text, std::size_t size) {
          return libvmdk_extent_descriptor_get_utf8_filename(extent, text, size, nullptr);
        });
    libvmdk_extent_descriptor_free(&extent, nullptr);
    // Zero extents have no file.
    const auto extentPath = name ? FindRelatedFile(path, *name) : std::nullopt;
    if (name && !extentPath) {
      if (!selfContained) return std::unexpected(MissingFile(path, "extent file", *name));
      extentsByName = false;
    }
    std::error_code ec;
    if (depth == 0 && selfContained && ownFormat == ImageFormat::kVmdkSparse &&
        (!extentPath || fs::equivalent(*extentPath, path, ec))) {
      chain.ownSparseExtent = true;
    }
  }
  if (extentsByName) {
    if (libvmdk_handle_open_extent_data_files(handle, nullptr) != 1) {
      return std::unexpected(Damaged(path, "VMDK"));
    }
  } else {
    libbfio_pool_t* pool = PoolOfFile(path);
    if (pool == nullptr) return std::unexpected(NoMemory(path));
    chain.pools.push_back(pool);
    if (libvmdk_handle_open_extent_data_files_file_io_pool(handle, pool, nullptr) != 1) {
      return std::unexpected(Damaged(path, "VMDK"));
    }
  }

  const auto parent = LibraryText(
      [&](std::size_t* size) {
        return libvmdk_handle_get_utf8_parent_filename_size(handle, size, nullptr);
      },
      [&](std::uint8_t* text, std::size_t size) {
        return libvmdk_handle_get_utf8_parent_filename(handle, text, size, nullptr);
      });
  if (!parent) return {};
  const auto parentPath = FindRelatedFile(path, *parent);
  if (!parentPath) return std::unexpected(MissingFile(path, "parent image", *parent));
  if (depth >= kMaxParentDepth) return std::unexpected(Damaged(path, "VMDK"));
  const std::size_t parentIndex = chain.handles.size();
  if (auto opened = OpenVmdkInto(chain, *parentPath, depth + 1); !opened) return opened;
  if (libvmdk_handle_set_parent_handle(handle, chain.handles[parentIndex], nullptr) != 1) {
    return std::unexpected(Damaged(path, "VMDK"));
  }
  return {};
}

class VmdkSource final : public LibraryImageSource {
 public:
  VmdkSource(std::string path, std::uint64_t length, std::unique_ptr<VmdkChain> chain)
      : LibraryImageSource(std::move(path), "VMDK Image", length), chain_(std::move(chain)) {}

 protected:
  bool ReadFromLibrary(std::uint64_t offset, std::span<std::byte> out) override {
    const ssize_t got = libvmdk_handle_read_buffer_at_offset(
        chain_->handles.front(), out.data(), out.size(), static_cast<off64_t>(offset), nullptr);
    return got == static_cast<ssize_t>(out.size());
  }

 private:
  std::unique_ptr<VmdkChain> chain_;
};

// ---------------------------------------------------------------- VHD, VHDX

struct VhdChain {
  std::vector<libvhdi_file_t*> files;
  VhdChain() = default;
  VhdChain(const VhdChain&) = delete;
  VhdChain& operator=(const VhdChain&) = delete;
  ~VhdChain() {
    for (auto* file : files) {
      libvhdi_file_close(file, nullptr);
      libvhdi_file_free(&file, nullptr);
    }
  }
};

std::expected<void, Error> OpenVhdInto(VhdChain& chain, const std::string& path, int depth) {
  libvhdi_file_t* file = nullptr;
  if (libvhdi_file_initialize(&file, nullptr) != 1) return std::unexpected(NoMemory(path));
  chain.files.push_back(file);
  if (libvhdi_file_open(file, path.c_str(), libvhdi_get_access_flags_read(), nullptr) != 1) {
    return std::unexpected(Damaged(path, "VHD"));
  }
  std::uint32_t diskType = 0;
  if (libvhdi_file_get_disk_type(file, &diskType, nullptr) != 1) {
    return std::unexpected(Damaged(path, "VHD"));
  }
  if (diskType != LIBVHDI_DISK_TYPE_DIFFERENTIAL) return {};
  const auto parent = LibraryText(
      [&](std::size_t* size) {
        return libvhdi_file_get_utf8_parent_filename_size(file, size, nullptr);
      },
      [&](std::uint8_t* text, std::size_t size) {
        return libvhdi_file_get_utf8_parent_filename(file, text, size, nullptr);
      });
  if (!parent) return std::unexpected(Damaged(path, "VHD"));
  const auto parentPath = FindRelatedFile(path, *parent);
  if (!parentPath) return std::unexpected(MissingFile(path, "parent image", *parent));
  if (depth >= kMaxParentDepth) return std::unexpected(Damaged(path, "VHD"));
  const std::size_t parentIndex = chain.files.size();
  if (auto opened = OpenVhdInto(chain, *parentPath, depth + 1); !opened) return opened;
  if (libvhdi_file_set_parent_file(file, chain.files[parentIndex], nullptr) != 1) {
    return std::unexpected(Damaged(path, "VHD"));
  }
  return {};
}

class VhdSource final : public LibraryImageSource {
 public:
  VhdSource(std::string path, std::string product, std::uint64_t length,
            std::unique_ptr<VhdChain> chain)
      : LibraryImageSource(std::move(path), std::move(product), length),
        chain_(std::move(chain)) {}

 protected:
  bool ReadFromLibrary(std::uint64_t offset, std::span<std::byte> out) override {
    const ssize_t got = libvhdi_file_read_buffer_at_offset(
        chain_->files.front(), out.data(), out.size(), static_cast<off64_t>(offset), nullptr);
    return got == static_cast<ssize_t>(out.size());
  }

 private:
  std::unique_ptr<VhdChain> chain_;
};

// ---------------------------------------------------------------- qcow

struct QcowChain {
  std::vector<libqcow_file_t*> files;
  QcowChain() = default;
  QcowChain(const QcowChain&) = delete;
  QcowChain& operator=(const QcowChain&) = delete;
  ~QcowChain() {
    for (auto* file : files) {
      libqcow_file_close(file, nullptr);
      libqcow_file_free(&file, nullptr);
    }
  }
};

std::expected<void, Error> OpenQcowInto(QcowChain& chain, const std::string& path, int depth) {
  // The library trusts the header and cluster tables; check them first.
  {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
      if (fd >= 0) ::close(fd);
      return std::unexpected(Damaged(path, "qcow"));
    }
    const std::string wrong = CheckQcowTables(
        [fd](std::uint64_t offset, std::span<std::byte> out) {
          return ::pread(fd, out.data(), out.size(), static_cast<off_t>(offset)) ==
                 static_cast<ssize_t>(out.size());
        },
        static_cast<std::uint64_t>(st.st_size));
    ::close(fd);
    if (!wrong.empty()) {
      return std::unexpected(Error{
          ErrorCode::kCorrupt,
          fmt::format("{}: the qcow image is damaged and cannot be opened: {}", path, wrong),
          std::nullopt});
    }
  }
  libqcow_file_t* file = nullptr;
  if (libqcow_file_initialize(&file, nullptr) != 1) return std::unexpected(NoMemory(path));
  chain.files.push_back(file);
  if (libqcow_file_open(file, path.c_str(), libqcow_get_access_flags_read(), nullptr) != 1) {
    return std::unexpected(Damaged(path, "qcow"));
  }
  std::uint32_t encryption = LIBQCOW_ENCRYPTION_METHOD_NONE;
  if (libqcow_file_get_encryption_method(file, &encryption, nullptr) != 1) {
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
  const auto backing = LibraryText(
      [&](std::size_t* size) {
        return libqcow_file_get_utf8_backing_filename_size(file, size, nullptr);
      },
      [&](std::uint8_t* text, std::size_t size) {
        return libqcow_file_get_utf8_backing_filename(file, text, size, nullptr);
      });
  if (!backing) return {};
  const auto backingPath = FindRelatedFile(path, *backing);
  if (!backingPath) return std::unexpected(MissingFile(path, "backing file", *backing));
  if (FormatOfFile(*backingPath) != ImageFormat::kQcow) {
    return std::unexpected(Error{
        ErrorCode::kNotReadable,
        fmt::format("{}: its backing file {} is not a qcow image; merge the two into a raw image "
                    "first: qemu-img convert -O raw {} {}.img",
                    path, *backing, path, fs::path(path).stem().string()),
        std::nullopt});
  }
  if (depth >= kMaxParentDepth) return std::unexpected(Damaged(path, "qcow"));
  const std::size_t parentIndex = chain.files.size();
  if (auto opened = OpenQcowInto(chain, *backingPath, depth + 1); !opened) return opened;
  if (libqcow_file_set_parent_file(file, chain.files[parentIndex], nullptr) != 1) {
    return std::unexpected(Damaged(path, "qcow"));
  }
  return {};
}

class QcowSource final : public LibraryImageSource {
 public:
  QcowSource(std::string path, std::uint64_t length, std::unique_ptr<QcowChain> chain)
      : LibraryImageSource(std::move(path), "qcow Image", length), chain_(std::move(chain)) {}

 protected:
  bool ReadFromLibrary(std::uint64_t offset, std::span<std::byte> out) override {
    const ssize_t got = libqcow_file_read_buffer_at_offset(
        chain_->files.front(), out.data(), out.size(), static_cast<off64_t>(offset), nullptr);
    return got == static_cast<ssize_t>(out.size());
  }

 private:
  std::unique_ptr<QcowChain> chain_;
};

// ---------------------------------------------------------------- E01

class EwfSource final : public LibraryImageSource {
 public:
  EwfSource(std::string path, std::uint64_t length, libewf_handle_t* handle)
      : LibraryImageSource(std::move(path), "E01 Image", length), handle_(handle) {
    std::uint32_t bytesPerSector = 0;
    if (libewf_handle_get_bytes_per_sector(handle_, &bytesPerSector, nullptr) == 1 &&
        bytesPerSector != 0) {
      bytesPerSector_ = bytesPerSector;
    }
  }
  ~EwfSource() override {
    libewf_handle_close(handle_, nullptr);
    libewf_handle_free(&handle_, nullptr);
  }
  EwfSource(const EwfSource&) = delete;
  EwfSource& operator=(const EwfSource&) = delete;

 protected:
  // A chunk whose checksum does not match (or whose segment is gone) is an
  // unreadable run, like bad sectors of a disk. The library fills it and
  // records it once, then serves it from its cache; so every run it has
  // recorded is kept here and each read that touches one fails.
  bool ReadFromLibrary(std::uint64_t offset, std::span<std::byte> out) override {
    const ssize_t got = libewf_handle_read_random(handle_, out.data(), out.size(),
                                                  static_cast<off64_t>(offset), nullptr);
    std::uint32_t errors = 0;
    libewf_handle_get_number_of_checksum_errors(handle_, &errors, nullptr);
    for (; knownErrors_ < errors; ++knownErrors_) {
      std::uint64_t first = 0;
      std::uint64_t count = 0;
      if (libewf_handle_get_checksum_error(handle_, knownErrors_, &first, &count, nullptr) == 1) {
        badRuns_.emplace_back(first * bytesPerSector_, count * bytesPerSector_);
      }
    }
    if (got != static_cast<ssize_t>(out.size())) return false;
    const std::uint64_t end = offset + out.size();
    return std::ranges::none_of(badRuns_, [&](const auto& run) {
      return run.first < end && offset < run.first + run.second;
    });
  }

 private:
  libewf_handle_t* handle_;
  std::uint64_t bytesPerSector_ = kSectorSize;
  std::uint32_t knownErrors_ = 0;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> badRuns_;  // byte offset, length
};

// Checks that the segments found form a whole set: each but the last says
// another follows, the last that the set is done.
std::expected<void, Error> CheckEwfSegments(const std::string& path, char** names, int count) {
  for (int i = 0; i < count; ++i) {
    const std::string name = names[i];
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
      if (fd >= 0) ::close(fd);
      return std::unexpected(Error{
          ErrorCode::kNotReadable,
          fmt::format("{}: its segment file {} cannot be opened for reading", path, name),
          std::nullopt});
    }
    const EwfSegmentEnd end = FindEwfSegmentEnd(
        [fd](std::uint64_t offset, std::span<std::byte> out) {
          return ::pread(fd, out.data(), out.size(), static_cast<off_t>(offset)) ==
                 static_cast<ssize_t>(out.size());
        },
        static_cast<std::uint64_t>(st.st_size));
    ::close(fd);
    if (end == EwfSegmentEnd::kBroken) {
      return std::unexpected(
          Error{ErrorCode::kCorrupt,
                fmt::format("{}: its segment file {} is damaged or cut short", path, name),
                std::nullopt});
    }
    if (end == EwfSegmentEnd::kNext && i == count - 1) {
      const std::string next = NextEwfSegmentName(name);
      return std::unexpected(MissingFile(path, "segment file", next.empty() ? "after " + name : next));
    }
  }
  return {};
}

struct GlobbedNames {
  char** names = nullptr;
  int count = 0;
  GlobbedNames() = default;
  GlobbedNames(const GlobbedNames&) = delete;
  GlobbedNames& operator=(const GlobbedNames&) = delete;
  ~GlobbedNames() {
    if (names != nullptr) libewf_glob_free(names, count, nullptr);
  }
};

// The libraries may close and reopen files by name later, after a mount has
// gone to the background and changed its folder: hand them full paths.
std::string FullPath(const std::string& path) {
  std::error_code ec;
  const fs::path full = fs::absolute(path, ec);
  return ec ? path : full.lexically_normal().string();
}

// Our own decoder's reader for a sparse image, with the library's source
// as the fallback for what the decoder leaves to it; the library's source
// alone when the decoder does not take the image (or disagrees with the
// library about its size, which it should never do).
template <typename MakeMap>
std::unique_ptr<BlockDeviceSource> WithOwnDecoder(const std::string& path,
                                                  std::unique_ptr<BlockDeviceSource> library,
                                                  MakeMap makeMap) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    if (fd >= 0) ::close(fd);
    return library;
  }
  auto map = makeMap(
      [fd](std::uint64_t offset, std::span<std::byte> out) {
        return ::pread(fd, out.data(), out.size(), static_cast<off_t>(offset)) ==
               static_cast<ssize_t>(out.size());
      },
      static_cast<std::uint64_t>(st.st_size));
  if (!map || *map == nullptr || (*map)->VirtualSize() != library->LengthBytes()) {
    ::close(fd);
    return library;
  }
  return MakeClusterImageSource(path, fd, std::move(*map), std::move(library));
}

}  // namespace

std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenVmdkImage(const std::string& path,
                                                                       ImageDecoder decoder) {
  auto chain = std::make_unique<VmdkChain>();
  if (auto opened = OpenVmdkInto(*chain, FullPath(path), 0); !opened) return std::unexpected(opened.error());
  size64_t size = 0;
  if (libvmdk_handle_get_media_size(chain->handles.front(), &size, nullptr) != 1 || size == 0) {
    return std::unexpected(Damaged(path, "VMDK"));
  }
  const bool own = decoder == ImageDecoder::kOwn && chain->handles.size() == 1 &&
                   chain->ownSparseExtent;
  auto library = std::make_unique<VmdkSource>(path, size, std::move(chain));
  if (!own) return library;
  return WithOwnDecoder(path, std::move(library), MakeVmdkSparseMap);
}

std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenVhdImage(const std::string& path) {
  auto chain = std::make_unique<VhdChain>();
  if (auto opened = OpenVhdInto(*chain, FullPath(path), 0); !opened) return std::unexpected(opened.error());
  size64_t size = 0;
  int fileType = 0;
  if (libvhdi_file_get_media_size(chain->files.front(), &size, nullptr) != 1 || size == 0 ||
      libvhdi_file_get_file_type(chain->files.front(), &fileType, nullptr) != 1) {
    return std::unexpected(Damaged(path, "VHD"));
  }
  return std::make_unique<VhdSource>(
      path, fileType == LIBVHDI_FILE_TYPE_VHDX ? "VHDX Image" : "VHD Image", size,
      std::move(chain));
}

std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenQcowImage(const std::string& path,
                                                                       ImageDecoder decoder) {
  auto chain = std::make_unique<QcowChain>();
  if (auto opened = OpenQcowInto(*chain, FullPath(path), 0); !opened) return std::unexpected(opened.error());
  size64_t size = 0;
  if (libqcow_file_get_media_size(chain->files.front(), &size, nullptr) != 1 || size == 0) {
    return std::unexpected(Damaged(path, "qcow"));
  }
  auto library = std::make_unique<QcowSource>(path, size, std::move(chain));
  if (decoder == ImageDecoder::kLibraryOnly) return library;
  return WithOwnDecoder(path, std::move(library), MakeQcowMap);
}

std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenEwfImage(const std::string& path) {
  GlobbedNames segments;
  const std::string full = FullPath(path);
  if (libewf_glob(full.c_str(), full.size(), LIBEWF_FORMAT_UNKNOWN, &segments.names,
                  &segments.count, nullptr) != 1 ||
      segments.count <= 0) {
    return std::unexpected(Damaged(path, "E01"));
  }
  if (auto whole = CheckEwfSegments(path, segments.names, segments.count); !whole) {
    return std::unexpected(whole.error());
  }
  libewf_handle_t* handle = nullptr;
  if (libewf_handle_initialize(&handle, nullptr) != 1) return std::unexpected(NoMemory(path));
  if (libewf_handle_open(handle, segments.names, segments.count, LIBEWF_OPEN_READ, nullptr) != 1) {
    libewf_handle_free(&handle, nullptr);
    return std::unexpected(Damaged(path, "E01"));
  }
  size64_t size = 0;
  if (libewf_handle_get_media_size(handle, &size, nullptr) != 1 || size == 0) {
    libewf_handle_close(handle, nullptr);
    libewf_handle_free(&handle, nullptr);
    return std::unexpected(Damaged(path, "E01"));
  }
  return std::make_unique<EwfSource>(path, size, handle);
}

}  // namespace tolvar
