#pragma once

#include <QLayout>
#include <QList>
#include <QRect>
#include <QSize>

namespace tolvar::gui {

// How a widget follows the pane's size beyond its default: each factor is
// the share of the extra width (x) or height (y) by which it moves or grows.
struct Anchor {
  double moveX = 0;
  double growX = 0;
  double moveY = 0;
  double growY = 0;
};

// Lays each widget at its place in the pane's default size and, when the
// pane is larger or smaller, moves and stretches it by its anchor: the
// wizard keeps its arrangement at the default size, and the extra room goes
// where the anchors say (the tree and the list).
class AnchoredLayout final : public QLayout {
 public:
  AnchoredLayout(QWidget* parent, QSize defaultSize);
  ~AnchoredLayout() override;

  // `place` is the widget's rectangle at the default size.
  void AddWidget(QWidget* widget, QRect place, Anchor anchor);
  [[nodiscard]] QSize DefaultSize() const { return defaultSize_; }

  void addItem(QLayoutItem* item) override;
  [[nodiscard]] int count() const override;
  [[nodiscard]] QLayoutItem* itemAt(int index) const override;
  [[nodiscard]] QLayoutItem* takeAt(int index) override;
  [[nodiscard]] QSize sizeHint() const override { return defaultSize_; }
  [[nodiscard]] QSize minimumSize() const override { return {0, 0}; }
  void setGeometry(const QRect& rect) override;

  // The rectangle of `place` with `anchor` in a pane of `size`.
  [[nodiscard]] static QRect Placed(QRect place, Anchor anchor, QSize defaultSize, QSize size);

 private:
  struct Entry {
    QLayoutItem* item;
    QRect place;
    Anchor anchor;
  };
  QSize defaultSize_;
  QList<Entry> entries_;
};

}  // namespace tolvar::gui
