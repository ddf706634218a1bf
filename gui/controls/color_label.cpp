#include "gui/controls/color_label.hpp"

namespace tolvar::gui {

CColorLabel::CColorLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {
  setTextFormat(Qt::PlainText);
}

void CColorLabel::SetTextColor(const QColor& colour) {
  QPalette pal = palette();
  pal.setColor(QPalette::WindowText, colour);
  setPalette(pal);
}

void CColorLabel::SetBackgroundColor(const QColor& colour) {
  QPalette pal = palette();
  pal.setColor(QPalette::Window, colour);
  setPalette(pal);
  setAutoFillBackground(true);
}

void CColorLabel::SetTransparent(bool transparent) { setAutoFillBackground(!transparent); }

void CColorLabel::SetBold(bool bold) {
  QFont boldFont = font();
  boldFont.setWeight(bold ? QFont::Bold : QFont::Normal);  // 700 or 400
  setFont(boldFont);
}

}  // namespace tolvar::gui
