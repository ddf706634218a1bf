#include "gui/controls/image_button.hpp"

#include <QEnterEvent>
#include <QPainter>
#include <QStyleOptionFocusRect>

#include "gui/controls/colours.hpp"

namespace tolvar::gui {

namespace {

QPixmap WithTransparentColour(QPixmap bitmap, const QColor& transparent) {
  if (bitmap.isNull() || !transparent.isValid()) return bitmap;
  bitmap.setMask(bitmap.createMaskFromColor(transparent, Qt::MaskInColor));
  return bitmap;
}

bool ValidSlot(int slot) { return slot >= 0 && slot < CImageButton::kSlotCount; }

}  // namespace

CImageButton::CImageButton(QWidget* parent) : QAbstractButton(parent) {
  const QPalette& pal = palette();
  colours_[kBackgroundHover] = pal.color(QPalette::Button);
  colours_[kTextHover] = pal.color(QPalette::ButtonText);
  colours_[kBackgroundNormal] = pal.color(QPalette::Button);
  colours_[kTextNormal] = pal.color(QPalette::ButtonText);
  colours_[kBackgroundFocus] = pal.color(QPalette::Button);
  colours_[kTextFocus] = pal.color(QPalette::ButtonText);
  setAttribute(Qt::WA_Hover);
  setFocusPolicy(Qt::StrongFocus);
  setIconSize(QSize(32, 32));
}

void CImageButton::SetIcons(const QIcon& normal, const QIcon& hover) {
  normalIcon_ = normal;
  hoverIcon_ = hover.isNull() ? normal : hover;
  usesBitmaps_ = false;
  update();
}

void CImageButton::SetBitmaps(const QPixmap& hover, const QColor& hoverTransparent,
                              const QPixmap& normal, const QColor& normalTransparent) {
  normalBitmap_ = WithTransparentColour(normal, normalTransparent);
  hoverBitmap_ = hover.isNull() ? normalBitmap_ : WithTransparentColour(hover, hoverTransparent);
  usesBitmaps_ = true;
  update();
}

void CImageButton::DrawTransparent(bool transparent) {
  transparent_ = transparent;
  update();
}

bool CImageButton::SetColor(int slot, const QColor& colour, bool repaint) {
  if (!ValidSlot(slot)) return false;
  colours_[static_cast<std::size_t>(slot)] = colour;
  if (repaint) update();
  return true;
}

bool CImageButton::OffsetColor(int slot, int offset, bool repaint) {
  if (!ValidSlot(slot)) return false;
  auto& colour = colours_[static_cast<std::size_t>(slot)];
  colour = OffsetColour(colour, offset);
  if (repaint) update();
  return true;
}

std::optional<QColor> CImageButton::Color(int slot) const {
  if (!ValidSlot(slot)) return std::nullopt;
  return colours_[static_cast<std::size_t>(slot)];
}

void CImageButton::SetTooltipText(const QString& text, bool activate) {
  setToolTip(activate ? text : QString());
}

QSize CImageButton::sizeHint() const {
  const QPixmap image = CurrentImage();
  const QSize imageSize = image.isNull() ? iconSize() : image.deviceIndependentSize().toSize();
  return imageSize + QSize(8, 8);
}

QPixmap CImageButton::CurrentImage() const {
  if (usesBitmaps_) return hovered_ ? hoverBitmap_ : normalBitmap_;
  const QIcon& icon = hovered_ ? hoverIcon_ : normalIcon_;
  if (icon.isNull()) return {};
  const QIcon::Mode mode = isEnabled() ? QIcon::Normal : QIcon::Disabled;
  return icon.pixmap(iconSize(), devicePixelRatio(), mode);
}

void CImageButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const bool focused = hasFocus() && !hovered_;
  const int backgroundSlot =
      hovered_ ? kBackgroundHover : (focused ? kBackgroundFocus : kBackgroundNormal);
  const int textSlot = hovered_ ? kTextHover : (focused ? kTextFocus : kTextNormal);
  if (!transparent_) {
    painter.fillRect(rect(), colours_[static_cast<std::size_t>(backgroundSlot)]);
  }

  // A pressed button shifts its image by one pixel, as a push button does.
  const QPoint pressShift = isDown() ? QPoint(1, 1) : QPoint(0, 0);
  QRect textArea = rect();
  const QPixmap image = CurrentImage();
  if (!image.isNull()) {
    const QSize size = image.deviceIndependentSize().toSize();
    QRect imageRect(QPoint(0, 0), size);
    if (text().isEmpty()) {
      imageRect.moveCenter(rect().center());
    } else {
      imageRect.moveTopLeft(QPoint((width() - size.width()) / 2, 2));
      textArea.setTop(imageRect.bottom() + 2);
    }
    painter.drawPixmap(imageRect.topLeft() + pressShift, image);
  }
  if (!text().isEmpty()) {
    painter.setPen(isEnabled() ? colours_[static_cast<std::size_t>(textSlot)]
                               : palette().color(QPalette::Disabled, QPalette::ButtonText));
    painter.drawText(textArea.translated(pressShift),
                     Qt::AlignHCenter | Qt::AlignTop | Qt::TextShowMnemonic | Qt::TextWordWrap,
                     text());
  }
  if (hasFocus()) {
    QStyleOptionFocusRect option;
    option.initFrom(this);
    option.rect = rect().adjusted(1, 1, -1, -1);
    style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
  }
}

void CImageButton::enterEvent(QEnterEvent* event) {
  if (!hovered_) {
    hovered_ = true;
    update();
  }
  QAbstractButton::enterEvent(event);
}

void CImageButton::leaveEvent(QEvent* event) {
  if (hovered_) {
    hovered_ = false;
    update();
  }
  QAbstractButton::leaveEvent(event);
}

}  // namespace tolvar::gui
