#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <string>

#include "base/utf8.hpp"

namespace tolvar {

struct AlignedRow {
  std::string caption;
  std::string value;
};

// Rows of a caption and its value, one to a line, every value starting in
// the column `gap` spaces after the widest caption.
[[nodiscard]] inline std::string AlignedRows(std::span<const AlignedRow> rows, std::size_t gap) {
  std::size_t width = 0;
  for (const AlignedRow& row : rows) width = std::max(width, Utf8Columns(row.caption));
  std::string text;
  for (const AlignedRow& row : rows) {
    text += row.caption;
    text.append(width - Utf8Columns(row.caption) + gap, ' ');
    text += row.value;
    text += '\n';
  }
  return text;
}

}  // namespace tolvar
