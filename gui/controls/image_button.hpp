#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <array>
#include <optional>

namespace tolvar::gui {

// A push button that draws an image pair (normal, under the mouse): either
// two icons or two bitmaps, each bitmap with a colour whose pixels are left
// out. It can draw over its parent's background, keeps six colour slots and
// repaints when the mouse enters or leaves it.
class CImageButton : public QAbstractButton {
  Q_OBJECT

 public:
  enum ColorSlot {
    kBackgroundHover = 0,
    kTextHover = 1,
    kBackgroundNormal = 2,
    kTextNormal = 3,
    kBackgroundFocus = 4,
    kTextFocus = 5,
  };
  static constexpr int kSlotCount = 6;

  explicit CImageButton(QWidget* parent = nullptr);

  void SetIcons(const QIcon& normal, const QIcon& hover);
  void SetBitmaps(const QPixmap& hover, const QColor& hoverTransparent, const QPixmap& normal,
                  const QColor& normalTransparent);
  void DrawTransparent(bool transparent);
  [[nodiscard]] bool IsTransparent() const { return transparent_; }

  // Both refuse a slot outside 0..5 and return false.
  bool SetColor(int slot, const QColor& colour, bool repaint = true);
  // Adds `offset` (clamped to -255..255) to each channel of the slot.
  bool OffsetColor(int slot, int offset, bool repaint = true);
  [[nodiscard]] std::optional<QColor> Color(int slot) const;

  void SetTooltipText(const QString& text, bool activate = true);
  [[nodiscard]] bool IsHovered() const { return hovered_; }

  [[nodiscard]] QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  [[nodiscard]] QPixmap CurrentImage() const;

  QIcon normalIcon_;
  QIcon hoverIcon_;
  QPixmap normalBitmap_;
  QPixmap hoverBitmap_;
  bool usesBitmaps_ = false;
  bool transparent_ = false;
  bool hovered_ = false;
  std::array<QColor, kSlotCount> colours_;
};

}  // namespace tolvar::gui
