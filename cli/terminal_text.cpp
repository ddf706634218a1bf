#include "cli/terminal_text.hpp"

#include <fmt/format.h>

#include <cstdint>

namespace tolvar::cli {

namespace {

// Length of the valid UTF-8 sequence at `text[i]` and its code point, or 0
// when the bytes there are not one (overlong forms and surrogates included).
std::size_t DecodeUtf8(std::string_view text, std::size_t i, char32_t& codePoint) {
  const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(text[k]); };
  const std::uint8_t lead = byte(i);
  std::size_t length = 0;
  char32_t value = 0;
  char32_t minimum = 0;
  if (lead < 0x80) {
    codePoint = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1Fu, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0Fu, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07u, minimum = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    value = (value << 6) | (byte(i + k) & 0x3Fu);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  codePoint = value;
  return length;
}

bool MustEscape(char32_t c) {
  return c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

std::string TerminalSafe(std::string_view text) {
  std::string safe;
  safe.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    char32_t c = 0;
    const std::size_t length = DecodeUtf8(text, i, c);
    if (length == 0) {
      safe += fmt::format("\\x{:02X}", static_cast<std::uint8_t>(text[i]));
      ++i;
      continue;
    }
    if (c == '\\') {
      safe += "\\\\";
    } else if (c == '\n') {
      safe += "\\n";
    } else if (c == '\r') {
      safe += "\\r";
    } else if (c == '\t') {
      safe += "\\t";
    } else if (c < 0x80 && MustEscape(c)) {
      safe += fmt::format("\\x{:02X}", static_cast<unsigned>(c));
    } else if (MustEscape(c)) {
      safe += fmt::format("\\u{:04X}", static_cast<unsigned>(c));
    } else {
      safe.append(text.substr(i, length));
    }
    i += length;
  }
  return safe;
}

}  // namespace tolvar::cli
