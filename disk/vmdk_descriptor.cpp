#include "disk/vmdk_descriptor.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <string_view>

#include "disk/image_fields.hpp"

namespace tolvar {

namespace {

// Disks beyond 2^47 sectors cannot be addressed in bytes.
constexpr std::uint64_t kMaxSectors = std::uint64_t{1} << 47;
// More extent lines than any writer makes (a 2 TiB split disk has ~1000).
constexpr std::size_t kMaxExtents = 1u << 16;
constexpr std::size_t kMaxNameBytes = 4096;

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

std::optional<std::uint64_t> Number(std::string_view text, int base = 10) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc{} || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

// Takes the next blank-separated word, or a quoted text, from `rest`.
std::optional<std::string_view> NextField(std::string_view& rest, bool quoted) {
  rest = Trim(rest);
  if (rest.empty()) return std::nullopt;
  if (quoted) {
    if (rest.front() != '"') return std::nullopt;
    const auto close = rest.find('"', 1);
    if (close == std::string_view::npos) return std::nullopt;
    const auto field = rest.substr(1, close - 1);
    rest.remove_prefix(close + 1);
    return field;
  }
  const auto end = rest.find_first_of(" \t");
  const auto field = rest.substr(0, end);
  rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
  return field;
}

VmdkExtentLine::Type TypeOf(std::string_view name) {
  if (name == "SPARSE") return VmdkExtentLine::Type::kSparse;
  if (name == "FLAT") return VmdkExtentLine::Type::kFlat;
  if (name == "ZERO") return VmdkExtentLine::Type::kZero;
  if (name == "VMFS") return VmdkExtentLine::Type::kVmfs;
  if (name == "VMFSSPARSE") return VmdkExtentLine::Type::kVmfsSparse;
  return VmdkExtentLine::Type::kOther;
}

std::expected<VmdkExtentLine, std::string> ParseExtentLine(std::string_view rest) {
  VmdkExtentLine extent;
  (void)NextField(rest, false);  // RW, RDONLY or NOACCESS
  const auto size = NextField(rest, false);
  const auto type = NextField(rest, false);
  const auto sectors = size ? Number(*size) : std::nullopt;
  if (!sectors || !type) return std::unexpected("an extent line has no size or type");
  if (*sectors == 0 || *sectors > kMaxSectors) {
    return std::unexpected("an extent line gives an impossible size");
  }
  extent.sectors = *sectors;
  extent.typeName = std::string(*type);
  extent.type = TypeOf(*type);
  if (extent.type == VmdkExtentLine::Type::kZero) return extent;
  const auto name = NextField(rest, true);
  if (!name || name->empty()) return std::unexpected("an extent line names no file");
  if (name->size() > kMaxNameBytes)
    return std::unexpected("an extent line's file name is too long");
  extent.fileName = std::string(*name);
  if (const auto offset = NextField(rest, false)) {
    const auto value = Number(*offset);
    if (!value || *value > kMaxSectors) {
      return std::unexpected("an extent line gives an impossible offset");
    }
    extent.offset = *value;
  }
  return extent;
}

}  // namespace

std::expected<VmdkDescriptor, std::string> ParseVmdkDescriptor(std::span<const std::byte> bytes) {
  std::string_view text(reinterpret_cast<const char*>(bytes.data()),
                        std::min(bytes.size(), kMaxVmdkDescriptorBytes));
  text = text.substr(0, text.find('\0'));
  VmdkDescriptor descriptor;
  bool signature = false;
  while (!text.empty()) {
    const auto end = text.find('\n');
    const std::string_view line = Trim(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.starts_with("# Disk DescriptorFile")) signature = true;
    if (line.empty() || line.front() == '#') continue;
    if (line.starts_with("RW ") || line.starts_with("RDONLY ") || line.starts_with("NOACCESS ") ||
        line.starts_with("RW\t") || line.starts_with("RDONLY\t")) {
      if (descriptor.extents.size() >= kMaxExtents)
        return std::unexpected("it lists too many extents");
      auto extent = ParseExtentLine(line);
      if (!extent) return std::unexpected(extent.error());
      descriptor.totalSectors += extent->sectors;
      if (descriptor.totalSectors > kMaxSectors) {
        return std::unexpected("its extents add up to an impossibly large disk");
      }
      descriptor.extents.push_back(std::move(*extent));
      continue;
    }
    const auto equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view key = Trim(line.substr(0, equals));
    std::string_view value = Trim(line.substr(equals + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    if (key == "version" || key == "CID") signature = true;
    if (key == "createType") descriptor.createType = std::string(value);
    if (key == "parentCID") descriptor.hasParent = Number(value, 16) != 0xffffffffu;
    if (key == "parentFileNameHint") {
      if (value.empty() || value.size() > kMaxNameBytes) {
        return std::unexpected("its parent's file name is empty or too long");
      }
      descriptor.parentFileNameHint = std::string(value);
    }
  }
  if (!signature) return std::unexpected("it holds no VMDK descriptor");
  if (descriptor.extents.empty()) return std::unexpected("its descriptor lists no extent");
  if (descriptor.hasParent && !descriptor.parentFileNameHint) {
    return std::unexpected("its descriptor names a parent disk but not the parent's file");
  }
  return descriptor;
}

std::expected<VmdkSparseHeader, std::string> ParseVmdkSparseHeader(
    std::span<const std::byte> header, std::uint64_t fileSize) {
  constexpr std::uint64_t kMagic = 0x564d444bu;  // "KDMV"
  constexpr std::uint64_t kSector = 512;
  constexpr std::uint64_t kFlagCompressed = 1u << 16;
  constexpr std::uint64_t kMaxGrainSectors = 2048;  // 1 MiB
  constexpr std::uint64_t kMinTableEntries = 128;
  constexpr std::uint64_t kMaxTableEntries = 4096;
  if (header.size() < kVmdkSparseHeaderBytes || fileSize < kVmdkSparseHeaderBytes) {
    return std::unexpected("its sparse-extent header is cut short");
  }
  if (image::ReadLittleEndian(header, 0, 4) != kMagic) {
    return std::unexpected("it has no sparse-extent signature");
  }
  VmdkSparseHeader fields;
  const std::uint64_t version = image::ReadLittleEndian(header, 4, 4);
  const std::uint64_t flags = image::ReadLittleEndian(header, 8, 4);
  fields.capacitySectors = image::ReadLittleEndian(header, 12, 8);
  fields.grainSectors = image::ReadLittleEndian(header, 20, 8);
  fields.descriptorSector = image::ReadLittleEndian(header, 28, 8);
  fields.descriptorSectors = image::ReadLittleEndian(header, 36, 8);
  fields.tableEntries = image::ReadLittleEndian(header, 44, 4);
  fields.directorySector = image::ReadLittleEndian(header, 56, 8);
  fields.compressed = (flags & kFlagCompressed) != 0 || image::ReadLittleEndian(header, 77, 2) != 0;
  fields.directoryAtEnd = fields.directorySector == ~std::uint64_t{0};
  if (version < 1 || version > 3) return std::unexpected("its sparse-extent version is unknown");
  if (fields.grainSectors == 0 || fields.grainSectors > kMaxGrainSectors ||
      (fields.grainSectors & (fields.grainSectors - 1)) != 0) {
    return std::unexpected(fmt::format("its grain size ({} sectors) is not one the format allows",
                                       fields.grainSectors));
  }
  if (fields.tableEntries < kMinTableEntries || fields.tableEntries > kMaxTableEntries ||
      (fields.tableEntries & (fields.tableEntries - 1)) != 0) {
    return std::unexpected(fmt::format(
        "its grain tables' size ({} entries) is not one the format allows", fields.tableEntries));
  }
  if (fields.capacitySectors == 0 || fields.capacitySectors > kMaxSectors) {
    return std::unexpected("its capacity is impossibly large");
  }
  const std::uint64_t fileSectors = fileSize / kSector;
  if (fields.descriptorSector != 0 &&
      (fields.descriptorSector >= fileSectors ||
       fields.descriptorSectors > fileSectors - fields.descriptorSector ||
       fields.descriptorSectors * kSector > kMaxVmdkDescriptorBytes)) {
    return std::unexpected("its embedded descriptor lies outside the file");
  }
  // Each directory entry covers one grain table; the directory is read
  // whole, so it must fit in the file.
  const std::uint64_t perTable = fields.grainSectors * fields.tableEntries;
  const std::uint64_t tables = (fields.capacitySectors + perTable - 1) / perTable;
  if (tables * 4 > fileSize) {
    return std::unexpected("its grain directory would be larger than the file");
  }
  if (!fields.directoryAtEnd &&
      (fields.directorySector >= fileSectors ||
       !image::FitsInFile(fields.directorySector * kSector, tables * 4, fileSize))) {
    return std::unexpected("its grain directory lies outside the file");
  }
  return fields;
}

}  // namespace tolvar
