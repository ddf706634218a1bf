#include "gui/controls/transparent_static.hpp"

namespace tolvar::gui {

CTransparentStatic::CTransparentStatic(const QString& text, QWidget* parent)
    : QLabel(text, parent) {
  setTextFormat(Qt::PlainText);
  setAutoFillBackground(false);
}

void CTransparentStatic::SetText(const QString& text) {
  if (text == this->text()) return;
  if (QWidget* parent = parentWidget()) parent->update(geometry());
  setText(text);
}

}  // namespace tolvar::gui
