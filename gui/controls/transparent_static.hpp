#pragma once

#include <QLabel>

namespace tolvar::gui {

// A static text over its parent's background. Changing the text first makes
// the parent repaint the area under it, so no part of a longer old text stays
// on screen.
class CTransparentStatic : public QLabel {
  Q_OBJECT

 public:
  explicit CTransparentStatic(const QString& text = {}, QWidget* parent = nullptr);

  void SetText(const QString& text);
};

}  // namespace tolvar::gui
