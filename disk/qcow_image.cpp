#include <fcntl.h>
#include <fmt/format.h>
#include <libqcow.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "disk/library_image.hpp"
#include "disk/qcow_map.hpp"
#include "disk/qcow_tables.hpp"
#include "disk/virtual_disk_sources.hpp"

namespace tolvar {

namespace {

namespace fs = std::filesystem;
using namespace image_detail;

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

// Opens one file of a chain; returns its backing file's recorded name, if any.
std::expected<std::vector<std::string>, Error> OpenQcowFile(QcowChain& chain,
                                                            const std::string& path) {
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
      return std::unexpected(
          Error{ErrorCode::kCorrupt,
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
  if (!backing) return std::vector<std::string>{};
  return std::vector<std::string>{*backing};
}

std::expected<void, Error> BackingIsQcow(const std::string& path, const std::string& backing,
                                         const std::string& backingPath) {
  if (FormatOfFile(backingPath) == ImageFormat::kQcow) return {};
  return std::unexpected(Error{
      ErrorCode::kNotReadable,
      fmt::format("{}: its backing file {} is not a qcow image; merge the two into a raw image "
                  "first: qemu-img convert -O raw {} {}.img",
                  path, backing, path, fs::path(path).stem().string()),
      std::nullopt});
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

}  // namespace

std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenQcowImage(
    const std::string& path, ImageDecoder decoder, const std::vector<std::string>& imageDirs) {
  auto chain = std::make_unique<QcowChain>();
  ParentChainSteps steps;
  steps.openOne = [&](const std::string& file) { return OpenQcowFile(*chain, file); };
  steps.acceptParent = BackingIsQcow;
  steps.linkToParent = [&](std::size_t child) {
    return libqcow_file_set_parent_file(chain->files[child], chain->files[child + 1], nullptr) == 1;
  };
  if (auto opened = OpenParentChain(FullPath(path), "qcow", "backing file", imageDirs, steps);
      !opened) {
    return std::unexpected(opened.error());
  }
  size64_t size = 0;
  if (libqcow_file_get_media_size(chain->files.front(), &size, nullptr) != 1 || size == 0) {
    return std::unexpected(Damaged(path, "qcow"));
  }
  auto library = std::make_unique<QcowSource>(path, size, std::move(chain));
  if (decoder == ImageDecoder::kLibraryOnly) return library;
  return WithOwnDecoder(path, std::move(library), MakeQcowMap);
}

}  // namespace tolvar
