#include "recovery/host_names.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstdint>

#include "base/percent_escapes.hpp"
#include "base/utf8.hpp"

namespace tolvar {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";
constexpr char kLowerHex[] = "0123456789abcdef";

void AppendEscaped(std::string& out, unsigned char byte) {
  out.push_back('%');
  out.push_back(kHex[byte >> 4]);
  out.push_back(kHex[byte & 0xF]);
}

std::uint32_t Fnv1a(std::string_view raw) {
  std::uint32_t hash = 2166136261u;
  for (const char c : raw) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 16777619u;
  }
  return hash;
}

// Cuts `name` to at most `limit` bytes without splitting an escape or a
// UTF-8 sequence.
std::string_view CutAtBoundary(std::string_view name, std::size_t limit) {
  std::size_t pos = 0;
  while (pos < name.size()) {
    std::size_t step = 1;
    if (name[pos] == '%' && pos + 2 < name.size()) {
      step = 3;
    } else {
      const std::size_t length = Utf8SequenceLength(name, pos);
      step = length == 0 ? 1 : length;
    }
    if (pos + step > limit) break;
    pos += step;
  }
  return name.substr(0, pos);
}

}  // namespace

std::string EscapeHostName(std::string_view raw) {
  if (raw.empty()) return "%";
  if (raw == ".") return "%2E";
  if (raw == "..") return "%2E%2E";
  std::string out;
  out.reserve(raw.size());
  for (std::size_t pos = 0; pos < raw.size();) {
    const auto byte = static_cast<unsigned char>(raw[pos]);
    if (byte == '%' || byte == '/' || byte < 0x20 || byte == 0x7F) {
      AppendEscaped(out, byte);
      ++pos;
      continue;
    }
    const std::size_t length = Utf8SequenceLength(raw, pos);
    if (length == 0) {
      AppendEscaped(out, byte);
      ++pos;
      continue;
    }
    out.append(raw.substr(pos, length));
    pos += length;
  }
  if (out.size() > kHostNameMax) {
    const std::string suffix = fmt::format("~{:08x}", Fnv1a(raw));
    std::string cut{CutAtBoundary(out, kHostNameMax - suffix.size())};
    out = cut + suffix;
  }
  return out;
}

std::string UnescapeHostName(std::string_view escaped) {
  if (escaped == "%") return "";
  return PercentDecoded(escaped);
}

std::string HexBytes(std::string_view raw) {
  std::string out;
  out.reserve(raw.size() * 2);
  for (const char c : raw) {
    const auto byte = static_cast<unsigned char>(c);
    out.push_back(kLowerHex[byte >> 4]);
    out.push_back(kLowerHex[byte & 0xF]);
  }
  return out;
}

std::string DuplicateName(std::string_view name, unsigned n) {
  std::size_t dot = name.rfind('.');
  if (dot == 0 || dot == std::string_view::npos) dot = name.size();
  std::string_view stem = name.substr(0, dot);
  std::string_view extension = name.substr(dot);
  const std::string tag = fmt::format(" ({})", n);
  // An extension too long to leave room for some of the stem is not kept
  // apart: the whole name is shortened instead, so the result always fits.
  if (tag.size() + extension.size() + 1 > kHostNameMax / 2) {
    stem = name;
    extension = {};
  }
  const std::size_t room = kHostNameMax - std::min(kHostNameMax, tag.size() + extension.size());
  if (stem.size() > room) stem = CutAtBoundary(stem, room);
  return fmt::format("{}{}{}", stem, tag, extension);
}

}  // namespace tolvar
