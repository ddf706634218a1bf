#include <fcntl.h>
#include <fmt/format.h>
#include <libvhdi.h>
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

namespace tolvar {

namespace {

namespace fs = std::filesystem;
using namespace image_detail;

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
      : LibraryImageSource(std::move(path), std::move(product), length), chain_(std::move(chain)) {}

 protected:
  bool ReadFromLibrary(std::uint64_t offset, std::span<std::byte> out) override {
    const ssize_t got = libvhdi_file_read_buffer_at_offset(
        chain_->files.front(), out.data(), out.size(), static_cast<off64_t>(offset), nullptr);
    return got == static_cast<ssize_t>(out.size());
  }

 private:
  std::unique_ptr<VhdChain> chain_;
};

}  // namespace

std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenVhdImage(const std::string& path) {
  auto chain = std::make_unique<VhdChain>();
  if (auto opened = OpenVhdInto(*chain, FullPath(path), 0); !opened)
    return std::unexpected(opened.error());
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

}  // namespace tolvar
