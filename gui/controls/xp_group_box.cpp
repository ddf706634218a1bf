#include "gui/controls/xp_group_box.hpp"

#include <QPainter>
#include <QPainterPath>

#include "gui/controls/colours.hpp"

namespace tolvar::gui {

CXPGroupBox::CXPGroupBox(const QString& title, QWidget* parent) : QGroupBox(title, parent) {}

void CXPGroupBox::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QFontMetrics metrics(font());
  const int titleHeight = title().isEmpty() ? 0 : metrics.height();
  const QRectF frame = QRectF(rect()).adjusted(0.5, 0.5 + titleHeight / 2.0, -0.5, -0.5);
  QPainterPath path;
  path.addRoundedRect(frame, 5, 5);  // a 10 by 10 corner ellipse
  painter.fillPath(path, palette().color(QPalette::Button));
  painter.setPen(palette().color(QPalette::Dark));
  painter.drawPath(path);
  if (!title().isEmpty()) {
    const QRect titleRect(8, 0, metrics.horizontalAdvance(title()) + 6, titleHeight);
    painter.fillRect(titleRect, palette().color(QPalette::Button));
    painter.setPen(FromColorRef(0xFF0000));
    painter.drawText(titleRect, Qt::AlignCenter | Qt::TextShowMnemonic, title());
  }
}

}  // namespace tolvar::gui
