#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tolvar {

// Length (1 to 4) of the well-formed UTF-8 sequence at `text[pos]`, storing
// its code point in `codePoint` when given; 0 when the bytes there are not
// one: a stray continuation byte, a sequence cut short, an overlong form, a
// surrogate or a value past U+10FFFF. `pos` must be inside `text`.
[[nodiscard]] inline std::size_t Utf8SequenceLength(std::string_view text, std::size_t pos,
                                                    char32_t* codePoint = nullptr) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  if (lead < 0x80) {
    if (codePoint != nullptr) *codePoint = lead;
    return 1;
  }
  std::size_t length = 0;
  char32_t value = 0;
  char32_t minimum = 0;
  if ((lead & 0xE0u) == 0xC0u) {
    length = 2, value = lead & 0x1Fu, minimum = 0x80;
  } else if ((lead & 0xF0u) == 0xE0u) {
    length = 3, value = lead & 0x0Fu, minimum = 0x800;
  } else if ((lead & 0xF8u) == 0xF0u) {
    length = 4, value = lead & 0x07u, minimum = 0x10000;
  } else {
    return 0;
  }
  if (text.size() - pos < length) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[pos + k]);
    if ((next & 0xC0u) != 0x80u) return 0;
    value = (value << 6) | (next & 0x3Fu);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  if (codePoint != nullptr) *codePoint = value;
  return length;
}

// Whether all of `text` is well-formed UTF-8.
[[nodiscard]] inline bool IsValidUtf8(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t length = Utf8SequenceLength(text, pos);
    if (length == 0) return false;
    pos += length;
  }
  return true;
}

// The longest prefix of `text` of at most `limit` bytes that does not end
// inside a UTF-8 sequence: the cut backs off over continuation bytes.
[[nodiscard]] inline std::string_view CutUtf8(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return text;
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0u) == 0x80u) --end;
  return text.substr(0, end);
}

// Columns `text` takes on a terminal, one per code point of valid UTF-8:
// continuation bytes take none.
[[nodiscard]] inline std::size_t Utf8Columns(std::string_view text) {
  std::size_t columns = 0;
  for (const char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0u) != 0x80u) ++columns;
  }
  return columns;
}

}  // namespace tolvar
