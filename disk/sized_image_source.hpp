#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "disk/block_device_source.hpp"

namespace tolvar {

// Fails with the one out-of-range error for a read of `size` bytes at
// `offset` that does not lie within the first `length` bytes of `path`.
[[nodiscard]] std::expected<void, Error> CheckReadWithin(const std::string& path,
                                                         std::uint64_t length, std::uint64_t offset,
                                                         std::size_t size);

// The error for a read at `offset` of `path` that failed; `why` (may be
// empty) says what went wrong.
[[nodiscard]] Error ReadErrorAt(const std::string& path, std::uint64_t offset,
                                std::string_view why = {});

// An image of fixed length that describes itself as one product: what the
// image formats' sources share besides their reading.
class SizedImageSource : public BlockDeviceSource {
 public:
  SizedImageSource(std::string path, std::string product, std::uint64_t length)
      : path_(std::move(path)), product_(std::move(product)), length_(length) {}

  [[nodiscard]] DeviceDescription Describe() const override;
  [[nodiscard]] std::uint64_t LengthBytes() const override { return length_; }

 protected:
  [[nodiscard]] const std::string& Path() const { return path_; }
  [[nodiscard]] std::expected<void, Error> CheckWithin(std::uint64_t offset,
                                                       std::size_t size) const {
    return CheckReadWithin(path_, length_, offset, size);
  }

 private:
  std::string path_;
  std::string product_;
  std::uint64_t length_;
};

// An image whose disk is the first `length` bytes of one open file (a raw
// image, a fixed VHD): read with plain reads and, when the file is a
// regular one, handed whole to the kernel's copy. Owns `fd`.
class PlainFileImageSource final : public SizedImageSource {
 public:
  PlainFileImageSource(std::string path, std::string product, int fd, std::uint64_t length,
                       bool regularFile)
      : SizedImageSource(std::move(path), std::move(product), length),
        fd_(fd),
        regularFile_(regularFile) {}
  ~PlainFileImageSource() override;
  PlainFileImageSource(const PlainFileImageSource&) = delete;
  PlainFileImageSource& operator=(const PlainFileImageSource&) = delete;

  [[nodiscard]] std::expected<void, Error> ReadAt(std::uint64_t offset,
                                                  std::span<std::byte> out) override;
  [[nodiscard]] std::optional<FileSpan> FileBacking(std::uint64_t offset,
                                                    std::uint64_t length) const override;

 private:
  int fd_;
  bool regularFile_;
};

}  // namespace tolvar
