#include "gui/controls/html_tooltip.hpp"

#include <QEvent>
#include <QHelpEvent>
#include <QLinearGradient>
#include <QPainter>
#include <QRegularExpression>
#include <QScreen>

namespace tolvar::gui {

QString QuickHelpRichText(const QString& markup) {
  QString text = markup;
  text.remove(QLatin1Char('\r'));
  text.replace(QLatin1Char('\n'), QLatin1Char(' '));
  // The animated image list: its frames are drawn at width% x height% of
  // cx by cy; the still help image stands in for it.
  static const QRegularExpression imageList(QStringLiteral("<ilst\\b([^>]*)>"),
                                            QRegularExpression::CaseInsensitiveOption);
  static const QRegularExpression number(QStringLiteral("\\b(cx|cy|width|height)=(\\d+)"));
  for (auto match = imageList.match(text); match.hasMatch(); match = imageList.match(text)) {
    int cx = 32, cy = 32, widthPercent = 100, heightPercent = 100;
    for (auto it = number.globalMatch(match.captured(1)); it.hasNext();) {
      const auto attribute = it.next();
      const int value = attribute.captured(2).toInt();
      const QString name = attribute.captured(1);
      if (name == QLatin1String("cx")) cx = value;
      if (name == QLatin1String("cy")) cy = value;
      if (name == QLatin1String("width")) widthPercent = value;
      if (name == QLatin1String("height")) heightPercent = value;
    }
    const QString image =
        QStringLiteral("<img src=\":/tolvar/help-large.svg\" width=\"%1\" height=\"%2\">")
            .arg(cx * widthPercent / 100)
            .arg(cy * heightPercent / 100);
    text.replace(match.capturedStart(), match.capturedLength(), image);
  }
  static const QRegularExpression font(
      QStringLiteral("<font\\s+color=(\\w+)\\s+size=(\\d+)pt\\s*>"),
      QRegularExpression::CaseInsensitiveOption);
  text.replace(font, QStringLiteral("<span style=\"color:\\1; font-size:\\2pt\">"));
  text.replace(QStringLiteral("</font>"), QStringLiteral("</span>"), Qt::CaseInsensitive);
  // Qt draws a rule in the text colour; the colour attribute is dropped.
  static const QRegularExpression rule(QStringLiteral("<hr\\s+color=\\w+\\s*>"),
                                       QRegularExpression::CaseInsensitiveOption);
  text.replace(rule, QStringLiteral("<hr>"));
  // A heading opened twice in a row would never be closed and turn the
  // whole balloon into a heading.
  static const QRegularExpression doubleHeading(QStringLiteral("<h3>\\s*<h3>"),
                                                QRegularExpression::CaseInsensitiveOption);
  text.replace(doubleHeading, QStringLiteral("<h3>"));
  text.replace(QStringLiteral("<t>"), QStringLiteral("&nbsp;&nbsp;"), Qt::CaseInsensitive);
  text.replace(QLatin1Char('\t'), QStringLiteral("&nbsp;&nbsp;&nbsp;&nbsp;"));
  return text;
}

CHtmlTooltip::CHtmlTooltip(QWidget* owner)
    : QLabel(owner, Qt::ToolTip | Qt::BypassGraphicsProxyWidget),
      gradient_{QColor(0xFC, 0xFF, 0x7D), Qt::white, QColor(0xFC, 0xFF, 0x7D)} {
  setTextFormat(Qt::RichText);
  setWordWrap(false);
  setMargin(8);
  setForegroundRole(QPalette::ToolTipText);
}

void CHtmlTooltip::Attach(QWidget* control, const QString& markup) {
  if (control == nullptr) return;
  if (!markups_.contains(control)) control->installEventFilter(this);
  markups_.insert(control, markup);
}

void CHtmlTooltip::SetGradient(const std::array<QColor, 3>& colours) {
  gradient_ = colours;
  update();
}

void CHtmlTooltip::SetBorder(const QColor& colour, int width) {
  borderColour_ = colour;
  borderWidth_ = width;
  update();
}

QString CHtmlTooltip::MarkupFor(QWidget* control) const { return markups_.value(control); }

void CHtmlTooltip::ShowFor(QWidget* control, const QPoint& globalPos) {
  const auto found = markups_.constFind(control);
  if (found == markups_.constEnd()) return;
  setText(QuickHelpRichText(*found));
  adjustSize();
  QPoint at = globalPos + QPoint(12, 16);
  if (const QScreen* screen = control->screen()) {
    const QRect available = screen->availableGeometry();
    at.setX(std::min(at.x(), available.right() - width()));
    at.setY(at.y() + height() > available.bottom() ? globalPos.y() - height() - 4 : at.y());
  }
  move(at);
  show();
}

bool CHtmlTooltip::eventFilter(QObject* watched, QEvent* event) {
  auto* control = qobject_cast<QWidget*>(watched);
  if (control != nullptr && markups_.contains(control)) {
    switch (event->type()) {
      case QEvent::ToolTip:
        ShowFor(control, static_cast<QHelpEvent*>(event)->globalPos());
        return true;
      case QEvent::Leave:
      case QEvent::MouseButtonPress:
      case QEvent::Hide:
        hide();
        break;
      default:
        break;
    }
  }
  return QLabel::eventFilter(watched, event);
}

void CHtmlTooltip::paintEvent(QPaintEvent* event) {
  {
    QPainter painter(this);
    QLinearGradient fill(0, 0, width(), 0);
    fill.setColorAt(0.0, gradient_[0]);
    fill.setColorAt(0.5, gradient_[1]);
    fill.setColorAt(1.0, gradient_[2]);
    painter.fillRect(rect(), fill);
    painter.setPen(QPen(borderColour_, borderWidth_));
    painter.drawRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
  }
  QLabel::paintEvent(event);
}

}  // namespace tolvar::gui
