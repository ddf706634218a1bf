#include "imagekit/image_writer.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tolvar::imagekit {

namespace {

constexpr std::size_t kPiece = 1024;
constexpr std::size_t kGatherBytes = 8u << 20;

bool AllZero(std::span<const std::byte> bytes) {
  static constexpr std::byte kZeros[kPiece] = {};
  return std::memcmp(bytes.data(), kZeros, bytes.size()) == 0;
}

Error OutOfImage(std::uint64_t offset, std::size_t size, std::uint64_t length) {
  return Error{ErrorCode::kOutOfRange,
               fmt::format("write of {} bytes at byte {} lies outside the {}-byte image", size,
                           offset, length),
               offset / 512};
}

class FileWriter final : public ImageWriter {
 public:
  FileWriter(int fd, std::uint64_t length, std::string path)
      : fd_(fd), length_(length), path_(std::move(path)) {
    buffer_.reserve(kGatherBytes);
  }
  ~FileWriter() override {
    if (fd_ >= 0) ::close(fd_);
  }
  FileWriter(const FileWriter&) = delete;
  FileWriter& operator=(const FileWriter&) = delete;

  std::expected<void, Error> Write(std::uint64_t offset,
                                   std::span<const std::byte> bytes) override {
    if (offset > length_ || bytes.size() > length_ - offset) {
      return std::unexpected(OutOfImage(offset, bytes.size(), length_));
    }
    if (!buffer_.empty() && offset == bufferStart_ + buffer_.size() &&
        buffer_.size() + bytes.size() <= kGatherBytes) {
      buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
      return {};
    }
    if (auto flushed = Flush(); !flushed) return flushed;
    if (bytes.size() >= kGatherBytes) return WriteOut(offset, bytes);
    bufferStart_ = offset;
    buffer_.assign(bytes.begin(), bytes.end());
    return {};
  }

  std::expected<void, Error> Flush() override {
    if (buffer_.empty()) return {};
    auto written = WriteOut(bufferStart_, buffer_);
    buffer_.clear();
    return written;
  }

  std::expected<void, Error> Close() {
    if (auto flushed = Flush(); !flushed) return flushed;
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
      return std::unexpected(
          Error{ErrorCode::kIoError, fmt::format("{}: {}", path_, std::strerror(errno)), {}});
    }
    return {};
  }

 private:
  std::expected<void, Error> WriteOut(std::uint64_t offset, std::span<const std::byte> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t put = ::pwrite(fd_, bytes.data() + done, bytes.size() - done,
                             static_cast<off_t>(offset + done));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) {
        return std::unexpected(Error{
            ErrorCode::kIoError,
            fmt::format("cannot write {}: {}", path_, put < 0 ? std::strerror(errno) : "no space"),
            (offset + done) / 512});
      }
      done += static_cast<std::size_t>(put);
    }
    return {};
  }

  int fd_;
  std::uint64_t length_;
  std::string path_;
  std::vector<std::byte> buffer_;
  std::uint64_t bufferStart_ = 0;
};

// Flushes and closes on destruction of the owner; errors of the final close
// surface through Flush(), which BuildImage calls before finishing.
class ClosingFileWriter final : public ImageWriter {
 public:
  explicit ClosingFileWriter(std::unique_ptr<FileWriter> inner) : inner_(std::move(inner)) {}
  std::expected<void, Error> Write(std::uint64_t offset,
                                   std::span<const std::byte> bytes) override {
    return inner_->Write(offset, bytes);
  }
  std::expected<void, Error> Flush() override { return inner_->Close(); }

 private:
  std::unique_ptr<FileWriter> inner_;
};

class MemoryWriter final : public ImageWriter {
 public:
  explicit MemoryWriter(std::vector<std::byte>& bytes) : bytes_(bytes) {}
  std::expected<void, Error> Write(std::uint64_t offset,
                                   std::span<const std::byte> bytes) override {
    if (offset > bytes_.size() || bytes.size() > bytes_.size() - offset) {
      return std::unexpected(OutOfImage(offset, bytes.size(), bytes_.size()));
    }
    std::copy(bytes.begin(), bytes.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
    return {};
  }
  std::expected<void, Error> Flush() override { return {}; }

 private:
  std::vector<std::byte>& bytes_;
};

}  // namespace

std::expected<void, Error> ImageWriter::WriteData(std::uint64_t offset,
                                                  std::span<const std::byte> bytes) {
  std::size_t runStart = 0;
  std::size_t at = 0;
  while (at < bytes.size()) {
    std::size_t piece = std::min(kPiece, bytes.size() - at);
    if (AllZero(bytes.subspan(at, piece))) {
      if (at > runStart) {
        if (auto w = Write(offset + runStart, bytes.subspan(runStart, at - runStart)); !w) return w;
      }
      runStart = at + piece;
    }
    at += piece;
  }
  if (at > runStart) return Write(offset + runStart, bytes.subspan(runStart, at - runStart));
  return {};
}

std::expected<std::unique_ptr<ImageWriter>, Error> CreateImageFile(const std::string& path,
                                                                   std::uint64_t lengthBytes) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    return std::unexpected(Error{ErrorCode::kInvalidArgument,
                                 fmt::format("{} exists and is not a regular file; refusing to "
                                             "write an image over it",
                                             path),
                                 {}});
  }
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    return std::unexpected(Error{errno == EACCES ? ErrorCode::kPermission : ErrorCode::kIoError,
                                 fmt::format("cannot create {}: {}", path, std::strerror(errno)),
                                 {}});
  }
  if (::ftruncate(fd, static_cast<off_t>(lengthBytes)) != 0) {
    int saved = errno;
    ::close(fd);
    return std::unexpected(Error{
        ErrorCode::kNoSpace,
        fmt::format("cannot size {} to {} bytes: {}", path, lengthBytes, std::strerror(saved)),
        {}});
  }
  return std::make_unique<ClosingFileWriter>(std::make_unique<FileWriter>(fd, lengthBytes, path));
}

std::unique_ptr<ImageWriter> MakeMemoryWriter(std::vector<std::byte>& bytes) {
  return std::make_unique<MemoryWriter>(bytes);
}

}  // namespace tolvar::imagekit
