#include "gui/dialogs/dialog_frame.hpp"

#include <QAbstractButton>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QPainter>
#include <QShowEvent>
#include <QSvgRenderer>
#include <algorithm>

#include "gui/controls/message_box.hpp"

namespace tolvar::gui {

namespace {

QMessageBox::Icon IconOf(MessageKind kind) {
  switch (kind) {
    case MessageKind::kError:
      return QMessageBox::Critical;
    case MessageKind::kQuestion:
      return QMessageBox::Question;
    case MessageKind::kInformation:
      break;
  }
  return QMessageBox::Information;
}

}  // namespace

QString Text(std::string_view text) {
  QString shown = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return shown;
}

void Messenger::Show(std::string_view text, MessageKind kind) const {
  if (answerer_) {
    (void)answerer_(text, kind, false);
    return;
  }
  const QString shown = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  MakeMessageBox(owner_, shown, IconOf(kind), QMessageBox::Ok)->exec();
}

Answer Messenger::Ask(std::string_view text, MessageKind kind) const {
  if (answerer_) return answerer_(text, kind, true);
  const QString shown = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  auto box = MakeMessageBox(owner_, shown, IconOf(kind), QMessageBox::Yes | QMessageBox::No);
  return box->exec() == QMessageBox::Yes ? Answer::kYes : Answer::kNo;
}

DialogUnits::DialogUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  // The average width of the 52 letters, rounded as the classic dialog
  // manager rounds it.
  const int letters = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  baseX_ = std::max(1, (letters / 26 + 1) / 2);
  baseY_ = std::max(1, metrics.height());
}

int DialogUnits::X(int units) const { return units * baseX_ / 4; }
int DialogUnits::Y(int units) const { return units * baseY_ / 8; }
QRect DialogUnits::Rect(int x, int y, int width, int height) const {
  return {X(x), Y(y), X(width), Y(height)};
}

QSize DialogUnitsToPixels(const QFont& font, int width, int height) {
  const DialogUnits units(font);
  return {units.X(width), units.Y(height)};
}

DialogFrame::DialogFrame(const QString& title, int widthUnits, int heightUnits, bool systemMenu,
                         QWidget* parent)
    : QDialog(parent) {
  setWindowTitle(title);
  setModal(true);
  Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
  if (systemMenu) flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
  setWindowFlags(flags);
  designSize_ = DialogUnitsToPixels(font(), widthUnits, heightUnits);
  setAccessibleName(title);
}

void DialogFrame::showEvent(QShowEvent* event) {
  // The designed width, or more when the contents need it; the height the
  // contents need, so no empty band is left under them.
  if (!sized_) {
    sized_ = true;
    if (QLayout* contents = layout()) {
      contents->activate();
      const QSize needed = contents->totalSizeHint();
      setMinimumSize(contents->totalMinimumSize());
      resize(std::max(designSize_.width(), needed.width()),
             layout()->hasHeightForWidth()
                 ? contents->totalHeightForWidth(std::max(designSize_.width(), needed.width()))
                 : needed.height());
    } else {
      setFixedSize(designSize_);
    }
  }
  QDialog::showEvent(event);
}

void DialogFrame::RegisterWidget(QWidget* widget, int id, const QString& accessibleName) {
  controls_.insert(id, widget);
  widget->setObjectName(QStringLiteral("control%1").arg(id));
  QString name = accessibleName;
  if (name.isEmpty()) {
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) name = button->text();
    if (auto* label = qobject_cast<QLabel*>(widget)) name = label->text();
    if (auto* group = qobject_cast<QGroupBox*>(widget)) name = group->title();
    name.remove(QLatin1Char('&'));
    name = name.trimmed();
  }
  widget->setAccessibleName(name);
}

void DialogFrame::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  QSvgRenderer background(QStringLiteral(":/tolvar/mode-background.svg"));
  background.render(&painter, QRectF(rect()));
  QDialog::paintEvent(event);
}

}  // namespace tolvar::gui
