#pragma once

// What every dialog of the wizard shares: a fixed size given in dialog
// units, the painted background, controls found by their numeric ids and
// message boxes that tests can answer in place of a user.

#include <QDialog>
#include <QHash>
#include <functional>
#include <string_view>

#include "app/wizard_texts.hpp"

namespace tolvar::gui {

// Answers a message box instead of showing it (tests, scripted runs).
// `question` is true for Yes/No boxes; the answer is ignored otherwise.
using MessageAnswerer =
    std::function<Answer(std::string_view text, MessageKind kind, bool question)>;

// Shows the program's message boxes over `owner`, or asks the answerer.
class Messenger {
 public:
  explicit Messenger(QWidget* owner) : owner_(owner) {}
  void SetAnswerer(MessageAnswerer answerer) { answerer_ = std::move(answerer); }
  [[nodiscard]] const MessageAnswerer& Answerer() const { return answerer_; }
  void Show(std::string_view text, MessageKind kind) const;
  [[nodiscard]] Answer Ask(std::string_view text, MessageKind kind) const;

 private:
  QWidget* owner_;
  MessageAnswerer answerer_;
};

// Converts dialog units to pixels with the base units of a font: x times a
// quarter of the average character width, y times an eighth of the height.
class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);
  [[nodiscard]] int X(int units) const;
  [[nodiscard]] int Y(int units) const;
  [[nodiscard]] QRect Rect(int x, int y, int width, int height) const;
  [[nodiscard]] int BaseX() const { return baseX_; }
  [[nodiscard]] int BaseY() const { return baseY_; }

 private:
  int baseX_;
  int baseY_;
};

// A size in dialog units of `font`, in pixels.
[[nodiscard]] QSize DialogUnitsToPixels(const QFont& font, int width, int height);

class DialogFrame : public QDialog {
  Q_OBJECT

 public:
  // `systemMenu`: a close box in the caption; without it the dialog can only
  // be closed by its own buttons.
  DialogFrame(const QString& title, int widthUnits, int heightUnits, bool systemMenu,
              QWidget* parent);

  // A control by its numeric id; nullptr when there is none.
  [[nodiscard]] QWidget* Control(int id) const { return controls_.value(id, nullptr); }
  void SetMessageAnswerer(MessageAnswerer answerer) { messenger_.SetAnswerer(std::move(answerer)); }

 protected:
  // Gives `widget` its id and an accessible name (its text when empty).
  template <class Widget>
  Widget* Register(Widget* widget, int id, const QString& accessibleName) {
    RegisterWidget(widget, id, accessibleName);
    return widget;
  }
  [[nodiscard]] const Messenger& Messages() const { return messenger_; }
  void paintEvent(QPaintEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  QSize designSize_;
  bool sized_ = false;
  void RegisterWidget(QWidget* widget, int id, const QString& accessibleName);

  QHash<int, QWidget*> controls_;
  Messenger messenger_{this};
};

// A text from the program's tables ("\r\n" as a line break).
[[nodiscard]] QString Text(std::string_view text);

}  // namespace tolvar::gui
