#pragma once

#include <QLabel>

namespace tolvar::gui {

// A static text with its own text colour, an opaque background colour or a
// transparent background, and a bold or normal font.
class CColorLabel : public QLabel {
  Q_OBJECT

 public:
  explicit CColorLabel(const QString& text = {}, QWidget* parent = nullptr);

  void SetTextColor(const QColor& colour);
  void SetBackgroundColor(const QColor& colour);  // also makes the background opaque
  void SetTransparent(bool transparent);
  void SetBold(bool bold);
};

}  // namespace tolvar::gui
