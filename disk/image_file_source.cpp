#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "disk/block_device_source.hpp"
#include "disk/linux_block_device.hpp"
#include "disk/sized_image_source.hpp"

namespace tolvar {

DeviceGeometry GeometryForLength(std::uint64_t sectors) {
  if (sectors == 0) return {};
  for (std::uint32_t heads : {255u, 16u}) {
    if (sectors % (heads * 63ull) == 0) return {sectors / (heads * 63ull), heads, 63};
  }
  // No conventional triple fits: use one track per cylinder of as many
  // sectors as divides the length, so the product stays exact.
  for (std::uint32_t perTrack : {63u, 32u, 16u, 8u, 4u, 2u}) {
    if (sectors % perTrack == 0) return {sectors / perTrack, 1, perTrack};
  }
  return {sectors, 1, 1};
}

namespace {

class MemorySource final : public BlockDeviceSource {
 public:
  MemorySource(std::vector<std::byte> bytes, DeviceDescription description)
      : bytes_(std::move(bytes)), description_(std::move(description)) {
    if (description_.geometry.sectorsPerTrack == 0 && !bytes_.empty()) {
      description_.geometry = GeometryForLength(bytes_.size() / kSectorSize);
    }
    if (description_.productId.empty()) description_.productId = "Memory Image";
  }
  DeviceDescription Describe() const override { return description_; }
  std::uint64_t LengthBytes() const override { return bytes_.size(); }
  std::expected<void, Error> ReadAt(std::uint64_t offset, std::span<std::byte> out) override {
    if (offset > bytes_.size() || out.size() > bytes_.size() - offset) {
      return std::unexpected(
          Error{ErrorCode::kOutOfRange, "read past the end of the image", offset / kSectorSize});
    }
    std::memcpy(out.data(), bytes_.data() + offset, out.size());
    return {};
  }

 private:
  std::vector<std::byte> bytes_;
  DeviceDescription description_;
};

class ImageFileProvider final : public DriveProvider {
 public:
  explicit ImageFileProvider(std::vector<std::string> paths) : paths_(std::move(paths)) {}
  unsigned ProbeLimit() const override { return static_cast<unsigned>(paths_.size()); }
  std::expected<DeviceDescription, Error> Probe(unsigned number) override {
    auto source = OpenForReading(number);
    if (!source) return std::unexpected(source.error());
    return (*source)->Describe();
  }
  std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenForReading(
      unsigned number) override {
    if (number >= paths_.size()) {
      return std::unexpected(Error{ErrorCode::kNotFound, "no such drive", std::nullopt});
    }
    return OpenImageFile(paths_[number]);
  }

 private:
  std::vector<std::string> paths_;
};

// Shares one source between the table's queries and reads.
class SharedSourceView final : public BlockDeviceSource {
 public:
  explicit SharedSourceView(std::shared_ptr<BlockDeviceSource> source)
      : source_(std::move(source)) {}
  DeviceDescription Describe() const override { return source_->Describe(); }
  std::uint64_t LengthBytes() const override { return source_->LengthBytes(); }
  std::expected<void, Error> ReadAt(std::uint64_t offset, std::span<std::byte> out) override {
    return source_->ReadAt(offset, out);
  }
  std::optional<FileSpan> FileBacking(std::uint64_t offset, std::uint64_t length) const override {
    return source_->FileBacking(offset, length);
  }

 private:
  std::shared_ptr<BlockDeviceSource> source_;
};

class FixedProvider final : public DriveProvider {
 public:
  explicit FixedProvider(std::vector<std::shared_ptr<BlockDeviceSource>> sources)
      : sources_(std::move(sources)) {}
  unsigned ProbeLimit() const override { return static_cast<unsigned>(sources_.size()); }
  std::expected<DeviceDescription, Error> Probe(unsigned number) override {
    if (number >= sources_.size() || !sources_[number]) {
      return std::unexpected(Error{ErrorCode::kNotFound, "no such drive", std::nullopt});
    }
    return sources_[number]->Describe();
  }
  std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenForReading(
      unsigned number) override {
    if (number >= sources_.size() || !sources_[number]) {
      return std::unexpected(Error{ErrorCode::kNotFound, "no such drive", std::nullopt});
    }
    return std::make_unique<SharedSourceView>(sources_[number]);
  }

 private:
  std::vector<std::shared_ptr<BlockDeviceSource>> sources_;
};

}  // namespace

std::expected<std::unique_ptr<BlockDeviceSource>, Error> OpenRawImageFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    return std::unexpected(
        Error{ErrorCode::kNotFound, fmt::format("{}: no such file or device", path), std::nullopt});
  }
  if (S_ISDIR(st.st_mode)) {
    return std::unexpected(Error{ErrorCode::kNotADevice,
                                 fmt::format("{}: is a directory, not a disk image", path),
                                 std::nullopt});
  }
  if (S_ISBLK(st.st_mode)) return OpenLinuxBlockDevice(path);
  if (!S_ISREG(st.st_mode)) {
    return std::unexpected(Error{ErrorCode::kNotADevice,
                                 fmt::format("{}: not a disk image or block device", path),
                                 std::nullopt});
  }
  // Read-only, always: the source disk is never written.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    return std::unexpected(Error{
        err == EACCES ? ErrorCode::kPermission : ErrorCode::kNotReadable,
        fmt::format("{}: cannot open for reading: {}", path, std::strerror(err)), std::nullopt});
  }
  if (st.st_size < static_cast<off_t>(kSectorSize)) {
    ::close(fd);
    return std::unexpected(
        Error{ErrorCode::kEmpty,
              fmt::format("{}: the image is empty (smaller than one sector)", path), std::nullopt});
  }
  // What was opened, not what the path named a moment before, decides
  // whether the kernel may copy straight from it.
  struct stat opened {};
  const bool regularFile = ::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode);
  return std::make_unique<PlainFileImageSource>(
      path, "Disk Image", fd, static_cast<std::uint64_t>(st.st_size), regularFile);
}

std::unique_ptr<DriveProvider> MakeImageFileProvider(std::vector<std::string> paths) {
  return std::make_unique<ImageFileProvider>(std::move(paths));
}

std::unique_ptr<BlockDeviceSource> MakeMemorySource(std::vector<std::byte> bytes,
                                                    DeviceDescription description) {
  return std::make_unique<MemorySource>(std::move(bytes), std::move(description));
}

std::unique_ptr<DriveProvider> MakeFixedProvider(
    std::vector<std::shared_ptr<BlockDeviceSource>> sources) {
  return std::make_unique<FixedProvider>(std::move(sources));
}

}  // namespace tolvar
