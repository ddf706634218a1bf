#pragma once

#include <QIcon>
#include <QMenu>
#include <QProxyStyle>

namespace tolvar::gui {

// Draws the items of a `CImageMenu`: a light text area, a button-face strip
// at the left holding the item's 16 by 16 bitmap, a raised edge around the
// bitmap of the selected item, and the shortcut text in the last 60 pixels.
class ImageMenuStyle : public QProxyStyle {
  Q_OBJECT

 public:
  ImageMenuStyle();

  int itemHeight = 20;
  int itemWidth = 150;
  int drawingStyle = 3;

  void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                   const QWidget* widget) const override;
  QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& contentsSize,
                         const QWidget* widget) const override;
  int pixelMetric(PixelMetric metric, const QStyleOption* option,
                  const QWidget* widget) const override;
};

// A popup menu whose items carry a bitmap and a command id.
class CImageMenu : public QMenu {
  Q_OBJECT

 public:
  static constexpr int kSeparatorHeight = 6;
  static constexpr int kShortcutWidth = 60;

  explicit CImageMenu(const QString& title, QWidget* parent = nullptr);

  void SetItemHeight(int height);
  void SetItemWidth(int width);
  void SetDrawingStyle(int drawingStyle);
  // `text` may carry a shortcut after a tab ("&Find Files...\tCtrl+F").
  QAction* AppendItem(int commandId, const QString& text, const QIcon& bitmap);
  QAction* AppendSeparator();
  [[nodiscard]] QAction* ActionFor(int commandId) const;
  [[nodiscard]] static int CommandIdOf(const QAction* action);

 private:
  ImageMenuStyle* style_;  // owned through the QObject tree
};

}  // namespace tolvar::gui
