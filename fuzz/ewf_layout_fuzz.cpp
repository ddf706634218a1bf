// Our E01 layout reader over an arbitrary file taken as a set of one or two
// segments: it never reads past a segment, and every chunk it locates lies
// inside the data its table belongs to and decodes without overrunning.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "disk/ewf_segments.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tolvar;
  const auto segmentOf = [](const std::uint8_t* bytes, std::size_t length) {
    return EwfSegmentFile{[bytes, length](std::uint64_t offset, std::span<std::byte> out) {
                            if (offset > length || out.size() > length - offset) std::abort();
                            if (!out.empty()) std::memcpy(out.data(), bytes + offset, out.size());
                            return true;
                          },
                          length};
  };
  // A second segment starts at the second copy of the signature, if any.
  static constexpr std::uint8_t kSignature[] = {'E', 'V', 'F', 0x09, 0x0d, 0x0a, 0xff, 0x00};
  std::size_t split = size;
  if (size > 16) {
    const auto* found =
        std::search(data + 8, data + size, std::begin(kSignature), std::end(kSignature));
    split = static_cast<std::size_t>(found - data);
  }
  std::vector<EwfSegmentFile> segments = {segmentOf(data, split)};
  if (split < size) segments.push_back(segmentOf(data + split, size - split));

  const auto layout = ReadEwfLayout(segments);
  if (!layout) {
    if (layout.error().segment >= segments.size() || layout.error().what.empty()) std::abort();
    return 0;
  }
  if (!*layout) return 0;
  const EwfLayout& l = **layout;
  if (l.chunkBytes == 0 || l.chunkBytes > (16u << 20) || l.mediaBytes == 0) std::abort();
  const std::uint64_t chunks = std::min<std::uint64_t>(l.chunkCount, 64);
  for (std::uint64_t chunk = 0; chunk < chunks; ++chunk) {
    const auto place = LocateEwfChunk(l, segments, chunk);
    if (!place) continue;
    const EwfSegmentFile& file = segments[place->segment];
    if (place->offset > file.size || place->storedLength > file.size - place->offset) std::abort();
    if (place->length == 0 || place->length > l.chunkBytes) std::abort();
    std::vector<std::byte> stored(place->storedLength);
    if (!file.read(place->offset, stored)) std::abort();
    std::vector<std::byte> out(place->length);
    (void)DecodeEwfChunk(stored, place->compressed, out);
  }
  return 0;
}
