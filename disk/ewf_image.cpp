#include <fcntl.h>
#include <fmt/format.h>
#include <libewf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "disk/ewf_segments.hpp"
#include "disk/library_image.hpp"
#include "disk/virtual_disk_sources.hpp"

namespace tolvar {

namespace {

namespace fs = std::filesystem;
using namespace image_detail;

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
      return std::unexpected(
          Error{ErrorCode::kNotReadable,
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
      return std::unexpected(
          MissingFile(path, "segment file", next.empty() ? "after " + name : next));
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

}  // namespace

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
