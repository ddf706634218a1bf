#pragma once

#include <string>
#include <string_view>

namespace tolvar {

// The longest name a host folder entry can have, in bytes.
inline constexpr std::size_t kHostNameMax = 255;

// Turns a name read from the disk into one that is safe as a single host
// folder entry. The mapping is reversible (UnescapeHostName): "%" introduces
// two hex digits standing for one raw byte. Escaped are "%" itself, "/",
// NUL and other control bytes, DEL, and every byte of an invalid UTF-8
// sequence; "." and ".." become "%2E" and "%2E%2E", the empty name "%".
// A result longer than kHostNameMax is shortened and given a hash of the raw
// name, so distinct names stay distinct; only then is it not reversible.
[[nodiscard]] std::string EscapeHostName(std::string_view raw);

// The raw bytes an escaped name stands for. "%" followed by anything but two
// hex digits is kept as it is.
[[nodiscard]] std::string UnescapeHostName(std::string_view escaped);

// Lower-case hex of every byte, for reports that keep names exactly.
[[nodiscard]] std::string HexBytes(std::string_view raw);

// The n-th name tried for a duplicate: "name (n).ext", or "name (n)" when
// the name has no extension (a leading dot does not start one).
[[nodiscard]] std::string DuplicateName(std::string_view name, unsigned n);

}  // namespace tolvar
