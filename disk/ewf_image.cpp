#include <fmt/format.h>
#include <libewf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "disk/ewf_segments.hpp"
#include "disk/library_handles.hpp"
#include "disk/library_image.hpp"
#include "disk/regular_file.hpp"
#include "disk/virtual_disk_sources.hpp"

namespace tolvar {

namespace {

namespace fs = std::filesystem;
using namespace image_detail;

Error SegmentDamaged(const std::string& path, const std::string& segment, const std::string& what) {
  return Error{ErrorCode::kCorrupt,
               fmt::format("{}: its segment file {} is damaged: {}", path,
                           fs::path(segment).filename().string(), what),
               std::nullopt};
}

// The segment files of a set, by name; kept open a bounded number at a
// time, since a large set has more segments than a process may hold open.
// Each is reopened only as a regular file of the size it had.
class SegmentFiles {
 public:
  SegmentFiles() = default;
  SegmentFiles(const SegmentFiles&) = delete;
  SegmentFiles& operator=(const SegmentFiles&) = delete;
  ~SegmentFiles() {
    for (const int fd : fds_) {
      if (fd >= 0) ::close(fd);
    }
  }

  // Adds `name` when it is a regular file, and leaves it open.
  std::expected<void, Error> Add(const std::string& name) {
    auto fd = OpenRegularFileForReading(name, "segment file");
    if (!fd) return std::unexpected(fd.error());
    struct stat st {};
    if (::fstat(*fd, &st) != 0) {
      ::close(*fd);
      return std::unexpected(Error{ErrorCode::kNotReadable,
                                   fmt::format("{}: the segment file cannot be read", name),
                                   std::nullopt});
    }
    names_.push_back(name);
    sizes_.push_back(static_cast<std::uint64_t>(st.st_size));
    fds_.push_back(*fd);
    Opened(fds_.size() - 1);
    return {};
  }

  [[nodiscard]] std::size_t Count() const { return names_.size(); }
  [[nodiscard]] const std::string& Name(std::size_t i) const { return names_[i]; }
  [[nodiscard]] std::uint64_t Size(std::size_t i) const { return sizes_[i]; }

  bool Read(std::size_t segment, std::uint64_t offset, std::span<std::byte> out) {
    if (segment >= fds_.size() || offset > sizes_[segment] ||
        out.size() > sizes_[segment] - offset) {
      return false;
    }
    if (fds_[segment] < 0) {
      auto fd = OpenRegularFileForReading(names_[segment], "segment file");
      struct stat st {};
      if (!fd) return false;
      if (::fstat(*fd, &st) != 0 || static_cast<std::uint64_t>(st.st_size) != sizes_[segment]) {
        ::close(*fd);
        return false;
      }
      fds_[segment] = *fd;
      Opened(segment);
    }
    std::size_t done = 0;
    while (done < out.size()) {
      const ssize_t got = ::pread(fds_[segment], out.data() + done, out.size() - done,
                                  static_cast<off_t>(offset + done));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      done += static_cast<std::size_t>(got);
    }
    return true;
  }

  // Readers for the layout code, one per segment, through Read.
  std::vector<EwfSegmentFile> Readers() {
    std::vector<EwfSegmentFile> readers;
    for (std::size_t i = 0; i < names_.size(); ++i) {
      readers.push_back(EwfSegmentFile{[this, i](std::uint64_t offset, std::span<std::byte> out) {
                                         return Read(i, offset, out);
                                       },
                                       sizes_[i]});
    }
    return readers;
  }

 private:
  static constexpr std::size_t kMaxOpen = 64;

  void Opened(std::size_t segment) {
    openOrder_.push_back(segment);
    while (openOrder_.size() > kMaxOpen) {
      const std::size_t oldest = openOrder_.front();
      openOrder_.pop_front();
      if (fds_[oldest] >= 0) ::close(fds_[oldest]);
      fds_[oldest] = -1;
    }
  }

  std::vector<std::string> names_;
  std::vector<std::uint64_t> sizes_;
  std::vector<int> fds_;
  std::deque<std::size_t> openOrder_;
};

// The set's segment files in order, from its first (whichever segment was
// named): each but the last says another follows. A segment that is not a
// regular file, or that is missing, is named.
std::expected<std::unique_ptr<SegmentFiles>, Error> FindSegments(const std::string& path) {
  std::string first = path;
  const std::size_t dot = first.rfind('.');
  if (dot != std::string::npos && first.size() - dot == 4 &&
      std::isalpha(static_cast<unsigned char>(first[dot + 1])) != 0) {
    const bool upper = std::isupper(static_cast<unsigned char>(first[dot + 1])) != 0;
    first.replace(dot + 1, 3, upper ? "E01" : "e01");
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(first, ec))) first = path;
  }
  auto files = std::make_unique<SegmentFiles>();
  for (std::string name = first; !name.empty();) {
    if (auto added = files->Add(name); !added) {
      if (added.error().code == ErrorCode::kNotFound && files->Count() > 0) {
        return std::unexpected(MissingFile(path, "segment file", name));
      }
      return std::unexpected(added.error());
    }
    const std::size_t index = files->Count() - 1;
    const EwfSegmentEnd end =
        FindEwfSegmentEnd([&](std::uint64_t offset,
                              std::span<std::byte> out) { return files->Read(index, offset, out); },
                          files->Size(index));
    if (end != EwfSegmentEnd::kNext) break;  // done, or damaged: the layout says how
    name = NextEwfSegmentName(name);
    if (name.empty()) return std::unexpected(MissingFile(path, "segment file", "after " + first));
  }
  return files;
}

// Our own reader of an E01 set: every chunk is located through checked
// tables and decoded with its checksum verified; a chunk that cannot be
// located, read or decoded is an unreadable run, as bad sectors of a disk.
class EwfOwnSource final : public SizedImageSource {
 public:
  EwfOwnSource(std::string path, std::unique_ptr<SegmentFiles> files, EwfLayout layout)
      : SizedImageSource(std::move(path), "E01 Image", layout.mediaBytes),
        files_(std::move(files)),
        readers_(files_->Readers()),
        layout_(std::move(layout)) {}

  std::expected<void, Error> ReadAt(std::uint64_t offset, std::span<std::byte> out) override {
    if (auto within = CheckWithin(offset, out.size()); !within) return within;
    std::lock_guard lock(mutex_);
    std::uint64_t at = offset;
    while (at < offset + out.size()) {
      const std::uint64_t chunk = at / layout_.chunkBytes;
      const std::uint64_t within = at % layout_.chunkBytes;
      if (auto loaded = Load(chunk); !loaded) {
        return std::unexpected(
            ReadErrorAt(Path(), at, fmt::format("chunk {} {}", chunk, loaded.error())));
      }
      const std::uint64_t take =
          std::min<std::uint64_t>(decoded_.size() - within, offset + out.size() - at);
      std::copy_n(decoded_.begin() + static_cast<std::ptrdiff_t>(within), take,
                  out.begin() + static_cast<std::ptrdiff_t>(at - offset));
      at += take;
    }
    return {};
  }

 private:
  // Makes `decoded_` chunk `chunk`; the last one decoded is kept.
  std::expected<void, std::string> Load(std::uint64_t chunk) {
    if (decodedChunk_ == chunk) return {};
    decodedChunk_.reset();
    auto place = LocateEwfChunk(layout_, readers_, chunk);
    if (!place) return std::unexpected(place.error());
    stored_.resize(place->storedLength);
    if (!files_->Read(place->segment, place->offset, stored_)) {
      return std::unexpected(fmt::format(
          "cannot be read from {}", fs::path(files_->Name(place->segment)).filename().string()));
    }
    decoded_.resize(place->length);
    if (!DecodeEwfChunk(stored_, place->compressed, decoded_)) {
      return std::unexpected("does not match its checksum");
    }
    decodedChunk_ = chunk;
    return {};
  }

  std::unique_ptr<SegmentFiles> files_;
  std::vector<EwfSegmentFile> readers_;
  EwfLayout layout_;
  std::mutex mutex_;
  std::optional<std::uint64_t> decodedChunk_;
  std::vector<std::byte> stored_;
  std::vector<std::byte> decoded_;
};

// ---- Through the library: the kinds of set our decoder leaves to it.

class EwfLibrarySource final : public LibraryImageSource {
 public:
  EwfLibrarySource(std::string path, std::uint64_t length, EwfHandle handle)
      : LibraryImageSource(std::move(path), "E01 Image", length), handle_(std::move(handle)) {
    std::uint32_t bytesPerSector = 0;
    if (libewf_handle_get_bytes_per_sector(handle_.Get(), &bytesPerSector, nullptr) == 1 &&
        bytesPerSector != 0) {
      bytesPerSector_ = bytesPerSector;
    }
  }

 protected:
  // A chunk whose checksum does not match (or whose segment is gone) is an
  // unreadable run, like bad sectors of a disk. The library fills it and
  // records it once, then serves it from its cache; so every run it has
  // recorded is kept here and each read that touches one fails.
  bool ReadFromLibrary(std::uint64_t offset, std::span<std::byte> out) override {
    const ssize_t got = libewf_handle_read_random(handle_.Get(), out.data(), out.size(),
                                                  static_cast<off64_t>(offset), nullptr);
    std::uint32_t errors = 0;
    libewf_handle_get_number_of_checksum_errors(handle_.Get(), &errors, nullptr);
    for (; knownErrors_ < errors; ++knownErrors_) {
      std::uint64_t first = 0;
      std::uint64_t count = 0;
      if (libewf_handle_get_checksum_error(handle_.Get(), knownErrors_, &first, &count, nullptr) ==
          1) {
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
  EwfHandle handle_;
  std::uint64_t bytesPerSector_ = kSectorSize;
  std::uint32_t knownErrors_ = 0;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> badRuns_;  // byte offset, length
};

std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenThroughLibrary(
    const std::string& path, const SegmentFiles& files) {
  std::vector<std::string> names;
  std::vector<char*> pointers;
  for (std::size_t i = 0; i < files.Count(); ++i) names.push_back(FullPath(files.Name(i)));
  for (auto& name : names) pointers.push_back(name.data());
  EwfHandle handle;
  if (libewf_handle_initialize(handle.Out(), nullptr) != 1) return std::unexpected(NoMemory(path));
  if (libewf_handle_open(handle.Get(), pointers.data(), static_cast<int>(pointers.size()),
                         LIBEWF_OPEN_READ, nullptr) != 1) {
    return std::unexpected(Damaged(path, "E01"));
  }
  size64_t size = 0;
  if (libewf_handle_get_media_size(handle.Get(), &size, nullptr) != 1 || size == 0) {
    return std::unexpected(Damaged(path, "E01"));
  }
  return std::make_unique<EwfLibrarySource>(path, size, std::move(handle));
}

}  // namespace

std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenEwfImage(const std::string& path) {
  auto files = FindSegments(path);
  if (!files) return std::unexpected(files.error());
  auto layout = ReadEwfLayout((*files)->Readers());
  if (!layout) {
    return std::unexpected(
        SegmentDamaged(path, (*files)->Name(layout.error().segment), layout.error().what));
  }
  if (!*layout) return OpenThroughLibrary(path, **files);
  return std::make_unique<EwfOwnSource>(path, std::move(*files), std::move(**layout));
}

}  // namespace tolvar
