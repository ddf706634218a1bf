#include "gui/controls/image_menu.hpp"

#include <qdrawutil.h>

#include <QPainter>
#include <QStyleOptionMenuItem>
#include <algorithm>

#include "gui/controls/colours.hpp"

namespace tolvar::gui {

namespace {

constexpr int kStripWidth = 20;
constexpr int kCommandIdProperty = 0;

const CImageMenu* OwningMenu(const QWidget* widget) {
  return qobject_cast<const CImageMenu*>(widget);
}

void DrawCheckMark(QPainter* painter, const QRect& box, const QColor& colour) {
  painter->save();
  painter->setRenderHint(QPainter::Antialiasing);
  painter->setPen(QPen(colour, 2));
  const QPointF a(box.left() + 3, box.center().y());
  const QPointF b(box.left() + 6, box.bottom() - 3);
  const QPointF c(box.right() - 2, box.top() + 3);
  painter->drawPolyline(QList<QPointF>{a, b, c});
  painter->restore();
}

}  // namespace

ImageMenuStyle::ImageMenuStyle() = default;

void ImageMenuStyle::drawControl(ControlElement element, const QStyleOption* option,
                                 QPainter* painter, const QWidget* widget) const {
  const auto* item = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
  if (element != CE_MenuItem || item == nullptr || OwningMenu(widget) == nullptr) {
    QProxyStyle::drawControl(element, option, painter, widget);
    return;
  }
  const QRect area = item->rect;
  const QRect strip(area.left(), area.top(), kStripWidth, area.height());
  const QRect textArea = area.adjusted(kStripWidth, 0, 0, 0);
  painter->fillRect(textArea, FromColorRef(0xF0FFFF));
  painter->fillRect(strip, item->palette.color(QPalette::Button));

  if (item->menuItemType == QStyleOptionMenuItem::Separator) {
    const int y = area.center().y();
    painter->setPen(item->palette.color(QPalette::Dark));
    painter->drawLine(textArea.left() + 2, y, textArea.right() - 2, y);
    return;
  }

  const bool enabled = (item->state & State_Enabled) != 0;
  const bool selected = enabled && (item->state & State_Selected) != 0;
  const QRect bitmapBox(area.left() + 2, area.top() + 2, 16, 16);
  if (item->checked) {
    DrawCheckMark(painter, bitmapBox, FromColorRef(0x804040));
  } else if (!item->icon.isNull()) {
    const QPixmap bitmap = item->icon.pixmap(QSize(16, 16), painter->device()->devicePixelRatio(),
                                             enabled ? QIcon::Normal : QIcon::Disabled);
    painter->drawPixmap(bitmapBox.topLeft(), bitmap);
  }
  if (selected) {
    qDrawShadePanel(painter, bitmapBox.adjusted(-1, -1, 1, 1), item->palette, false, 1);
    // The text area gets a frame too, so the keyboard position stays visible.
    QColor frame = item->palette.color(QPalette::Highlight);
    painter->setPen(frame);
    painter->drawRect(textArea.adjusted(1, 0, -1, -1));
  }

  QString label = item->text;
  QString shortcut;
  if (const qsizetype tab = label.indexOf(QLatin1Char('\t')); tab >= 0) {
    shortcut = label.mid(tab + 1);
    label.truncate(tab);
  }
  const QColor textColour = enabled ? item->palette.color(QPalette::Text)
                                    : item->palette.color(QPalette::Disabled, QPalette::Text);
  painter->setPen(textColour);
  painter->setFont(item->font);
  // The last 60 pixels are the shortcut's; an item without one keeps them.
  const QRect labelRect =
      textArea.adjusted(6, 0, shortcut.isEmpty() ? -2 : -CImageMenu::kShortcutWidth, 0);
  painter->drawText(labelRect, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextShowMnemonic, label);
  if (!shortcut.isEmpty()) {
    const QRect shortcutRect(area.right() - CImageMenu::kShortcutWidth + 1, area.top(),
                             CImageMenu::kShortcutWidth, area.height());
    painter->drawText(shortcutRect, Qt::AlignVCenter | Qt::AlignLeft, shortcut);
  }
}

QSize ImageMenuStyle::sizeFromContents(ContentsType type, const QStyleOption* option,
                                       const QSize& contentsSize, const QWidget* widget) const {
  const auto* item = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
  if (type != CT_MenuItem || item == nullptr || OwningMenu(widget) == nullptr) {
    return QProxyStyle::sizeFromContents(type, option, contentsSize, widget);
  }
  // The menu widens every item by its widest shortcut text; taking that off
  // here keeps the items at the width asked for.
  // An item is as wide as asked, or as its longest label needs, so no label
  // is ever cut.
  int shortcutWidth = 0;
  int needed = 0;
  const QFontMetrics metrics(widget->font());
  for (const QAction* action : widget->actions()) {
    QString text = action->text();
    const qsizetype tab = text.indexOf(QLatin1Char('\t'));
    if (tab >= 0) {
      shortcutWidth = std::max(shortcutWidth, metrics.horizontalAdvance(text.mid(tab + 1)));
      text.truncate(tab);
    }
    text.remove(QLatin1Char('&'));
    needed = std::max(needed, kStripWidth + 6 + metrics.horizontalAdvance(text) + 8 +
                                  (tab >= 0 ? CImageMenu::kShortcutWidth : 0));
  }
  const int width = std::max(std::max(itemWidth, needed) - shortcutWidth, 1);
  if (item->menuItemType == QStyleOptionMenuItem::Separator) {
    return {width, CImageMenu::kSeparatorHeight};
  }
  return {width, itemHeight};
}

int ImageMenuStyle::pixelMetric(PixelMetric metric, const QStyleOption* option,
                                const QWidget* widget) const {
  if (OwningMenu(widget) != nullptr &&
      (metric == PM_MenuHMargin || metric == PM_MenuVMargin || metric == PM_MenuPanelWidth)) {
    return metric == PM_MenuPanelWidth ? 1 : 0;
  }
  return QProxyStyle::pixelMetric(metric, option, widget);
}

CImageMenu::CImageMenu(const QString& title, QWidget* parent)
    : QMenu(title, parent), style_(new ImageMenuStyle()) {
  style_->setParent(this);
  setStyle(style_);
}

void CImageMenu::SetItemHeight(int height) { style_->itemHeight = height; }
void CImageMenu::SetItemWidth(int width) { style_->itemWidth = width; }
void CImageMenu::SetDrawingStyle(int drawingStyle) { style_->drawingStyle = drawingStyle; }

QAction* CImageMenu::AppendItem(int commandId, const QString& text, const QIcon& bitmap) {
  QAction* action = addAction(bitmap, text);
  action->setData(commandId);
  action->setIconVisibleInMenu(true);
  return action;
}

QAction* CImageMenu::AppendSeparator() { return addSeparator(); }

QAction* CImageMenu::ActionFor(int commandId) const {
  for (QAction* action : actions()) {
    if (!action->isSeparator() && action->data().toInt() == commandId) return action;
  }
  return nullptr;
}

int CImageMenu::CommandIdOf(const QAction* action) {
  return action == nullptr ? kCommandIdProperty : action->data().toInt();
}

}  // namespace tolvar::gui
