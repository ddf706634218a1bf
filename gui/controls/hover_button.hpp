#pragma once

#include <QAbstractButton>
#include <QPixmap>

namespace tolvar::gui {

// A link-like bitmap button: sized to its bitmap, a hand cursor, a tooltip
// and a highlight while the mouse is over it.
class CHoverButton : public QAbstractButton {
  Q_OBJECT

 public:
  explicit CHoverButton(QWidget* parent = nullptr);

  // Shows `bitmap` and resizes the button to it.
  void SetBitmap(const QPixmap& bitmap);
  void SetTooltipText(const QString& text);
  [[nodiscard]] bool IsHighlighted() const { return highlighted_; }

  [[nodiscard]] QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  QPixmap bitmap_;
  bool highlighted_ = false;
};

}  // namespace tolvar::gui
