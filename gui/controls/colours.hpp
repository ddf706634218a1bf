#pragma once

#include <QColor>
#include <cstdint>

namespace tolvar::gui {

// Colour values in the classic order: the low byte is red, then green, then
// blue (0x900000 is blue 0x90).
[[nodiscard]] inline QColor FromColorRef(std::uint32_t value) {
  return QColor(static_cast<int>(value & 0xFF), static_cast<int>((value >> 8) & 0xFF),
                static_cast<int>((value >> 16) & 0xFF));
}

// Adds `offset` (clamped to -255..255) to each of red, green and blue, each
// clamped to 0..255; alpha is kept.
[[nodiscard]] QColor OffsetColour(const QColor& colour, int offset);

}  // namespace tolvar::gui
