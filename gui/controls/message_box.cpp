#include "gui/controls/message_box.hpp"

#include <QApplication>
#include <QGridLayout>
#include <QLinearGradient>
#include <QSpacerItem>

#include "gui/controls/colours.hpp"

namespace tolvar::gui {

std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* owner, const QString& text,
                                            QMessageBox::Icon icon,
                                            QMessageBox::StandardButtons buttons) {
  QString shown = text;
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  auto box = std::make_unique<QMessageBox>(icon, QString::fromLatin1(kMessageCaption), shown,
                                           buttons, owner);
  box->setTextFormat(Qt::PlainText);
  QLinearGradient gradient(0, 0, 1, 0);
  gradient.setCoordinateMode(QGradient::ObjectMode);
  gradient.setColorAt(0.0, FromColorRef(0x86FDF7));
  gradient.setColorAt(0.5, Qt::white);
  gradient.setColorAt(1.0, FromColorRef(0x86FDF7));
  QPalette pal = box->palette();
  pal.setBrush(QPalette::Window, QBrush(gradient));
  pal.setColor(QPalette::WindowText, Qt::black);
  box->setPalette(pal);
  box->setAutoFillBackground(true);
  // Wide enough for the caption in the title bar, beside the frame's own
  // buttons: a row of that width under the contents holds the box open.
  if (auto* grid = qobject_cast<QGridLayout*>(box->layout())) {
    const QFontMetrics metrics(QApplication::font("QMdiSubWindowTitleBar"));
    const int captionWidth = metrics.horizontalAdvance(box->windowTitle()) + 160;
    grid->addItem(new QSpacerItem(captionWidth, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                  grid->rowCount(), 0, 1, grid->columnCount());
  }
  return box;
}

}  // namespace tolvar::gui
