#include "gui/controls/color_button.hpp"

namespace tolvar::gui {

CColorButton::CColorButton(const QString& text, QWidget* parent) : QRadioButton(text, parent) {
  SetTransparent(true);
}

void CColorButton::SetTextColor(const QColor& colour) {
  QPalette pal = palette();
  pal.setColor(QPalette::WindowText, colour);
  pal.setColor(QPalette::ButtonText, colour);
  setPalette(pal);
}

void CColorButton::SetBackgroundColor(const QColor& colour) {
  QPalette pal = palette();
  pal.setColor(QPalette::Window, colour);
  setPalette(pal);
  setAutoFillBackground(true);
}

void CColorButton::SetTransparent(bool transparent) { setAutoFillBackground(!transparent); }

void CColorButton::SetBold(bool bold) {
  QFont boldFont = font();
  boldFont.setWeight(bold ? QFont::Bold : QFont::Normal);
  setFont(boldFont);
}

void CColorButton::SetTooltipText(const QString& text) { setToolTip(text); }

}  // namespace tolvar::gui
