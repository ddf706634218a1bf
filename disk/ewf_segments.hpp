#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tolvar {

// How one E01 segment file ends: its last section says whether another
// segment follows ("next") or the set is complete ("done"); a chain of
// sections that runs off the file or loops means the file is damaged or
// cut short. The library opens an incomplete set without complaint, so the
// set is checked here before it is handed over.
enum class EwfSegmentEnd { kNext, kDone, kBroken };

// Reads `out.size()` bytes at `offset` of the segment file; false when they
// cannot be read.
using SegmentReader = std::function<bool(std::uint64_t offset, std::span<std::byte> out)>;

[[nodiscard]] EwfSegmentEnd FindEwfSegmentEnd(const SegmentReader& read, std::uint64_t fileSize);

// The name of the segment file after `path` in the E01 naming scheme
// (.E01 ... .E99, .EAA ... .EZZ, .FAA ...); empty when there is none.
[[nodiscard]] std::string NextEwfSegmentName(std::string_view path);

}  // namespace tolvar

namespace tolvar {

// One segment file of an E01 set, as our decoder reads it.
struct EwfSegmentFile {
  SegmentReader read;
  std::uint64_t size = 0;
};

// One chunk table of the set: `count` chunks from `firstChunk` on, whose
// entries lie at `entriesOffset` of segment `segment` (in the table section
// or in its copy, whichever checks), their offsets counted from `base`, and
// whose stored bytes must lie inside [dataStart, dataEnd) of that segment.
struct EwfChunkTable {
  std::uint32_t segment = 0;
  std::uint64_t firstChunk = 0;
  std::uint32_t count = 0;
  std::uint64_t entriesOffset = 0;
  std::uint64_t base = 0;
  std::uint64_t dataStart = 0;
  std::uint64_t dataEnd = 0;
  // False when neither copy of the entries matches its checksum: the
  // table's chunks are then unreadable, not guessed.
  bool entriesTrusted = true;
};

// The disk an E01 set holds and where its chunks lie. Every figure was
// checked against the others and against the segment files' sizes.
struct EwfLayout {
  std::uint64_t mediaBytes = 0;
  std::uint32_t chunkBytes = 0;
  std::uint64_t chunkCount = 0;
  std::vector<EwfChunkTable> tables;  // in chunk order
};

// What is wrong with a set: which segment (index into the set) and a
// fragment without the file's name.
struct EwfDamage {
  std::size_t segment = 0;
  std::string what;
};

// Walks every section of every segment, checks each section descriptor's
// checksum and its size against the next one and the file's size, the
// segment numbers, the volume figures, the chunk tables' headers against
// their sections and the data they point into, and the chunk count the
// tables add up to. Returns the layout, null when the set is of a kind our
// decoder leaves to the library (not the E01 layout), or the damage.
[[nodiscard]] std::expected<std::optional<EwfLayout>, EwfDamage> ReadEwfLayout(
    std::span<const EwfSegmentFile> segments);

// Where chunk `chunk` (below layout.chunkCount) is stored, from its table's
// entries; what is wrong when the entry is damaged or points outside the
// data it belongs to.
struct EwfChunkPlace {
  std::uint32_t segment = 0;
  std::uint64_t offset = 0;
  std::uint64_t storedLength = 0;
  bool compressed = false;
  std::uint64_t length = 0;  // its bytes once decoded (the last chunk may be short)
};
[[nodiscard]] std::expected<EwfChunkPlace, std::string> LocateEwfChunk(
    const EwfLayout& layout, std::span<const EwfSegmentFile> segments, std::uint64_t chunk);

// Decodes one stored chunk into `out` (its decoded length): inflates a
// compressed one, checks the Adler-32 checksum that follows a plain one.
// False when the chunk is damaged.
[[nodiscard]] bool DecodeEwfChunk(std::span<const std::byte> stored, bool compressed,
                                  std::span<std::byte> out);

}  // namespace tolvar
