#include "gui/controls/colours.hpp"

#include <algorithm>

namespace tolvar::gui {

QColor OffsetColour(const QColor& colour, int offset) {
  const int step = std::clamp(offset, -255, 255);
  const auto shift = [step](int channel) { return std::clamp(channel + step, 0, 255); };
  QColor result(shift(colour.red()), shift(colour.green()), shift(colour.blue()));
  result.setAlpha(colour.alpha());
  return result;
}

}  // namespace tolvar::gui
