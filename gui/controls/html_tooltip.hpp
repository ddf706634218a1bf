#pragma once

#include <QColor>
#include <QHash>
#include <QLabel>
#include <QPointer>
#include <array>

namespace tolvar::gui {

// Turns the quick-help markup into Qt rich text: <font color size=Npt> becomes
// a styled span, <t> and tabs become a few blanks, the animated image-list
// tag becomes the still "?" image at its drawn size, and a coloured rule
// keeps its colour.
[[nodiscard]] QString QuickHelpRichText(const QString& markup);

// A balloon that shows rich text for a control while the mouse rests on it,
// over a three-colour gradient with a border.
class CHtmlTooltip : public QLabel {
  Q_OBJECT

 public:
  explicit CHtmlTooltip(QWidget* owner);

  // Shows `markup` (quick-help markup) while the mouse rests on `control`.
  void Attach(QWidget* control, const QString& markup);
  void SetGradient(const std::array<QColor, 3>& colours);
  void SetBorder(const QColor& colour, int width);

  // Shows the balloon of `control` at `globalPos`; nothing for an unknown
  // control.
  void ShowFor(QWidget* control, const QPoint& globalPos);
  [[nodiscard]] QString MarkupFor(QWidget* control) const;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  QHash<QWidget*, QString> markups_;
  std::array<QColor, 3> gradient_;
  QColor borderColour_ = Qt::white;
  int borderWidth_ = 1;
};

}  // namespace tolvar::gui
