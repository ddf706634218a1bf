#pragma once

// What the library-backed image sources share: their error texts, how a
// file named inside an image is found, the source that serialises reads
// through one library handle, and the switch to our own cluster decoder.

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "disk/block_device_source.hpp"
#include "disk/cluster_image.hpp"
#include "disk/image_format.hpp"
#include "disk/sized_image_source.hpp"

namespace tolvar::image_detail {

// Parents are followed this deep at most, which also ends a chain that
// names itself.
constexpr int kMaxParentDepth = 16;

Error Damaged(const std::string& path, std::string_view format);
Error MissingFile(const std::string& path, std::string_view what, const std::string& name);
Error NoMemory(const std::string& path);

// Where a file named inside an image (an extent, a parent, a backing file)
// lies. The name is followed only to a regular file inside the image's own
// folder (or below it) or inside one of `imageDirs` (the user's
// --image-dir folders): a relative name from each of those folders, then its
// last component in each; an absolute name by its last component only.
// Symbolic links are resolved before the check, so a link leading out is
// refused like `..` leading out, a device or a FIFO. `what` names the file's
// role ("extent file", "parent image") in the one-line error, which names
// the recorded path and the --image-dir option. Names recorded on Windows
// use backslashes. Nothing is opened: the caller opens the returned path.
std::expected<std::string, Error> FindRelatedFile(const std::string& imagePath,
                                                  std::string_view recorded, std::string_view what,
                                                  const std::vector<std::string>& imageDirs);

// An image and its parents, opened child first. `openOne` opens one file of
// the chain and returns the names that file records for its parent, best
// first (none: the chain ends there); the first name found is followed, and
// when none is, the first refusal or else the first name is reported.
// `acceptParent` may refuse a found parent before it is opened;
// `linkToParent(i)` then joins file i to file i + 1, from the oldest parent
// down to the image, as the libraries expect. A chain deeper than
// kMaxParentDepth (one that names itself, say) is damaged.
struct ParentChainSteps {
  std::function<std::expected<std::vector<std::string>, Error>(const std::string& path)> openOne;
  std::function<std::expected<void, Error>(const std::string& child, const std::string& recorded,
                                           const std::string& parent)>
      acceptParent;
  std::function<bool(std::size_t child)> linkToParent;
};
std::expected<void, Error> OpenParentChain(const std::string& path, std::string_view format,
                                           std::string_view parentRole,
                                           const std::vector<std::string>& imageDirs,
                                           const ParentChainSteps& steps);

ImageFormat FormatOfFile(const std::string& path);

// The libraries may close and reopen files by name later, after a mount has
// gone to the background and changed its folder: hand them full paths.
std::string FullPath(const std::string& path);

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
class LibraryImageSource : public SizedImageSource {
 public:
  using SizedImageSource::SizedImageSource;

  std::expected<void, Error> ReadAt(std::uint64_t offset, std::span<std::byte> out) override {
    if (auto within = CheckWithin(offset, out.size()); !within) return within;
    if (out.empty()) return {};
    std::lock_guard lock(mutex_);
    if (!ReadFromLibrary(offset, out)) return std::unexpected(ReadErrorAt(Path(), offset));
    return {};
  }

 protected:
  // Fills all of `out` from `offset`, or reports failure.
  virtual bool ReadFromLibrary(std::uint64_t offset, std::span<std::byte> out) = 0;

 private:
  std::mutex mutex_;
};

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

}  // namespace tolvar::image_detail
