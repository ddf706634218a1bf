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

#include "disk/image_fields.hpp"
#include "disk/library_image.hpp"
#include "disk/regular_file.hpp"
#include "disk/vhd_locator.hpp"
#include "disk/vhdx_blocks.hpp"
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

// The parent names a differencing VHD records, best first: the locator
// entries (relative, then absolute, then others), then the header's own
// name. Read by our own decoder; the library's copy of them is never used.
std::expected<std::vector<std::string>, Error> VhdParentNames(const std::string& path) {
  auto fd = OpenRegularFileForReading(path, "VHD image");
  if (!fd) return std::unexpected(fd.error());
  struct stat st {};
  const bool sized = ::fstat(*fd, &st) == 0;
  const auto size = static_cast<std::uint64_t>(st.st_size);
  const auto read = [&](std::uint64_t offset, std::span<std::byte> out) {
    return image::FitsInFile(offset, out.size(), size) &&
           ::pread(*fd, out.data(), out.size(), static_cast<off_t>(offset)) ==
               static_cast<ssize_t>(out.size());
  };
  std::vector<std::string> names;
  std::vector<std::byte> footer(kVhdFooterBytes);
  std::vector<std::byte> header(kVhdDynamicHeaderBytes);
  const bool ok = [&] {
    if (!sized || size < kVhdFooterBytes || !read(size - kVhdFooterBytes, footer)) return false;
    auto fields = ParseVhdFooter(footer);
    // A damaged footer is the library's to judge, from its copy at the start.
    if (!fields && (!read(0, footer) || !(fields = ParseVhdFooter(footer)))) return false;
    if (fields->diskType != 4) return true;
    if (!read(fields->dynamicHeaderOffset, header)) return false;
    auto locator = ParseVhdDynamicHeader(header, size);
    if (!locator) return false;
    std::ranges::stable_sort(locator->entries, {}, [](const VhdLocatorEntry& entry) {
      return entry.platformCode == 0x57327275 ? 0 : entry.platformCode == 0x57326b75 ? 1 : 2;
    });
    for (const auto& entry : locator->entries) {
      std::vector<std::byte> data(entry.dataLength);
      if (!read(entry.dataOffset, data)) continue;
      std::string name = VhdLocatorName(entry, data);
      if (!name.empty() && std::ranges::find(names, name) == names.end()) names.push_back(name);
    }
    if (!locator->unicodeName.empty() &&
        std::ranges::find(names, locator->unicodeName) == names.end()) {
      names.push_back(locator->unicodeName);
    }
    return !names.empty();
  }();
  ::close(*fd);
  if (!ok) return std::unexpected(Damaged(path, "VHD"));
  return names;
}

std::expected<std::vector<std::string>, Error> OpenVhdFile(VhdChain& chain,
                                                           const std::string& path) {
  libvhdi_file_t* file = nullptr;
  if (libvhdi_file_initialize(&file, nullptr) != 1) return std::unexpected(NoMemory(path));
  chain.files.push_back(file);
  if (auto regular = OpenRegularFileForReading(path, "VHD image"); regular) {
    ::close(*regular);
  } else {
    return std::unexpected(regular.error());
  }
  if (libvhdi_file_open(file, path.c_str(), libvhdi_get_access_flags_read(), nullptr) != 1) {
    return std::unexpected(Damaged(path, "VHD"));
  }
  std::uint32_t diskType = 0;
  int fileType = 0;
  if (libvhdi_file_get_disk_type(file, &diskType, nullptr) != 1 ||
      libvhdi_file_get_file_type(file, &fileType, nullptr) != 1) {
    return std::unexpected(Damaged(path, "VHD"));
  }
  if (diskType != LIBVHDI_DISK_TYPE_DIFFERENTIAL) return std::vector<std::string>{};
  if (fileType == LIBVHDI_FILE_TYPE_VHD) return VhdParentNames(path);
  // A differencing VHDX: its parent's name comes through the library, and
  // is resolved like any other.
  const auto parent = LibraryText(
      [&](std::size_t* size) {
        return libvhdi_file_get_utf8_parent_filename_size(file, size, nullptr);
      },
      [&](std::uint8_t* text, std::size_t size) {
        return libvhdi_file_get_utf8_parent_filename(file, text, size, nullptr);
      });
  if (!parent) return std::unexpected(Damaged(path, "VHD"));
  return std::vector<std::string>{*parent};
}

class VhdSource final : public LibraryImageSource {
 public:
  VhdSource(std::string path, std::string product, std::uint64_t length,
            std::unique_ptr<VhdChain> chain, std::optional<VhdxBlockStates> states)
      : LibraryImageSource(std::move(path), std::move(product), length),
        chain_(std::move(chain)),
        states_(std::move(states)) {}

 protected:
  bool ReadFromLibrary(std::uint64_t offset, std::span<std::byte> out) override {
    // Blocks whose table entry holds no trustworthy data fail the read, so
    // that their sectors are recorded as unreadable instead of read as zeros.
    if (states_ && states_->blockBytes != 0) {
      const std::uint64_t last = (offset + out.size() - 1) / states_->blockBytes;
      for (std::uint64_t block = offset / states_->blockBytes; block <= last; ++block) {
        if (block >= states_->unreadable.size() || states_->unreadable[block]) return false;
      }
    }
    const ssize_t got = libvhdi_file_read_buffer_at_offset(
        chain_->files.front(), out.data(), out.size(), static_cast<off64_t>(offset), nullptr);
    return got == static_cast<ssize_t>(out.size());
  }

 private:
  std::unique_ptr<VhdChain> chain_;
  std::optional<VhdxBlockStates> states_;
};

// The block states of a VHDX file; none when our decoder cannot read its
// tables (the library, which opened it, then serves it unchecked).
std::optional<VhdxBlockStates> VhdxStatesOf(const std::string& path) {
  auto fd = OpenRegularFileForReading(path, "VHDX image");
  if (!fd) return std::nullopt;
  struct stat st {};
  std::optional<VhdxBlockStates> states;
  if (::fstat(*fd, &st) == 0) {
    auto read = ReadVhdxBlockStates(
        [&](std::uint64_t offset, std::span<std::byte> out) {
          return ::pread(*fd, out.data(), out.size(), static_cast<off_t>(offset)) ==
                 static_cast<ssize_t>(out.size());
        },
        static_cast<std::uint64_t>(st.st_size));
    if (read) states = std::move(*read);
  }
  ::close(*fd);
  return states;
}

}  // namespace

std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenVhdImage(
    const std::string& path, const std::vector<std::string>& imageDirs) {
  auto chain = std::make_unique<VhdChain>();
  ParentChainSteps steps;
  steps.openOne = [&](const std::string& file) { return OpenVhdFile(*chain, file); };
  steps.linkToParent = [&](std::size_t child) {
    return libvhdi_file_set_parent_file(chain->files[child], chain->files[child + 1], nullptr) == 1;
  };
  if (auto opened = OpenParentChain(FullPath(path), "VHD", "parent image", imageDirs, steps);
      !opened) {
    return std::unexpected(opened.error());
  }
  size64_t size = 0;
  int fileType = 0;
  if (libvhdi_file_get_media_size(chain->files.front(), &size, nullptr) != 1 || size == 0 ||
      libvhdi_file_get_file_type(chain->files.front(), &fileType, nullptr) != 1) {
    return std::unexpected(Damaged(path, "VHD"));
  }
  const bool vhdx = fileType == LIBVHDI_FILE_TYPE_VHDX;
  return std::make_unique<VhdSource>(path, vhdx ? "VHDX Image" : "VHD Image", size,
                                     std::move(chain),
                                     vhdx ? VhdxStatesOf(FullPath(path)) : std::nullopt);
}

}  // namespace tolvar
