#include "gui/controls/text_progress_ctrl.hpp"

#include <QPainter>

#include "gui/controls/colours.hpp"

namespace tolvar::gui {

CTextProgressCtrl::CTextProgressCtrl(QWidget* parent) : QProgressBar(parent) {
  setRange(0, 100);
  setValue(0);
  setTextVisible(true);
}

void CTextProgressCtrl::SetBarColor(const QColor& colour) {
  barColour_ = colour;
  update();
}

void CTextProgressCtrl::SetBackgroundColor(const QColor& colour) {
  backgroundColour_ = colour;
  update();
}

QColor CTextProgressCtrl::BarColor() const {
  return barColour_.isValid() ? barColour_ : FromColorRef(0x900000);
}

QColor CTextProgressCtrl::BackgroundColor() const {
  return backgroundColour_.isValid() ? backgroundColour_ : palette().color(QPalette::Base);
}

void CTextProgressCtrl::SetWindowText(const QString& text) {
  ownText_ = text;
  update();
}

void CTextProgressCtrl::ShowText(bool shown) {
  showText_ = shown;
  update();
}

QString CTextProgressCtrl::text() const {
  if (maximum() <= minimum()) return {};
  if (!ownText_.isEmpty()) return ownText_;
  const qint64 span = qint64(maximum()) - minimum();
  const qint64 done = qint64(value()) - minimum();
  return QString::asprintf("%d%%", static_cast<int>(done * 100 / span));
}

void CTextProgressCtrl::paintEvent(QPaintEvent*) {
  if (maximum() <= minimum()) return;
  QPainter painter(this);
  const QRect whole = rect();
  const qint64 span = qint64(maximum()) - minimum();
  const qint64 done = std::clamp<qint64>(qint64(value()) - minimum(), 0, span);
  const int filledWidth = static_cast<int>(done * whole.width() / span);
  const QRect filled(whole.left(), whole.top(), filledWidth, whole.height());
  const QRect rest(whole.left() + filledWidth, whole.top(), whole.width() - filledWidth,
                   whole.height());

  painter.fillRect(filled, BarColor());
  painter.fillRect(rest, BackgroundColor());
  if (showText_) {
    const QString shown = text();
    painter.setFont(parentWidget() != nullptr ? parentWidget()->font() : font());
    painter.setClipRect(filled);
    painter.setPen(BackgroundColor());
    painter.drawText(whole, Qt::AlignCenter, shown);
    painter.setClipRect(rest);
    painter.setPen(BarColor());
    painter.drawText(whole, Qt::AlignCenter, shown);
  }
}

}  // namespace tolvar::gui
