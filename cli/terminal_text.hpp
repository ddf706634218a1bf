#pragma once

#include <string>
#include <string_view>

namespace tolvar::cli {

// Text from a disk or a device made safe to print: control characters
// (C0, DEL, C1), direction overrides and bytes that are not valid UTF-8 are
// shown as escapes (\n, \t, \x1B, \u202E), and a backslash as \\, so that
// no name can move the cursor, recolour or retitle the terminal.
[[nodiscard]] std::string TerminalSafe(std::string_view text);

}  // namespace tolvar::cli
