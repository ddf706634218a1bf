#include "disk/vmdk_stream.hpp"

#include <fmt/format.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <mutex>
#include <optional>
#include <vector>

#include "disk/cluster_image.hpp"
#include "disk/image_fields.hpp"
#include "disk/sized_image_source.hpp"
#include "disk/vmdk_descriptor.hpp"

namespace tolvar {

namespace {

constexpr std::uint64_t kSector = 512;
constexpr std::uint64_t kMarkerBytes = 12;  // the grain's first sector and its compressed size

class VmdkStreamSource final : public SizedImageSource {
 public:
  VmdkStreamSource(std::string path, int fd, std::uint64_t fileSize, const VmdkSparseHeader& fields,
                   std::vector<std::uint32_t> directory)
      : SizedImageSource(std::move(path), "VMDK Image", fields.capacitySectors * kSector),
        fd_(fd),
        fileSize_(fileSize),
        grainBytes_(fields.grainSectors * kSector),
        tableEntries_(fields.tableEntries),
        directory_(std::move(directory)),
        tables_(kTableCacheBytes / 2, fields.tableEntries) {}
  ~VmdkStreamSource() override { ::close(fd_); }
  VmdkStreamSource(const VmdkStreamSource&) = delete;
  VmdkStreamSource& operator=(const VmdkStreamSource&) = delete;

  std::expected<void, Error> ReadAt(std::uint64_t offset, std::span<std::byte> out) override {
    if (auto within = CheckWithin(offset, out.size()); !within) return within;
    std::lock_guard lock(mutex_);
    std::size_t done = 0;
    while (done < out.size()) {
      const std::uint64_t at = offset + done;
      const std::uint64_t grain = at / grainBytes_;
      const std::uint64_t within = at % grainBytes_;
      const std::size_t take = static_cast<std::size_t>(
          std::min<std::uint64_t>(grainBytes_ - within, out.size() - done));
      const auto bytes = Grain(grain);
      if (!bytes) return std::unexpected(ReadErrorAt(Path(), at, bytes.error()));
      if (*bytes == nullptr) {
        std::fill_n(out.begin() + done, take, std::byte{0});
      } else {
        std::copy_n((*bytes)->begin() + within, take, out.begin() + done);
      }
      done += take;
    }
    return {};
  }

 private:
  bool Read(std::uint64_t offset, std::span<std::byte> out) const {
    if (!image::FitsInFile(offset, out.size(), fileSize_)) return false;
    std::size_t done = 0;
    while (done < out.size()) {
      const ssize_t got =
          ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
      if (got <= 0) return false;
      done += static_cast<std::size_t>(got);
    }
    return true;
  }

  // The grain's bytes; null for a grain stored as zeros.
  std::expected<const std::vector<std::byte>*, std::string> Grain(std::uint64_t grain) {
    if (cachedGrain_ == grain) return &cached_;
    const std::uint64_t tableIndex = grain / tableEntries_;
    if (tableIndex >= directory_.size()) return std::unexpected("the grain directory is too short");
    const std::uint64_t tableSector = directory_[tableIndex];
    if (tableSector == 0) return nullptr;
    const std::vector<std::uint64_t>* table = tables_.Find(tableIndex);
    if (table == nullptr) {
      std::vector<std::byte> bytes(tableEntries_ * 4);
      if (!Read(tableSector * kSector, bytes)) {
        return std::unexpected("its grain table lies outside the file");
      }
      std::vector<std::uint64_t> decoded(tableEntries_);
      for (std::size_t i = 0; i < decoded.size(); ++i) {
        decoded[i] = image::ReadLittleEndian(bytes, i * 4, 4);
      }
      table = &tables_.Insert(tableIndex, std::move(decoded));
    }
    const std::uint64_t grainSector = (*table)[grain % tableEntries_];
    if (grainSector <= 1) return nullptr;  // unallocated, or stored as zeros
    std::array<std::byte, kMarkerBytes> marker{};
    if (!Read(grainSector * kSector, marker))
      return std::unexpected("the grain lies outside the file");
    const std::uint64_t firstSector = image::ReadLittleEndian(marker, 0, 8);
    const std::uint64_t stored = image::ReadLittleEndian(marker, 8, 4);
    if (firstSector != grain * (grainBytes_ / kSector)) {
      return std::unexpected("the grain's marker names another grain");
    }
    // Deflate never grows data by more than a few bytes per 16 KiB.
    if (stored == 0 || stored > grainBytes_ + grainBytes_ / 8 + 1024) {
      return std::unexpected("the grain's compressed size is impossible");
    }
    std::vector<std::byte> packed(stored);
    if (!Read(grainSector * kSector + kMarkerBytes, packed)) {
      return std::unexpected("the grain runs past the end of the file");
    }
    cachedGrain_.reset();
    cached_.assign(grainBytes_, std::byte{0});
    uLongf length = static_cast<uLongf>(grainBytes_);
    const int result =
        ::uncompress(reinterpret_cast<Bytef*>(cached_.data()), &length,
                     reinterpret_cast<const Bytef*>(packed.data()), static_cast<uLong>(stored));
    // The last grain of a disk may stop at the disk's end.
    const std::uint64_t needed = std::min(grainBytes_, LengthBytes() - grain * grainBytes_);
    if (result != Z_OK || length < needed) return std::unexpected("the grain does not decompress");
    cachedGrain_ = grain;
    return &cached_;
  }

  int fd_;
  std::uint64_t fileSize_;
  std::uint64_t grainBytes_;
  std::uint64_t tableEntries_;
  std::vector<std::uint32_t> directory_;
  TableCache tables_;
  std::optional<std::uint64_t> cachedGrain_;
  std::vector<std::byte> cached_;
  std::mutex mutex_;
};

}  // namespace

std::expected<std::unique_ptr<BlockDeviceSource>, std::string> MakeVmdkStreamSource(
    std::string path, int fd, std::uint64_t fileSize) {
  const auto read = [&](std::uint64_t offset, std::span<std::byte> out) {
    return image::FitsInFile(offset, out.size(), fileSize) &&
           ::pread(fd, out.data(), out.size(), static_cast<off_t>(offset)) ==
               static_cast<ssize_t>(out.size());
  };
  std::vector<std::byte> head(kVmdkSparseHeaderBytes);
  if (!read(0, head)) return std::unexpected("its header is cut short");
  auto fields = ParseVmdkSparseHeader(head, fileSize);
  if (!fields) return std::unexpected(fields.error());
  if (fields->directoryAtEnd) {
    if (fileSize < 2 * kVmdkSparseHeaderBytes ||
        !read(fileSize - 2 * kVmdkSparseHeaderBytes, head)) {
      return std::unexpected("its footer is missing");
    }
    auto footer = ParseVmdkSparseHeader(head, fileSize);
    if (!footer || footer->directoryAtEnd) return std::unexpected("its footer is missing");
    fields->directorySector = footer->directorySector;
  }
  const std::uint64_t perTable = fields->grainSectors * fields->tableEntries;
  const std::uint64_t tables = (fields->capacitySectors + perTable - 1) / perTable;
  std::vector<std::byte> bytes(tables * 4);
  if (!read(fields->directorySector * kSector, bytes)) {
    return std::unexpected("its grain directory lies outside the file");
  }
  std::vector<std::uint32_t> directory(tables);
  for (std::size_t i = 0; i < directory.size(); ++i) {
    directory[i] = static_cast<std::uint32_t>(image::ReadLittleEndian(bytes, i * 4, 4));
  }
  return std::make_unique<VmdkStreamSource>(std::move(path), fd, fileSize, *fields,
                                            std::move(directory));
}

}  // namespace tolvar
