#pragma once

#include <QGroupBox>

namespace tolvar::gui {

// A group frame drawn as a rounded rectangle (10 by 10 corners) in the
// button-shadow colour, filled with the button-face colour, with a blue title.
class CXPGroupBox : public QGroupBox {
  Q_OBJECT

 public:
  explicit CXPGroupBox(const QString& title = {}, QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace tolvar::gui
