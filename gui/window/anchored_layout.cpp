#include "gui/window/anchored_layout.hpp"

#include <QWidget>
#include <QWidgetItem>
#include <cmath>

namespace tolvar::gui {

AnchoredLayout::AnchoredLayout(QWidget* parent, QSize defaultSize)
    : QLayout(parent), defaultSize_(defaultSize) {
  setContentsMargins(0, 0, 0, 0);
}

AnchoredLayout::~AnchoredLayout() {
  for (const Entry& entry : entries_) delete entry.item;
}

void AnchoredLayout::AddWidget(QWidget* widget, QRect place, Anchor anchor) {
  addChildWidget(widget);
  entries_.append({new QWidgetItem(widget), place, anchor});
  invalidate();
}

void AnchoredLayout::addItem(QLayoutItem* item) { entries_.append({item, QRect(), Anchor{}}); }

int AnchoredLayout::count() const { return static_cast<int>(entries_.size()); }

QLayoutItem* AnchoredLayout::itemAt(int index) const {
  return index >= 0 && index < entries_.size() ? entries_[index].item : nullptr;
}

QLayoutItem* AnchoredLayout::takeAt(int index) {
  if (index < 0 || index >= entries_.size()) return nullptr;
  return entries_.takeAt(index).item;
}

QRect AnchoredLayout::Placed(QRect place, Anchor anchor, QSize defaultSize, QSize size) {
  const double dx = size.width() - defaultSize.width();
  const double dy = size.height() - defaultSize.height();
  const auto round = [](double value) { return static_cast<int>(std::lround(value)); };
  return {place.x() + round(dx * anchor.moveX), place.y() + round(dy * anchor.moveY),
          std::max(0, place.width() + round(dx * anchor.growX)),
          std::max(0, place.height() + round(dy * anchor.growY))};
}

void AnchoredLayout::setGeometry(const QRect& rect) {
  QLayout::setGeometry(rect);
  for (const Entry& entry : entries_) {
    if (entry.place.isNull()) continue;
    QWidget* widget = entry.item->widget();
    QRect placed = Placed(entry.place, entry.anchor, defaultSize_, rect.size());
    placed.translate(rect.topLeft());
    if (widget != nullptr) widget->setGeometry(placed);
  }
}

}  // namespace tolvar::gui
