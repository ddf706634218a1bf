// The ddrescue mapfile parser over arbitrary text: it either refuses with a
// one-line reason naming a line, or gives finished ranges that are sorted,
// disjoint, not empty and inside the bytes the map describes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "disk/rescue_map.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto map = tolvar::ParseRescueMap(text);
  if (!map) {
    const std::string& message = map.error().message;
    if (message.rfind("line ", 0) != 0 || message.find('\n') != std::string::npos) std::abort();
    return 0;
  }
  std::uint64_t previousEnd = 0;
  bool first = true;
  for (const tolvar::ByteRange& range : map->Finished()) {
    if (range.end <= range.first || range.end > map->MappedBytes()) std::abort();
    // Merged: touching ranges would have been joined.
    if (!first && range.first <= previousEnd) std::abort();
    if (!map->Rescued(range.first, range.end - range.first)) std::abort();
    if (range.first != 0 && map->Rescued(range.first - 1, 1)) std::abort();
    previousEnd = range.end;
    first = false;
  }
  return 0;
}
