#include "disk/ewf_segments.hpp"

#include <fmt/format.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>

#include "disk/image_fields.hpp"

namespace tolvar {

namespace {

// The segment file's own header (signature, fields start, segment number,
// fields end) precedes the first section.
constexpr std::uint64_t kFileHeaderBytes = 13;
// type[16], next section offset u64, section size u64, padding, checksum.
constexpr std::size_t kSectionHeaderBytes = 76;
// Far more sections than any segment holds; ends a chain that loops.
constexpr int kMaxSections = 1 << 20;

std::uint64_t LittleEndian64(std::span<const std::byte> bytes) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < 8; ++i) value |= static_cast<std::uint64_t>(bytes[i]) << (8 * i);
  return value;
}

}  // namespace

EwfSegmentEnd FindEwfSegmentEnd(const SegmentReader& read, std::uint64_t fileSize) {
  std::array<std::byte, kSectionHeaderBytes> header{};
  std::uint64_t offset = kFileHeaderBytes;
  for (int i = 0; i < kMaxSections; ++i) {
    if (offset > fileSize || fileSize - offset < header.size() || !read(offset, header)) {
      return EwfSegmentEnd::kBroken;
    }
    char type[17] = {};
    std::memcpy(type, header.data(), 16);
    if (std::strcmp(type, "next") == 0) return EwfSegmentEnd::kNext;
    if (std::strcmp(type, "done") == 0) return EwfSegmentEnd::kDone;
    const std::uint64_t next = LittleEndian64(std::span(header).subspan(16, 8));
    // Sections only move forward.
    if (next <= offset) return EwfSegmentEnd::kBroken;
    offset = next;
  }
  return EwfSegmentEnd::kBroken;
}

std::string NextEwfSegmentName(std::string_view path) {
  if (path.size() < 4 || path[path.size() - 4] != '.') return {};
  std::string next(path);
  char* ext = next.data() + next.size() - 3;
  const bool upper = std::isupper(static_cast<unsigned char>(ext[0])) != 0;
  const char a = upper ? 'A' : 'a';
  const char z = upper ? 'Z' : 'z';
  if (std::isdigit(static_cast<unsigned char>(ext[1])) &&
      std::isdigit(static_cast<unsigned char>(ext[2]))) {
    const int number = (ext[1] - '0') * 10 + (ext[2] - '0');
    if (number < 99) {
      ext[1] = static_cast<char>('0' + (number + 1) / 10);
      ext[2] = static_cast<char>('0' + (number + 1) % 10);
    } else {
      ext[1] = a;
      ext[2] = a;
    }
    return next;
  }
  // Letters: count up from the last one, carrying leftwards.
  for (int i = 2; i >= 0; --i) {
    if (ext[i] < a || ext[i] > z) return {};
    if (ext[i] < z) {
      ++ext[i];
      return next;
    }
    ext[i] = a;
  }
  return {};
}

}  // namespace tolvar

namespace tolvar {

namespace {

constexpr std::array<unsigned char, 8> kEwfSignature = {'E',  'V',  'F',  0x09,
                                                        0x0d, 0x0a, 0xff, 0x00};
// The volume section of the E01 layout; the older layout's is 94 bytes.
constexpr std::uint64_t kVolumeBytes = 1052;
constexpr std::uint64_t kTableHeaderBytes = 24;
// Chunks of more than 16 MiB are not written by any acquisition tool; the
// bound keeps one chunk's buffers small.
constexpr std::uint64_t kMaxChunkBytes = 16u << 20;

std::uint32_t Adler32(std::span<const std::byte> bytes) {
  return static_cast<std::uint32_t>(
      adler32(1, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

struct Section {
  std::string type;
  std::uint64_t offset = 0;
  std::uint64_t size = 0;  // the descriptor and its data
};

// The sections of one segment up to its "next" or "done", each checked.
std::expected<std::vector<Section>, std::string> WalkSections(const EwfSegmentFile& file) {
  std::vector<Section> sections;
  std::array<std::byte, kSectionHeaderBytes> header{};
  std::uint64_t offset = kFileHeaderBytes;
  for (int i = 0; i < kMaxSections; ++i) {
    if (!image::FitsInFile(offset, header.size(), file.size) || !file.read(offset, header)) {
      return std::unexpected("its sections run past the end of the file");
    }
    if (Adler32(std::span(header).first(72)) != image::ReadLittleEndian(header, 72, 4)) {
      return std::unexpected(
          fmt::format("the descriptor of its section at offset {} is damaged", offset));
    }
    char type[17] = {};
    std::memcpy(type, header.data(), 16);
    const std::uint64_t next = image::ReadLittleEndian(header, 16, 8);
    const std::uint64_t size = image::ReadLittleEndian(header, 24, 8);
    Section section{type, offset, size};
    if (section.type == "next" || section.type == "done") {
      sections.push_back(section);
      return sections;
    }
    if (next <= offset || next > file.size) {
      return std::unexpected(
          fmt::format("its section at offset {} points past the end of the file", offset));
    }
    if (size != next - offset) {
      return std::unexpected(fmt::format(
          "the size of its section at offset {} disagrees with where the next begins", offset));
    }
    sections.push_back(section);
    offset = next;
  }
  return std::unexpected("its sections loop");
}

struct TableHeader {
  std::uint32_t count = 0;
  std::uint64_t base = 0;
  std::uint64_t entriesOffset = 0;
  bool entriesTrusted = false;
  std::uint64_t entriesEnd = 0;  // past the entries and their checksum, if any
};

// A table section's header, checked; null when its checksum fails.
// `maxCount`: the most chunks the disk has left for it.
std::expected<std::optional<TableHeader>, std::string> ReadTableHeader(const EwfSegmentFile& file,
                                                                       const Section& section,
                                                                       std::uint64_t maxCount) {
  const std::uint64_t at = section.offset + kSectionHeaderBytes;
  if (section.size < kSectionHeaderBytes + kTableHeaderBytes) {
    return std::unexpected(fmt::format("its table at offset {} is too short", section.offset));
  }
  std::array<std::byte, kTableHeaderBytes> bytes{};
  if (!file.read(at, bytes)) return std::unexpected("its table cannot be read");
  if (Adler32(std::span(bytes).first(20)) != image::ReadLittleEndian(bytes, 20, 4)) {
    return std::nullopt;
  }
  TableHeader table;
  table.count = static_cast<std::uint32_t>(image::ReadLittleEndian(bytes, 0, 4));
  table.base = image::ReadLittleEndian(bytes, 8, 8);
  table.entriesOffset = at + kTableHeaderBytes;
  const std::uint64_t room = section.size - kSectionHeaderBytes - kTableHeaderBytes;
  const std::uint64_t entryBytes = std::uint64_t{table.count} * 4;
  if (table.count == 0 || entryBytes > room || table.count > maxCount) {
    return std::unexpected(fmt::format(
        "its table at offset {} holds more entries than fit in it or in the disk", section.offset));
  }
  table.entriesEnd = table.entriesOffset + entryBytes;
  if (room - entryBytes < 4) {
    table.entriesTrusted = true;  // the oldest layout has no checksum of the entries
    return table;
  }
  // The entries' own checksum follows them; it is summed a block at a time.
  std::vector<std::byte> block(std::min<std::uint64_t>(entryBytes, 64u << 10));
  uLong sum = adler32(0, nullptr, 0);
  for (std::uint64_t done = 0; done < entryBytes;) {
    const auto part =
        std::span(block).first(std::min<std::uint64_t>(block.size(), entryBytes - done));
    if (!file.read(table.entriesOffset + done, part))
      return std::unexpected("its table cannot be read");
    sum = adler32(sum, reinterpret_cast<const Bytef*>(part.data()), static_cast<uInt>(part.size()));
    done += part.size();
  }
  std::array<std::byte, 4> stored{};
  if (!file.read(table.entriesEnd, stored)) return std::unexpected("its table cannot be read");
  table.entriesTrusted = sum == image::ReadLittleEndian(stored, 0, 4);
  table.entriesEnd += 4;
  return table;
}

}  // namespace

std::expected<std::optional<EwfLayout>, EwfDamage> ReadEwfLayout(
    std::span<const EwfSegmentFile> segments) {
  EwfLayout layout;
  bool haveVolume = false;
  for (std::size_t s = 0; s < segments.size(); ++s) {
    const EwfSegmentFile& file = segments[s];
    const auto fail = [s](std::string what) {
      return std::unexpected(EwfDamage{s, std::move(what)});
    };
    std::array<std::byte, kFileHeaderBytes> head{};
    if (file.size < head.size() || !file.read(0, head)) return fail("it is cut short");
    if (std::memcmp(head.data(), kEwfSignature.data(), kEwfSignature.size()) != 0) {
      if (s == 0) return std::nullopt;  // another kind of set (logical, version 2)
      return fail("it is not a segment of this set");
    }
    if (image::ReadLittleEndian(head, 9, 2) != s + 1) {
      return fail(fmt::format("it says it is segment {}, not {}",
                              image::ReadLittleEndian(head, 9, 2), s + 1));
    }
    auto sections = WalkSections(file);
    if (!sections) return fail(sections.error());
    const std::string& last = sections->back().type;
    if (last != (s + 1 == segments.size() ? "done" : "next")) {
      return fail(s + 1 == segments.size() ? "the set ends before its last segment"
                                           : "it says the set is complete before its end");
    }
    std::optional<Section> sectors;
    for (std::size_t i = 0; i < sections->size(); ++i) {
      const Section& section = (*sections)[i];
      if ((section.type == "volume" || section.type == "disk") && !haveVolume) {
        if (section.size - kSectionHeaderBytes != kVolumeBytes) {
          if (s == 0) return std::nullopt;  // the older layout: the library reads it
          return fail("its volume section is not one this program reads");
        }
        std::array<std::byte, kVolumeBytes> volume{};
        if (!file.read(section.offset + kSectionHeaderBytes, volume)) {
          return fail("its volume section cannot be read");
        }
        if (Adler32(std::span(volume).first(kVolumeBytes - 4)) !=
            image::ReadLittleEndian(volume, kVolumeBytes - 4, 4)) {
          return fail("its volume section is damaged");
        }
        const std::uint64_t chunks = image::ReadLittleEndian(volume, 4, 4);
        const std::uint64_t sectorsPerChunk = image::ReadLittleEndian(volume, 8, 4);
        const std::uint64_t bytesPerSector = image::ReadLittleEndian(volume, 12, 4);
        const std::uint64_t sectorCount = image::ReadLittleEndian(volume, 16, 8);
        if (bytesPerSector < 512 || bytesPerSector > 4096 ||
            (bytesPerSector & (bytesPerSector - 1)) != 0 || sectorsPerChunk == 0 ||
            sectorsPerChunk * bytesPerSector > kMaxChunkBytes) {
          return fail("its chunk size is not one an E01 image can have");
        }
        layout.chunkBytes = static_cast<std::uint32_t>(sectorsPerChunk * bytesPerSector);
        if (sectorCount == 0 || sectorCount > (std::uint64_t{1} << 48)) {
          return fail("its disk size is impossible");
        }
        layout.mediaBytes = sectorCount * bytesPerSector;
        layout.chunkCount = (layout.mediaBytes + layout.chunkBytes - 1) / layout.chunkBytes;
        if (chunks != layout.chunkCount) {
          return fail("its chunk count disagrees with its disk size");
        }
        haveVolume = true;
      } else if (section.type == "sectors") {
        sectors = section;
      } else if (section.type == "table") {
        if (!haveVolume) return fail("a chunk table comes before the volume section");
        const std::uint64_t left =
            layout.chunkCount -
            (layout.tables.empty() ? 0
                                   : layout.tables.back().firstChunk + layout.tables.back().count);
        auto header = ReadTableHeader(file, section, left);
        if (!header) return fail(header.error());
        // The copy that follows stands in for a damaged table.
        const bool copyFollows = i + 1 < sections->size() && (*sections)[i + 1].type == "table2";
        if (copyFollows && (!*header || !(*header)->entriesTrusted)) {
          auto copy = ReadTableHeader(file, (*sections)[i + 1], left);
          if (!copy) return fail(copy.error());
          if (*copy &&
              (!*header || ((*copy)->entriesTrusted && (*copy)->count == (*header)->count &&
                            (*copy)->base == (*header)->base))) {
            header = copy;
          }
        }
        if (!*header) {
          return fail(fmt::format("its chunk table at offset {} is damaged", section.offset));
        }
        EwfChunkTable table;
        table.segment = static_cast<std::uint32_t>(s);
        table.firstChunk = layout.tables.empty()
                               ? 0
                               : layout.tables.back().firstChunk + layout.tables.back().count;
        table.count = (*header)->count;
        table.entriesOffset = (*header)->entriesOffset;
        table.base = (*header)->base;
        table.entriesTrusted = (*header)->entriesTrusted;
        // The chunks lie in the sectors section before the table or, in the
        // oldest layout, in the table section after the entries.
        if (sectors) {
          table.dataStart = sectors->offset + kSectionHeaderBytes;
          table.dataEnd = sectors->offset + sectors->size;
          sectors.reset();
        } else {
          table.dataStart = (*header)->entriesEnd;
          table.dataEnd = section.offset + section.size;
        }
        layout.tables.push_back(table);
      }
    }
  }
  if (!haveVolume) return std::unexpected(EwfDamage{0, "it has no volume section"});
  const std::uint64_t tabled =
      layout.tables.empty() ? 0 : layout.tables.back().firstChunk + layout.tables.back().count;
  if (tabled != layout.chunkCount) {
    return std::unexpected(
        EwfDamage{segments.size() - 1, "its chunk tables do not cover the disk"});
  }
  return layout;
}

std::expected<EwfChunkPlace, std::string> LocateEwfChunk(const EwfLayout& layout,
                                                         std::span<const EwfSegmentFile> segments,
                                                         std::uint64_t chunk) {
  const auto table = std::ranges::upper_bound(layout.tables, chunk, {},
                                              [](const EwfChunkTable& t) { return t.firstChunk; });
  if (table == layout.tables.begin() || chunk >= layout.chunkCount) {
    return std::unexpected("no chunk table covers it");
  }
  const EwfChunkTable& t = *(table - 1);
  if (!t.entriesTrusted) return std::unexpected("its chunk table is damaged");
  const EwfSegmentFile& file = segments[t.segment];
  const std::uint64_t index = chunk - t.firstChunk;
  const bool lastOfTable = index + 1 == t.count;
  std::array<std::byte, 8> entries{};
  const auto wanted = std::span(entries).first(lastOfTable ? 4 : 8);
  if (!file.read(t.entriesOffset + index * 4, wanted)) {
    return std::unexpected("its chunk table cannot be read");
  }
  const std::uint64_t entry = image::ReadLittleEndian(entries, 0, 4);
  EwfChunkPlace place;
  place.segment = t.segment;
  place.compressed = (entry >> 31) != 0;
  place.offset = t.base + (entry & 0x7fff'ffffu);
  const std::uint64_t end =
      lastOfTable ? t.dataEnd : t.base + (image::ReadLittleEndian(entries, 4, 4) & 0x7fff'ffffu);
  place.length =
      std::min<std::uint64_t>(layout.chunkBytes, layout.mediaBytes - chunk * layout.chunkBytes);
  if (place.offset < t.dataStart || end > t.dataEnd || end <= place.offset) {
    return std::unexpected("its chunk table points outside the chunk data");
  }
  place.storedLength = end - place.offset;
  if (place.compressed ? place.storedLength > compressBound(static_cast<uLong>(place.length)) + 64
                       : place.storedLength != place.length + 4) {
    return std::unexpected("its stored size disagrees with the chunk size");
  }
  return place;
}

bool DecodeEwfChunk(std::span<const std::byte> stored, bool compressed, std::span<std::byte> out) {
  if (!compressed) {
    if (stored.size() != out.size() + 4) return false;
    std::memcpy(out.data(), stored.data(), out.size());
    return Adler32(out) == image::ReadLittleEndian(stored, out.size(), 4);
  }
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) return false;
  // zlib's interface is not const-correct; it only reads the input.
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(stored.data()));
  stream.avail_in = static_cast<uInt>(stored.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  // The stream ends with its own Adler-32, which inflate checks.
  const int result = inflate(&stream, Z_FINISH);
  const bool whole = result == Z_STREAM_END && stream.avail_out == 0;
  inflateEnd(&stream);
  return whole;
}

}  // namespace tolvar
