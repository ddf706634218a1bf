#pragma once

#include <QRadioButton>

namespace tolvar::gui {

// A radio button drawn like a `CColorLabel`: text colour, background colour
// or a transparent background (the default), font and tooltip.
class CColorButton : public QRadioButton {
  Q_OBJECT

 public:
  explicit CColorButton(const QString& text = {}, QWidget* parent = nullptr);

  void SetTextColor(const QColor& colour);
  void SetBackgroundColor(const QColor& colour);
  void SetTransparent(bool transparent);
  void SetBold(bool bold);
  void SetTooltipText(const QString& text);
};

}  // namespace tolvar::gui
