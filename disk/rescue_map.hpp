#pragma once

// GNU ddrescue mapfiles: which bytes of an image the rescue copied, and a
// source that treats every other byte as unreadable.

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "disk/block_device_source.hpp"

namespace tolvar {

// A mapfile larger than this is refused unread: real maps of badly damaged
// disks stay far below it.
inline constexpr std::uint64_t kMaxRescueMapBytes = 64ULL * 1024 * 1024;

struct ByteRange {
  std::uint64_t first = 0;
  std::uint64_t end = 0;  // one past the last byte
};

// The parts of an image a mapfile marks finished ("+"), sorted and merged.
class RescueMap {
 public:
  RescueMap() = default;
  RescueMap(std::vector<ByteRange> finished, std::uint64_t mappedBytes);

  // Whether every byte of [first, first + length) was rescued.
  [[nodiscard]] bool Rescued(std::uint64_t first, std::uint64_t length) const;
  // The bytes the map describes at all, from 0; past them nothing was rescued.
  [[nodiscard]] std::uint64_t MappedBytes() const { return mappedBytes_; }
  [[nodiscard]] const std::vector<ByteRange>& Finished() const { return finished_; }
  [[nodiscard]] std::uint64_t FinishedBytes() const;

 private:
  std::vector<ByteRange> finished_;
  std::uint64_t mappedBytes_ = 0;
};

// Reads the text of a mapfile: "#" comments, the status line
// "POS STATUS [PASS]", then one block "POS SIZE STATUS" per line; numbers in
// decimal, 0x hex or 0-prefixed octal as ddrescue writes and reads them.
// Blocks may come in any order but must not overlap. A map that does not
// parse is an error "line N: reason".
[[nodiscard]] std::expected<RescueMap, Error> ParseRescueMap(std::string_view text);

// Loads the mapfile at `path` (a regular file, at most kMaxRescueMapBytes)
// for an image of `imageBytes` bytes. A map reaching past the image's end
// describes another image and is refused; a shorter one (ddrescue run with
// --size) leaves the rest of the image unrescued. Errors name the file and,
// where there is one, the line.
[[nodiscard]] std::expected<RescueMap, Error> LoadRescueMap(const std::string& path,
                                                            std::uint64_t imageBytes);

// Wraps `inner` so that a read touching any byte the map does not mark
// rescued fails, the way a bad sector of the drive would: the drive table
// then zero-fills and records it.
[[nodiscard]] std::unique_ptr<BlockDeviceSource> MakeRescueMapSource(
    std::shared_ptr<BlockDeviceSource> inner, std::shared_ptr<const RescueMap> map);

}  // namespace tolvar
