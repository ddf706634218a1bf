#include "gui/controls/hover_button.hpp"

#include <QEnterEvent>
#include <QPainter>

namespace tolvar::gui {

CHoverButton::CHoverButton(QWidget* parent) : QAbstractButton(parent) {
  setCursor(Qt::PointingHandCursor);
  setAttribute(Qt::WA_Hover);
  setFocusPolicy(Qt::TabFocus);
}

void CHoverButton::SetBitmap(const QPixmap& bitmap) {
  bitmap_ = bitmap;
  resize(sizeHint());
  update();
}

void CHoverButton::SetTooltipText(const QString& text) { setToolTip(text); }

QSize CHoverButton::sizeHint() const {
  return bitmap_.isNull() ? QSize(16, 16) : bitmap_.deviceIndependentSize().toSize();
}

void CHoverButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  if (!bitmap_.isNull()) painter.drawPixmap(0, 0, bitmap_);
  if (highlighted_ || hasFocus()) {
    // A thin frame in the highlight colour marks the link under the mouse.
    QColor frame = palette().color(QPalette::Highlight);
    frame.setAlpha(highlighted_ ? 200 : 120);
    painter.setPen(QPen(frame, 2));
    painter.drawRoundedRect(rect().adjusted(1, 1, -1, -1), 4, 4);
  }
}

void CHoverButton::enterEvent(QEnterEvent* event) {
  highlighted_ = true;
  update();
  QAbstractButton::enterEvent(event);
}

void CHoverButton::leaveEvent(QEvent* event) {
  highlighted_ = false;
  update();
  QAbstractButton::leaveEvent(event);
}

}  // namespace tolvar::gui
