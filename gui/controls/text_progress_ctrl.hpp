#pragma once

#include <QColor>
#include <QProgressBar>

namespace tolvar::gui {

// A progress bar that draws its filled part and the rest in two colours and,
// centred over both, its own text or the percentage ("37%"): the text takes
// the background colour over the filled part and the bar colour over the
// rest. Nothing is drawn while the range is empty.
class CTextProgressCtrl : public QProgressBar {
  Q_OBJECT

 public:
  explicit CTextProgressCtrl(QWidget* parent = nullptr);

  // An invalid colour restores the default (bar: dark blue, background: the
  // palette's window colour).
  void SetBarColor(const QColor& colour);
  void SetBackgroundColor(const QColor& colour);
  [[nodiscard]] QColor BarColor() const;
  [[nodiscard]] QColor BackgroundColor() const;

  // An empty text brings the percentage back.
  void SetWindowText(const QString& text);
  void ShowText(bool shown);

  // What the bar shows: its own text, else the position's percentage of the
  // range; empty when the range is empty.
  [[nodiscard]] QString text() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QColor barColour_;
  QColor backgroundColour_;
  QString ownText_;
  bool showText_ = true;
};

}  // namespace tolvar::gui
