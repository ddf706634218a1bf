#include "disk/qcow_map.hpp"

#include <fmt/format.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "disk/image_fields.hpp"

namespace tolvar {

namespace {

constexpr std::uint32_t kMagic = 0x514649fbu;
// Host offsets in L1 and L2 entries (bits 9 to 55).
constexpr std::uint64_t kOffsetMask = 0x00ff'ffff'ffff'fe00ull;
constexpr std::uint64_t kCompressedBit = 1ull << 62;
// Version 3: the cluster reads as zeros whatever its offset says.
constexpr std::uint64_t kZeroBit = 1ull;
// Incompatible features other than "dirty" and "corrupt" (which only
// concern the refcounts) change how clusters are found.
constexpr std::uint64_t kKnownIncompatible = 0x3;
// The L1 table may hold 32 MiB at most, as QEMU allows.
constexpr std::uint64_t kMaxL1Entries = (32u << 20) / 8;

class QcowMap final : public ClusterMap {
 public:
  QcowMap(SegmentReader read, std::uint64_t fileSize, std::uint64_t size, unsigned clusterBits,
          bool hasBacking, std::vector<std::uint64_t> l1)
      : read_(std::move(read)),
        fileSize_(fileSize),
        size_(size),
        clusterBits_(clusterBits),
        hasBacking_(hasBacking),
        l1_(std::move(l1)),
        cache_(kTableCacheBytes, (std::size_t{1} << clusterBits) / 8) {}

  std::uint64_t VirtualSize() const override { return size_; }

  // Compressed clusters are raw deflate streams with a 4 KiB window. As
  // QEMU does, the cluster is good only when the stream fills it whole.
  bool Decompress(std::span<const std::byte> stored, std::span<std::byte> cluster) const override {
    z_stream stream{};
    if (inflateInit2(&stream, -12) != Z_OK) return false;
    // zlib's interface is not const-correct; it only reads the input.
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(stored.data()));
    stream.avail_in = static_cast<uInt>(stored.size());
    stream.next_out = reinterpret_cast<Bytef*>(cluster.data());
    stream.avail_out = static_cast<uInt>(cluster.size());
    const int result = inflate(&stream, Z_FINISH);
    const bool whole = (result == Z_STREAM_END || result == Z_BUF_ERROR) && stream.avail_out == 0;
    inflateEnd(&stream);
    return whole;
  }

  std::expected<ImagePiece, std::string> Map(std::uint64_t offset) override {
    if (offset >= size_) return std::unexpected("read past the end of the disk");
    const std::uint64_t clusterSize = std::uint64_t{1} << clusterBits_;
    const unsigned l2Bits = clusterBits_ - 3;
    const std::uint64_t cluster = offset >> clusterBits_;
    const std::uint64_t l1Index = cluster >> l2Bits;
    const std::uint64_t l2Index = cluster & ((std::uint64_t{1} << l2Bits) - 1);
    const std::uint64_t within = offset & (clusterSize - 1);
    ImagePiece piece;
    piece.length = std::min(clusterSize - within, size_ - offset);
    if (l1Index >= l1_.size()) return std::unexpected("the L1 table is too short for the disk");
    const std::uint64_t l2Offset = l1_[l1Index] & kOffsetMask;
    if (l2Offset == 0) {
      piece.kind = hasBacking_ ? ImagePiece::Kind::kFallback : ImagePiece::Kind::kZero;
      return piece;
    }
    const std::vector<std::uint64_t>* table = cache_.Find(l1Index);
    if (table == nullptr) {
      if ((l2Offset & (clusterSize - 1)) != 0 ||
          !image::FitsInFile(l2Offset, clusterSize, fileSize_)) {
        return std::unexpected("an L2 table lies outside the file");
      }
      std::vector<std::byte> bytes(clusterSize);
      if (!read_(l2Offset, bytes)) return std::unexpected("an L2 table cannot be read");
      std::vector<std::uint64_t> decoded(clusterSize / 8);
      for (std::size_t i = 0; i < decoded.size(); ++i)
        decoded[i] = image::ReadBigEndian(bytes, i * 8, 8);
      table = &cache_.Insert(l1Index, std::move(decoded));
    }
    const std::uint64_t entry = (*table)[l2Index];
    if ((entry & kCompressedBit) != 0) {
      // The low bits hold the stored bytes' offset; the bits above count the
      // 512-byte sectors they reach into beyond the first.
      const unsigned offsetBits = 62 - (clusterBits_ - 8);
      const std::uint64_t stored = entry & ((std::uint64_t{1} << offsetBits) - 1);
      const std::uint64_t sectors =
          ((entry >> offsetBits) & ((std::uint64_t{1} << (clusterBits_ - 8)) - 1)) + 1;
      if (stored >= fileSize_) return std::unexpected("a compressed cluster lies outside the file");
      piece.kind = ImagePiece::Kind::kCompressed;
      piece.hostOffset = stored;
      // The last cluster of a file may end before the sectors counted.
      piece.storedLength = std::min(sectors * 512 - (stored & 511), fileSize_ - stored);
      piece.clusterBytes = clusterSize;
      piece.withinCluster = within;
      return piece;
    }
    if ((entry & kZeroBit) != 0) {
      // Version 3 defines the bit; QEMU honours it on version 2 too.
      piece.kind = ImagePiece::Kind::kZero;
      return piece;
    }
    const std::uint64_t host = entry & kOffsetMask;
    if (host == 0) {
      piece.kind = hasBacking_ ? ImagePiece::Kind::kFallback : ImagePiece::Kind::kZero;
      return piece;
    }
    if ((host & (clusterSize - 1)) != 0 || !image::FitsInFile(host, clusterSize, fileSize_)) {
      return std::unexpected("a data cluster lies outside the file");
    }
    piece.kind = ImagePiece::Kind::kData;
    piece.hostOffset = host + within;
    return piece;
  }

 private:
  SegmentReader read_;
  std::uint64_t fileSize_;
  std::uint64_t size_;
  unsigned clusterBits_;
  bool hasBacking_;
  std::vector<std::uint64_t> l1_;
  TableCache cache_;
};

// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or
// code points past U+10FFFF).
bool IsUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t extra = 0;
    std::uint32_t point = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    }
    if (lead >= 0xc2 && lead <= 0xdf) {
      extra = 1;
      point = lead & 0x1f;
    } else if (lead >= 0xe0 && lead <= 0xef) {
      extra = 2;
      point = lead & 0x0f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
      extra = 3;
      point = lead & 0x07;
    } else {
      return false;
    }
    if (text.size() - i <= extra) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xc0) != 0x80) return false;
      point = (point << 6) | (next & 0x3f);
    }
    if ((extra == 2 && (point < 0x800 || (point >= 0xd800 && point <= 0xdfff))) ||
        (extra == 3 && (point < 0x10000 || point > 0x10ffff))) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

}  // namespace

std::expected<std::optional<std::string>, std::string> ReadQcowBackingName(
    const SegmentReader& read, std::uint64_t fileSize) {
  std::array<std::byte, 20> header{};
  if (fileSize < header.size() || !read(0, header))
    return std::unexpected("its header is cut short");
  const std::uint64_t offset = image::ReadBigEndian(header, 8, 8);
  const std::uint64_t length = image::ReadBigEndian(header, 16, 4);
  if (offset == 0 && length == 0) return std::nullopt;
  // QEMU allows names of up to 1023 bytes.
  if (length == 0 || length > 1023 || !image::FitsInFile(offset, length, fileSize)) {
    return std::unexpected("its backing file name lies outside the file");
  }
  std::string name(length, '\0');
  if (!read(offset, std::as_writable_bytes(std::span(name)))) {
    return std::unexpected("its backing file name cannot be read");
  }
  if (!IsUtf8(name) || name.find('\0') != std::string::npos) {
    // The bytes go as they are: whoever shows the message escapes them.
    return std::unexpected(fmt::format("its backing file name \"{}\" is not UTF-8 text", name));
  }
  return name;
}

std::expected<std::unique_ptr<ClusterMap>, std::string> MakeQcowMap(SegmentReader read,
                                                                    std::uint64_t fileSize) {
  std::array<std::byte, 104> header{};
  if (fileSize < 72 || !read(0, std::span(header).first(72))) {
    return std::unexpected("its header is cut short");
  }
  if (image::ReadBigEndian(header, 0, 4) != kMagic)
    return std::unexpected("its header has no qcow signature");
  const auto version = static_cast<unsigned>(image::ReadBigEndian(header, 4, 4));
  if (version != 2 && version != 3) return nullptr;
  const std::uint64_t backingOffset = image::ReadBigEndian(header, 8, 8);
  const std::uint64_t clusterBits = image::ReadBigEndian(header, 20, 4);
  const std::uint64_t size = image::ReadBigEndian(header, 24, 8);
  const std::uint64_t cryptMethod = image::ReadBigEndian(header, 32, 4);
  const std::uint64_t l1Size = image::ReadBigEndian(header, 36, 4);
  const std::uint64_t l1Offset = image::ReadBigEndian(header, 40, 8);
  if (cryptMethod != 0) return nullptr;
  if (clusterBits < 9 || clusterBits > 21) {
    return std::unexpected("its cluster size is not one a qcow image can have");
  }
  const std::uint64_t clusterSize = std::uint64_t{1} << clusterBits;
  if (version == 3) {
    if (fileSize < header.size() || !read(0, header)) {
      return std::unexpected("its header is cut short");
    }
    if ((image::ReadBigEndian(header, 72, 8) & ~kKnownIncompatible) != 0) return nullptr;
  }
  if (size > (std::uint64_t{1} << 56)) return std::unexpected("its disk size is impossibly large");
  const std::uint64_t perL1 = clusterSize * (clusterSize / 8);
  const std::uint64_t neededL1 = size / perL1 + (size % perL1 != 0 ? 1 : 0);
  if (l1Size < neededL1 || l1Size > kMaxL1Entries) {
    return std::unexpected("its L1 table size does not fit its disk size");
  }
  if ((l1Offset & (clusterSize - 1)) != 0 || !image::FitsInFile(l1Offset, l1Size * 8, fileSize)) {
    return std::unexpected("its L1 table lies past the end of the file");
  }
  // Only the entries the disk's size reaches are kept.
  std::vector<std::byte> bytes(neededL1 * 8);
  if (!read(l1Offset, bytes)) return std::unexpected("its L1 table cannot be read");
  std::vector<std::uint64_t> l1(neededL1);
  for (std::size_t i = 0; i < l1.size(); ++i) l1[i] = image::ReadBigEndian(bytes, i * 8, 8);
  return std::make_unique<QcowMap>(std::move(read), fileSize, size,
                                   static_cast<unsigned>(clusterBits), backingOffset != 0,
                                   std::move(l1));
}

}  // namespace tolvar
