#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

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
