#include <fcntl.h>
#include <fmt/format.h>
#include <libbfio.h>
#include <libvmdk.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "disk/library_image.hpp"
#include "disk/virtual_disk_sources.hpp"
#include "disk/vmdk_map.hpp"

namespace tolvar {

namespace {

namespace fs = std::filesystem;
using namespace image_detail;

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

}  // namespace

std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenVmdkImage(const std::string& path,
                                                                       ImageDecoder decoder) {
  auto chain = std::make_unique<VmdkChain>();
  if (auto opened = OpenVmdkInto(*chain, FullPath(path), 0); !opened)
    return std::unexpected(opened.error());
  size64_t size = 0;
  if (libvmdk_handle_get_media_size(chain->handles.front(), &size, nullptr) != 1 || size == 0) {
    return std::unexpected(Damaged(path, "VMDK"));
  }
  const bool own =
      decoder == ImageDecoder::kOwn && chain->handles.size() == 1 && chain->ownSparseExtent;
  auto library = std::make_unique<VmdkSource>(path, size, std::move(chain));
  if (!own) return library;
  return WithOwnDecoder(path, std::move(library), MakeVmdkSparseMap);
}

}  // namespace tolvar
