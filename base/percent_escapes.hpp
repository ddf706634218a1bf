#pragma once

#include <string>
#include <string_view>

namespace tolvar {

// The value of one hexadecimal digit of either case; -1 for any other
// character.
[[nodiscard]] constexpr int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// `text` with each "%XX" (two hexadecimal digits) made the byte it names; a
// "%" not followed by two digits stays as it is.
[[nodiscard]] inline std::string PercentDecoded(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size(); ++pos) {
    if (text[pos] == '%' && pos + 2 < text.size()) {
      const int high = HexDigitValue(text[pos + 1]);
      const int low = HexDigitValue(text[pos + 2]);
      if (high >= 0 && low >= 0) {
        out.push_back(static_cast<char>(high * 16 + low));
        pos += 2;
        continue;
      }
    }
    out.push_back(text[pos]);
  }
  return out;
}

}  // namespace tolvar
