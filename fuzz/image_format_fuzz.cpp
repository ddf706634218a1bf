// Image format detection and the E01 segment check over an arbitrary file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>

#include "disk/ewf_segments.hpp"
#include "disk/image_format.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tolvar;
  const std::span<const std::byte> file(reinterpret_cast<const std::byte*>(data), size);
  const auto head = file.first(std::min(size, kImageFormatHeadBytes));
  const auto tail = size >= kImageFormatHeadBytes ? file.last(kImageFormatTailBytes)
                                                  : std::span<const std::byte>{};
  const ImageFormat format = DetectImageFormat(head, tail);
  if (ImageFormatName(format).empty()) std::abort();
  // Every format that cannot be opened says what to do instead.
  if (!IsReadableImageFormat(format) && UnreadableFormatAdvice(format, "x.img").empty()) {
    std::abort();
  }
  // The same bytes give the same answer, however much more the caller hands in.
  if (DetectImageFormat(file, tail) != format) std::abort();

  int reads = 0;
  (void)FindEwfSegmentEnd(
      [&](std::uint64_t offset, std::span<std::byte> out) {
        if (offset > size || out.size() > size - offset) std::abort();  // checked before reading
        std::memcpy(out.data(), data + offset, out.size());
        ++reads;
        return true;
      },
      size);
  // Sections only move forward, so a file of n bytes has fewer than n of them.
  if (reads > static_cast<int>(size) + 1) std::abort();

  const std::string name(reinterpret_cast<const char*>(data), std::min<std::size_t>(size, 64));
  const std::string next = NextEwfSegmentName(name);
  if (!next.empty() && next.size() != name.size()) std::abort();
  return 0;
}
