#include "disk/vmdk_map.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "disk/image_fields.hpp"

namespace tolvar {

namespace {

constexpr std::uint64_t kMagic = 0x564d444bu;  // "KDMV"
constexpr std::uint64_t kSector = 512;
constexpr std::uint64_t kFlagZeroedGrains = 1u << 2;
constexpr std::uint64_t kFlagCompressed = 1u << 16;
constexpr std::uint64_t kFlagMarkers = 1u << 17;
constexpr std::uint64_t kDirectoryAtEnd = ~std::uint64_t{0};
// Grains of 512 bytes to 64 MiB and tables of up to 8192 entries: wider
// than any writer uses, small enough that a table read stays bounded.
constexpr std::uint64_t kMaxGrainSectors = 1u << 17;
constexpr std::uint64_t kMaxTableEntries = 8192;
// Capacities beyond 2^47 sectors cannot be addressed in bytes.
constexpr std::uint64_t kMaxCapacity = std::uint64_t{1} << 47;
// The grain directory is read whole; 64 MiB of it covers more than any disk.
constexpr std::uint64_t kMaxDirectoryEntries = (64u << 20) / 4;

class VmdkSparseMap final : public ClusterMap {
 public:
  VmdkSparseMap(SegmentReader read, std::uint64_t fileSize, std::uint64_t size,
                std::uint64_t grainBytes, std::uint64_t tableEntries, bool zeroedGrains,
                std::vector<std::uint32_t> directory)
      : read_(std::move(read)),
        fileSize_(fileSize),
        size_(size),
        grainBytes_(grainBytes),
        tableEntries_(tableEntries),
        zeroedGrains_(zeroedGrains),
        directory_(std::move(directory)),
        cache_(kTableCacheBytes / 2, tableEntries) {}

  std::uint64_t VirtualSize() const override { return size_; }

  std::expected<ImagePiece, std::string> Map(std::uint64_t offset) override {
    if (offset >= size_) return std::unexpected("read past the end of the disk");
    const std::uint64_t grain = offset / grainBytes_;
    const std::uint64_t within = offset % grainBytes_;
    const std::uint64_t tableIndex = grain / tableEntries_;
    const std::uint64_t entryIndex = grain % tableEntries_;
    ImagePiece piece;
    piece.length = std::min(grainBytes_ - within, size_ - offset);
    if (tableIndex >= directory_.size()) {
      return std::unexpected("the grain directory is too short for the disk");
    }
    const std::uint64_t tableSector = directory_[tableIndex];
    if (tableSector == 0) return piece;  // no table: all of it is a hole
    const std::vector<std::uint64_t>* table = cache_.Find(tableIndex);
    if (table == nullptr) {
      std::vector<std::byte> bytes(tableEntries_ * 4);
      if (!image::FitsInFile(tableSector * kSector, bytes.size(), fileSize_)) {
        return std::unexpected("a grain table lies outside the file");
      }
      if (!read_(tableSector * kSector, bytes))
        return std::unexpected("a grain table cannot be read");
      std::vector<std::uint64_t> decoded(tableEntries_);
      for (std::size_t i = 0; i < decoded.size(); ++i)
        decoded[i] = image::ReadLittleEndian(bytes, i * 4, 4);
      table = &cache_.Insert(tableIndex, std::move(decoded));
    }
    const std::uint64_t grainSector = (*table)[entryIndex];
    if (grainSector == 0 || (grainSector == 1 && zeroedGrains_)) return piece;
    const std::uint64_t host = grainSector * kSector + within;
    if (!image::FitsInFile(host, piece.length, fileSize_)) {
      return std::unexpected("a grain lies outside the file");
    }
    piece.kind = ImagePiece::Kind::kData;
    piece.hostOffset = host;
    return piece;
  }

 private:
  SegmentReader read_;
  std::uint64_t fileSize_;
  std::uint64_t size_;
  std::uint64_t grainBytes_;
  std::uint64_t tableEntries_;
  bool zeroedGrains_;
  std::vector<std::uint32_t> directory_;
  TableCache cache_;
};

}  // namespace

std::expected<std::unique_ptr<ClusterMap>, std::string> MakeVmdkSparseMap(SegmentReader read,
                                                                          std::uint64_t fileSize) {
  std::array<std::byte, 79> header{};
  if (fileSize < 512 || !read(0, header)) return std::unexpected("its header is cut short");
  if (image::ReadLittleEndian(header, 0, 4) != kMagic)
    return std::unexpected("its header has no sparse-extent signature");
  const std::uint64_t version = image::ReadLittleEndian(header, 4, 4);
  const std::uint64_t flags = image::ReadLittleEndian(header, 8, 4);
  const std::uint64_t capacity = image::ReadLittleEndian(header, 12, 8);
  const std::uint64_t grainSectors = image::ReadLittleEndian(header, 20, 8);
  const std::uint64_t tableEntries = image::ReadLittleEndian(header, 44, 4);
  const std::uint64_t directorySector = image::ReadLittleEndian(header, 56, 8);
  const std::uint64_t compression = image::ReadLittleEndian(header, 77, 2);
  if (version < 1 || version > 3) return nullptr;
  if ((flags & (kFlagCompressed | kFlagMarkers)) != 0 || compression != 0 ||
      directorySector == kDirectoryAtEnd) {
    return nullptr;
  }
  if (grainSectors == 0 || grainSectors > kMaxGrainSectors ||
      (grainSectors & (grainSectors - 1)) != 0) {
    return std::unexpected("its grain size is not one a sparse extent can have");
  }
  if (tableEntries == 0 || tableEntries > kMaxTableEntries) {
    return std::unexpected("its grain table size is wrong");
  }
  if (capacity == 0 || capacity > kMaxCapacity) {
    return std::unexpected("its capacity is impossibly large");
  }
  const std::uint64_t perTable = grainSectors * tableEntries;
  const std::uint64_t tables = capacity / perTable + (capacity % perTable != 0 ? 1 : 0);
  if (tables > kMaxDirectoryEntries || directorySector > fileSize / kSector ||
      !image::FitsInFile(directorySector * kSector, tables * 4, fileSize)) {
    return std::unexpected("its grain directory lies outside the file");
  }
  std::vector<std::byte> bytes(tables * 4);
  if (!read(directorySector * kSector, bytes)) {
    return std::unexpected("its grain directory cannot be read");
  }
  std::vector<std::uint32_t> directory(tables);
  for (std::size_t i = 0; i < directory.size(); ++i) {
    directory[i] = static_cast<std::uint32_t>(image::ReadLittleEndian(bytes, i * 4, 4));
    if (directory[i] != 0 &&
        !image::FitsInFile(directory[i] * kSector, tableEntries * 4, fileSize)) {
      return std::unexpected("one of its grain tables lies outside the file");
    }
  }
  return std::make_unique<VmdkSparseMap>(std::move(read), fileSize, capacity * kSector,
                                         grainSectors * kSector, tableEntries,
                                         (flags & kFlagZeroedGrains) != 0, std::move(directory));
}

}  // namespace tolvar

namespace tolvar {

std::expected<VmdkCowdHeader, std::string> CheckVmdkCowdExtent(const SegmentReader& read,
                                                               std::uint64_t fileSize) {
  constexpr std::uint64_t kCowdMagic = 0x44574f43u;  // "COWD"
  constexpr std::uint64_t kCowdHeaderBytes = 2048;
  constexpr std::uint64_t kCowdTableEntries = 4096;
  constexpr std::uint64_t kCowdMaxGrainSectors = 2048;  // 1 MiB
  std::array<std::byte, 28> header{};
  if (fileSize < kCowdHeaderBytes || !read(0, header)) {
    return std::unexpected("its sparse-extent header is cut short");
  }
  if (image::ReadLittleEndian(header, 0, 4) != kCowdMagic) {
    return std::unexpected("it has no sparse-extent signature");
  }
  VmdkCowdHeader fields;
  fields.capacitySectors = image::ReadLittleEndian(header, 12, 4);
  fields.grainSectors = image::ReadLittleEndian(header, 16, 4);
  fields.directorySector = image::ReadLittleEndian(header, 20, 4);
  fields.directoryEntries = image::ReadLittleEndian(header, 24, 4);
  if (fields.grainSectors == 0 || fields.grainSectors > kCowdMaxGrainSectors ||
      (fields.grainSectors & (fields.grainSectors - 1)) != 0) {
    return std::unexpected(fmt::format("its grain size ({} sectors) is not one the format allows",
                                       fields.grainSectors));
  }
  if (fields.capacitySectors == 0) return std::unexpected("its capacity is zero");
  const std::uint64_t perTable = fields.grainSectors * kCowdTableEntries;
  const std::uint64_t tables = (fields.capacitySectors + perTable - 1) / perTable;
  if (fields.directoryEntries < tables) {
    return std::unexpected("its grain directory is too short for the disk");
  }
  if (fields.directorySector == 0 ||
      !image::FitsInFile(fields.directorySector * kSector, fields.directoryEntries * 4, fileSize)) {
    return std::unexpected("its grain directory lies outside the file");
  }
  // Only the entries the capacity needs are read.
  std::vector<std::byte> directory(tables * 4);
  if (!read(fields.directorySector * kSector, directory)) {
    return std::unexpected("its grain directory cannot be read");
  }
  for (std::uint64_t i = 0; i < tables; ++i) {
    const std::uint64_t table = image::ReadLittleEndian(directory, i * 4, 4);
    if (table != 0 && !image::FitsInFile(table * kSector, kCowdTableEntries * 4, fileSize)) {
      return std::unexpected("one of its grain tables lies outside the file");
    }
  }
  return fields;
}

}  // namespace tolvar
