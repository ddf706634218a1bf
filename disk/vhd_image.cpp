#include <fmt/format.h>
#include <libvhdi.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "disk/image_fields.hpp"
#include "disk/library_handles.hpp"
#include "disk/library_image.hpp"
#include "disk/posix_read.hpp"
#include "disk/regular_file.hpp"
#include "disk/sized_image_source.hpp"
#include "disk/vhd_locator.hpp"
#include "disk/vhd_map.hpp"
#include "disk/vhdx_blocks.hpp"
#include "disk/virtual_disk_sources.hpp"

namespace tolvar {

namespace {

using namespace image_detail;

Error DamagedBecause(const std::string& path, std::string_view wrong) {
  return Error{ErrorCode::kCorrupt,
               fmt::format("{}: the VHD image is damaged and cannot be opened: {}", path, wrong),
               std::nullopt};
}

// One VHD file of a chain, read by our own decoder: its descriptor (owned
// until a source takes it), its size and its checked layout.
struct VhdFile {
  std::string path;
  int fd = -1;
  std::uint64_t size = 0;
  VhdLayout layout;
  VhdFile() = default;
  VhdFile(const VhdFile&) = delete;
  VhdFile& operator=(const VhdFile&) = delete;
  ~VhdFile() {
    if (fd >= 0) ::close(fd);
  }
  [[nodiscard]] SegmentReader Reader() const {
    return [fd = fd, size = size](std::uint64_t offset, std::span<std::byte> out) {
      return image::FitsInFile(offset, out.size(), size) &&
             ::pread(fd, out.data(), out.size(), static_cast<off_t>(offset)) ==
                 static_cast<ssize_t>(out.size());
    };
  }
};

// The parent names a differencing VHD records, best first: the locator
// entries (relative, then absolute, then others), then the header's own
// name.
std::expected<std::vector<std::string>, Error> VhdParentNames(const VhdFile& file) {
  const SegmentReader read = file.Reader();
  std::vector<std::byte> header(kVhdDynamicHeaderBytes);
  if (!read(file.layout.dynamicHeaderOffset, header)) {
    return std::unexpected(DamagedBecause(file.path, "its dynamic-disk header cannot be read"));
  }
  auto locator = ParseVhdDynamicHeader(header, file.size);
  if (!locator) return std::unexpected(DamagedBecause(file.path, locator.error()));
  std::ranges::stable_sort(locator->entries, {}, [](const VhdLocatorEntry& entry) {
    return entry.platformCode == 0x57327275 ? 0 : entry.platformCode == 0x57326b75 ? 1 : 2;
  });
  std::vector<std::string> names;
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
  if (names.empty()) return std::unexpected(DamagedBecause(file.path, "it names no parent image"));
  return names;
}

std::expected<std::vector<std::string>, Error> OpenOwnVhdFile(
    std::vector<std::unique_ptr<VhdFile>>& chain, const std::string& path) {
  auto file = std::make_unique<VhdFile>();
  file->path = path;
  auto fd = OpenRegularFileForReading(path, "VHD image");
  if (!fd) return std::unexpected(fd.error());
  file->fd = *fd;
  struct stat st {};
  if (::fstat(file->fd, &st) != 0) return std::unexpected(Damaged(path, "VHD"));
  file->size = static_cast<std::uint64_t>(st.st_size);
  auto layout = ReadVhdLayout(file->Reader(), file->size);
  if (!layout) return std::unexpected(DamagedBecause(path, layout.error()));
  file->layout = std::move(*layout);
  // A parent found by name must be the disk the child was made over: any
  // other one would show its own sectors where the child has none.
  if (!chain.empty()) {
    const auto& expected = chain.back()->layout.parentUniqueId;
    if (std::ranges::any_of(expected, [](std::byte b) { return b != std::byte{0}; }) &&
        expected != file->layout.uniqueId) {
      return std::unexpected(Error{
          ErrorCode::kCorrupt,
          fmt::format("{}: its parent image {} is another disk (its identifier is not the one "
                      "the child records); name the folder holding the right one with --image-dir",
                      chain.back()->path, path),
          std::nullopt});
    }
  }
  chain.push_back(std::move(file));
  if (chain.back()->layout.type != VhdLayout::Type::kDifferencing) {
    return std::vector<std::string>{};
  }
  return VhdParentNames(*chain.back());
}

// A fixed VHD: the disk's bytes from the start of the file, which the
// kernel may copy straight out of it.
class FixedVhdSource final : public SizedImageSource {
 public:
  FixedVhdSource(std::string path, int fd, std::uint64_t length)
      : SizedImageSource(std::move(path), "VHD Image", length), fd_(fd) {}
  ~FixedVhdSource() override { ::close(fd_); }
  FixedVhdSource(const FixedVhdSource&) = delete;
  FixedVhdSource& operator=(const FixedVhdSource&) = delete;

  std::expected<void, Error> ReadAt(std::uint64_t offset, std::span<std::byte> out) override {
    return detail::ReadFully(fd_, LengthBytes(), Path(), offset, out);
  }
  std::optional<FileSpan> FileBacking(std::uint64_t offset, std::uint64_t length) const override {
    if (!CheckWithin(offset, length)) return std::nullopt;
    return FileSpan{fd_, offset};
  }

 private:
  int fd_;
};

// What a dynamic or differencing VHD's decoder falls back on: the parent's
// disk for the sectors a differencing disk leaves to it (none for a
// dynamic disk, which leaves nothing), and the drive's description.
class VhdParentSource final : public SizedImageSource {
 public:
  VhdParentSource(std::string path, std::uint64_t length, std::unique_ptr<BlockDeviceSource> parent)
      : SizedImageSource(std::move(path), "VHD Image", length), parent_(std::move(parent)) {}

  std::expected<void, Error> ReadAt(std::uint64_t offset, std::span<std::byte> out) override {
    if (parent_ && CheckReadWithin(Path(), parent_->LengthBytes(), offset, out.size())) {
      return parent_->ReadAt(offset, out);
    }
    return std::unexpected(ReadErrorAt(Path(), offset, "the parent image does not hold it"));
  }

 private:
  std::unique_ptr<BlockDeviceSource> parent_;
};

// The source of one file of the chain over its parent's (null for the
// oldest). The file's descriptor passes to the source.
std::unique_ptr<BlockDeviceSource> VhdFileSource(VhdFile& file, const std::string& shownPath,
                                                 std::unique_ptr<BlockDeviceSource> parent) {
  const std::uint64_t length = file.layout.diskBytes;
  if (file.layout.type == VhdLayout::Type::kFixed) {
    return std::make_unique<FixedVhdSource>(shownPath, std::exchange(file.fd, -1), length);
  }
  auto map = MakeVhdMap(file.Reader(), file.size, std::move(file.layout));
  const int fd = std::exchange(file.fd, -1);
  return MakeClusterImageSource(
      shownPath, fd, std::move(map),
      std::make_unique<VhdParentSource>(shownPath, length, std::move(parent)));
}

std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenOwnVhdImage(
    const std::string& path, const std::vector<std::string>& imageDirs) {
  std::vector<std::unique_ptr<VhdFile>> chain;
  ParentChainSteps steps;
  steps.openOne = [&](const std::string& file) { return OpenOwnVhdFile(chain, file); };
  steps.linkToParent = [](std::size_t) { return true; };
  if (auto opened = OpenParentChain(FullPath(path), "VHD", "parent image", imageDirs, steps);
      !opened) {
    return std::unexpected(opened.error());
  }
  std::unique_ptr<BlockDeviceSource> source;
  for (std::size_t i = chain.size(); i-- > 0;) {
    source = VhdFileSource(*chain[i], i == 0 ? path : chain[i]->path, std::move(source));
  }
  return source;
}

// ---- VHDX, read through its library ----

// How long the check of one VHDX file in a child process may take.
constexpr int kChildCheckSeconds = 30;

// The library keeps memory it never frees after some failed opens of
// damaged files, and could loop on others: a short-lived child opens each
// file first, so that this process opens only files the library opened
// cleanly there. The child ends with _exit, so nothing it leaves is ever
// counted.
std::expected<void, Error> LibraryOpensInChild(const std::string& path) {
  const pid_t child = ::fork();
  if (child < 0) {
    return std::unexpected(
        Error{ErrorCode::kIoError,
              fmt::format("{}: the VHDX image cannot be checked: {}", path, std::strerror(errno)),
              std::nullopt});
  }
  if (child == 0) {
    libvhdi_file_t* file = nullptr;
    size64_t size = 0;
    const bool ok =
        libvhdi_file_initialize(&file, nullptr) == 1 &&
        libvhdi_file_open(file, path.c_str(), libvhdi_get_access_flags_read(), nullptr) == 1 &&
        libvhdi_file_get_media_size(file, &size, nullptr) == 1 && size > 0;
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  const timespec pause{0, 5'000'000};
  for (int waited = 0;; ++waited) {
    const pid_t ended = ::waitpid(child, &status, WNOHANG);
    if (ended == child) break;
    if (ended < 0 && errno != EINTR) return std::unexpected(Damaged(path, "VHDX"));
    if (waited >= kChildCheckSeconds * 200) {
      ::kill(child, SIGKILL);
      while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
      }
      return std::unexpected(Damaged(path, "VHDX"));
    }
    ::nanosleep(&pause, nullptr);
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return std::unexpected(Damaged(path, "VHDX"));
  }
  return {};
}

struct VhdChain {
  std::vector<VhdiFile> files;
};

std::expected<std::vector<std::string>, Error> OpenVhdxFile(VhdChain& chain,
                                                            const std::string& path) {
  if (auto regular = OpenRegularFileForReading(path, "VHDX image"); regular) {
    ::close(*regular);
  } else {
    return std::unexpected(regular.error());
  }
  if (FormatOfFile(path) != ImageFormat::kVhdx) return std::unexpected(Damaged(path, "VHDX"));
  if (auto checked = LibraryOpensInChild(path); !checked) return std::unexpected(checked.error());
  VhdiFile& file = chain.files.emplace_back();
  if (libvhdi_file_initialize(file.Out(), nullptr) != 1) return std::unexpected(NoMemory(path));
  if (libvhdi_file_open(file.Get(), path.c_str(), libvhdi_get_access_flags_read(), nullptr) != 1) {
    return std::unexpected(Damaged(path, "VHDX"));
  }
  std::uint32_t diskType = 0;
  if (libvhdi_file_get_disk_type(file.Get(), &diskType, nullptr) != 1) {
    return std::unexpected(Damaged(path, "VHDX"));
  }
  if (diskType != LIBVHDI_DISK_TYPE_DIFFERENTIAL) return std::vector<std::string>{};
  // A differencing VHDX: its parent's name comes through the library, and
  // is resolved like any other.
  const auto parent = LibraryText(
      [&](std::size_t* size) {
        return libvhdi_file_get_utf8_parent_filename_size(file.Get(), size, nullptr);
      },
      [&](std::uint8_t* text, std::size_t size) {
        return libvhdi_file_get_utf8_parent_filename(file.Get(), text, size, nullptr);
      });
  if (!parent) return std::unexpected(Damaged(path, "VHDX"));
  return std::vector<std::string>{*parent};
}

class VhdxSource final : public LibraryImageSource {
 public:
  VhdxSource(std::string path, std::uint64_t length, std::unique_ptr<VhdChain> chain,
             std::optional<VhdxBlockStates> states)
      : LibraryImageSource(std::move(path), "VHDX Image", length),
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
        chain_->files.front().Get(), out.data(), out.size(), static_cast<off64_t>(offset), nullptr);
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
  if (FormatOfFile(path) != ImageFormat::kVhdx) return OpenOwnVhdImage(path, imageDirs);
  auto chain = std::make_unique<VhdChain>();
  ParentChainSteps steps;
  steps.openOne = [&](const std::string& file) { return OpenVhdxFile(*chain, file); };
  steps.linkToParent = [&](std::size_t child) {
    return libvhdi_file_set_parent_file(chain->files[child].Get(), chain->files[child + 1].Get(),
                                        nullptr) == 1;
  };
  if (auto opened = OpenParentChain(FullPath(path), "VHDX", "parent image", imageDirs, steps);
      !opened) {
    return std::unexpected(opened.error());
  }
  size64_t size = 0;
  if (libvhdi_file_get_media_size(chain->files.front().Get(), &size, nullptr) != 1 || size == 0) {
    return std::unexpected(Damaged(path, "VHDX"));
  }
  return std::make_unique<VhdxSource>(path, size, std::move(chain), VhdxStatesOf(FullPath(path)));
}

}  // namespace tolvar
