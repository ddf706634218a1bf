#include "cli/terminal_text.hpp"

#include <fmt/format.h>

#include <cstdint>

#include "base/utf8.hpp"

namespace tolvar::cli {

namespace {

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
    const std::size_t length = Utf8SequenceLength(text, i, &c);
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
