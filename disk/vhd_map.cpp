#include "disk/vhd_map.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <span>
#include <utility>

#include "disk/image_fields.hpp"

namespace tolvar {

namespace {

constexpr std::uint64_t kSector = 512;
constexpr std::size_t kFooterBytes = 512;
constexpr std::size_t kHeaderBytes = 1024;
constexpr std::uint32_t kNoBlock = 0xffffffffu;
// Blocks of one sector to 256 MiB, and a table of at most 64 MiB, read
// whole: wider than any writer uses, small enough to stay bounded.
constexpr std::uint64_t kMaxBlockBytes = 256u << 20;
constexpr std::uint64_t kMaxTableEntries = (64u << 20) / 4;
// A differencing block's bitmap is looked at this many sectors at a time.
constexpr std::uint64_t kBitmapScanSectors = 4096;

// The ones' complement of the byte sum, the checksum field counted as zero.
bool ChecksumMatches(std::span<const std::byte> bytes, std::size_t field) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i >= field && i < field + 4) continue;
    sum += std::to_integer<std::uint32_t>(bytes[i]);
  }
  return static_cast<std::uint32_t>(~sum) ==
         static_cast<std::uint32_t>(image::ReadBigEndian(bytes, field, 4));
}

bool HasCookie(std::span<const std::byte> bytes, const char* cookie) {
  return std::memcmp(bytes.data(), cookie, 8) == 0;
}

class VhdMap final : public ClusterMap {
 public:
  VhdMap(SegmentReader read, std::uint64_t fileSize, VhdLayout layout)
      : read_(std::move(read)),
        fileSize_(fileSize),
        layout_(std::move(layout)),
        bitmaps_(kTableCacheBytes / 4, std::max<std::size_t>(1, layout_.bitmapBytes / 8)) {}

  std::uint64_t VirtualSize() const override { return layout_.diskBytes; }

  std::expected<ImagePiece, std::string> Map(std::uint64_t offset) override {
    if (offset >= layout_.diskBytes) return std::unexpected("read past the end of the disk");
    ImagePiece piece;
    if (layout_.type == VhdLayout::Type::kFixed) {
      piece.kind = ImagePiece::Kind::kData;
      piece.hostOffset = offset;
      piece.length = layout_.diskBytes - offset;
      return piece;
    }
    const std::uint64_t block = offset / layout_.blockBytes;
    const std::uint64_t within = offset % layout_.blockBytes;
    piece.length = std::min(layout_.blockBytes - within, layout_.diskBytes - offset);
    const std::uint32_t blockSector = layout_.table[block];
    const bool differencing = layout_.type == VhdLayout::Type::kDifferencing;
    if (blockSector == kNoBlock) {
      if (differencing) piece.kind = ImagePiece::Kind::kFallback;
      return piece;
    }
    const std::uint64_t bitmapAt = std::uint64_t{blockSector} * kSector;
    const std::uint64_t dataAt = bitmapAt + layout_.bitmapBytes;
    if (differencing) {
      auto marked = MarkedRun(block, bitmapAt, within, piece.length);
      if (!marked) return std::unexpected(marked.error());
      piece.length = marked->length;
      if (!marked->inChild) {
        piece.kind = ImagePiece::Kind::kFallback;
        return piece;
      }
    }
    // A dynamic disk's sectors are read from an allocated block whatever
    // its bitmap says: writers fill a new block with zeros, so the data is
    // the same, and a damaged bitmap then costs nothing.
    // A block cut short by the end of the file loses only what lies past it.
    if (dataAt + within >= fileSize_) return std::unexpected("a block lies outside the file");
    piece.length = std::min(piece.length, fileSize_ - (dataAt + within));
    piece.kind = ImagePiece::Kind::kData;
    piece.hostOffset = dataAt + within;
    return piece;
  }

 private:
  struct Marked {
    bool inChild = false;
    std::uint64_t length = 0;
  };

  // Whether the sector at `within` of the block is the child's, and for how
  // many bytes (at most `limit`) the answer stays the same.
  std::expected<Marked, std::string> MarkedRun(std::uint64_t block, std::uint64_t bitmapAt,
                                               std::uint64_t within, std::uint64_t limit) {
    const std::vector<std::uint64_t>* bitmap = bitmaps_.Find(block);
    if (bitmap == nullptr) {
      std::vector<std::byte> bytes(layout_.bitmapBytes);
      if (!image::FitsInFile(bitmapAt, bytes.size(), fileSize_) || !read_(bitmapAt, bytes)) {
        return std::unexpected("a block's sector bitmap lies outside the file");
      }
      std::vector<std::uint64_t> words((bytes.size() + 7) / 8);
      for (std::size_t i = 0; i < bytes.size(); ++i) {
        words[i / 8] |= std::to_integer<std::uint64_t>(bytes[i]) << (8 * (i % 8));
      }
      bitmap = &bitmaps_.Insert(block, std::move(words));
    }
    // Most significant bit first: sector s is bit 7 - s % 8 of byte s / 8.
    const auto bit = [&](std::uint64_t sector) {
      const std::uint64_t byte = sector / 8;
      const std::uint64_t value = ((*bitmap)[byte / 8] >> (8 * (byte % 8))) & 0xff;
      return ((value >> (7 - sector % 8)) & 1) != 0;
    };
    const std::uint64_t first = within / kSector;
    const bool inChild = bit(first);
    const std::uint64_t lastSector =
        std::min({(within + limit + kSector - 1) / kSector, first + kBitmapScanSectors,
                  layout_.blockBytes / kSector});
    std::uint64_t sector = first + 1;
    while (sector < lastSector && bit(sector) == inChild) ++sector;
    return Marked{inChild, std::min(limit, sector * kSector - within)};
  }

  SegmentReader read_;
  std::uint64_t fileSize_;
  VhdLayout layout_;
  TableCache bitmaps_;
};

}  // namespace

std::expected<VhdLayout, std::string> ReadVhdLayout(const SegmentReader& read,
                                                    std::uint64_t fileSize) {
  if (fileSize < kFooterBytes) return std::unexpected("it is too short to hold a footer");
  std::vector<std::byte> footer(kFooterBytes);
  if (!read(fileSize - kFooterBytes, footer)) return std::unexpected("its footer cannot be read");
  // The oldest writers left a footer of 511 bytes, its last reserved byte
  // (a zero, counted in the checksum as such) left out.
  std::uint64_t footerBytes = kFooterBytes;
  if (!HasCookie(footer, "conectix") && std::memcmp(footer.data() + 1, "conectix", 8) == 0) {
    std::ranges::rotate(footer, footer.begin() + 1);
    footer.back() = std::byte{0};
    footerBytes = kFooterBytes - 1;
  }
  const bool endHasCookie = HasCookie(footer, "conectix");
  bool fromEnd = endHasCookie && ChecksumMatches(footer, 64);
  if (!fromEnd) {
    // A dynamic disk keeps a copy of its footer in the first sector; it
    // stands in for a footer that is damaged or cut off.
    std::vector<std::byte> copy(kFooterBytes);
    const bool copyFound =
        fileSize >= 2 * kFooterBytes && read(0, copy) && HasCookie(copy, "conectix");
    if (!copyFound) {
      return std::unexpected(endHasCookie ? "its footer's checksum is wrong"
                                          : "it has no VHD footer");
    }
    if (!ChecksumMatches(copy, 64)) {
      return std::unexpected(endHasCookie
                                 ? "its footer's checksum is wrong"
                                 : "its footer is missing and its copy's checksum is wrong");
    }
    footer = std::move(copy);
  }
  VhdLayout layout;
  layout.diskBytes = image::ReadBigEndian(footer, 48, 8);
  const std::uint64_t diskType = image::ReadBigEndian(footer, 60, 4);
  std::copy_n(footer.begin() + 68, layout.uniqueId.size(), layout.uniqueId.begin());
  if (layout.diskBytes == 0) return std::unexpected("its disk size is zero");
  if (diskType == 2) {
    if (!fromEnd) return std::unexpected("its footer's checksum is wrong");
    if (layout.diskBytes > fileSize - footerBytes) {
      return std::unexpected("its disk size is larger than the file");
    }
    layout.type = VhdLayout::Type::kFixed;
    return layout;
  }
  if (diskType != 3 && diskType != 4) return std::unexpected("its disk type is unknown");
  layout.type = diskType == 3 ? VhdLayout::Type::kDynamic : VhdLayout::Type::kDifferencing;

  layout.dynamicHeaderOffset = image::ReadBigEndian(footer, 16, 8);
  std::vector<std::byte> header(kHeaderBytes);
  if (!image::FitsInFile(layout.dynamicHeaderOffset, kHeaderBytes, fileSize) ||
      !read(layout.dynamicHeaderOffset, header)) {
    return std::unexpected("its dynamic-disk header lies outside the file");
  }
  if (!HasCookie(header, "cxsparse")) return std::unexpected("its dynamic-disk header is missing");
  if (!ChecksumMatches(header, 36)) {
    return std::unexpected("its dynamic-disk header's checksum is wrong");
  }
  std::copy_n(header.begin() + 40, layout.parentUniqueId.size(), layout.parentUniqueId.begin());
  const std::uint64_t tableOffset = image::ReadBigEndian(header, 16, 8);
  const std::uint64_t maxEntries = image::ReadBigEndian(header, 28, 4);
  layout.blockBytes = image::ReadBigEndian(header, 32, 4);
  if (layout.blockBytes < kSector || layout.blockBytes > kMaxBlockBytes ||
      (layout.blockBytes & (layout.blockBytes - 1)) != 0) {
    return std::unexpected("its block size is not one a VHD can have");
  }
  const std::uint64_t blockSectors = layout.blockBytes / kSector;
  layout.bitmapBytes = ((blockSectors + 7) / 8 + kSector - 1) / kSector * kSector;
  const std::uint64_t entries =
      layout.diskBytes / layout.blockBytes + (layout.diskBytes % layout.blockBytes != 0 ? 1 : 0);
  if (entries > kMaxTableEntries) return std::unexpected("its block table is impossibly large");
  if (entries > maxEntries) return std::unexpected("its block table is too short for the disk");
  std::vector<std::byte> bytes(entries * 4);
  if (!image::FitsInFile(tableOffset, bytes.size(), fileSize) || !read(tableOffset, bytes)) {
    return std::unexpected("its block table lies outside the file");
  }
  layout.table.resize(entries);
  for (std::size_t i = 0; i < entries; ++i) {
    layout.table[i] = static_cast<std::uint32_t>(image::ReadBigEndian(bytes, i * 4, 4));
  }
  return layout;
}

std::unique_ptr<ClusterMap> MakeVhdMap(SegmentReader read, std::uint64_t fileSize,
                                       VhdLayout layout) {
  return std::make_unique<VhdMap>(std::move(read), fileSize, std::move(layout));
}

}  // namespace tolvar
