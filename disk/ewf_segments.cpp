#include "disk/ewf_segments.hpp"

#include <array>
#include <cctype>
#include <cstring>

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
