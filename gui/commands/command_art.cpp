#include "gui/commands/command_art.hpp"

#include <QPainter>
#include <QPainterPath>
#include <QSvgRenderer>

namespace tolvar::gui {

namespace {

using commands::Bitmap;

QString ArtName(Bitmap bitmap) {
  switch (bitmap) {
    case Bitmap::kRecoverSelected:
    case Bitmap::kToolRecoverSelected:
    case Bitmap::kToolRecoverSelectedHover:
      return QStringLiteral("recover-selected");
    case Bitmap::kRecoverAll:
    case Bitmap::kToolRecoverAll:
    case Bitmap::kToolRecoverAllHover:
      return QStringLiteral("recover-all");
    case Bitmap::kFindFiles:
    case Bitmap::kToolFindFiles:
    case Bitmap::kToolFindFilesHover:
      return QStringLiteral("find-files");
    case Bitmap::kSettings:
    case Bitmap::kToolSettings:
    case Bitmap::kToolSettingsHover:
      return QStringLiteral("settings");
    case Bitmap::kLiveUpdate:
    case Bitmap::kToolLiveUpdate:
    case Bitmap::kToolLiveUpdateHover:
      return QStringLiteral("live-update");
    case Bitmap::kToolSaveSnapshot:
    case Bitmap::kToolSaveSnapshotHover:
    case Bitmap::kToolLoadSnapshot:
    case Bitmap::kToolLoadSnapshotHover:
      return QStringLiteral("drive-information");
    case Bitmap::kExit:
      return QStringLiteral("exit");
    case Bitmap::kAbout:
      return QStringLiteral("about");
    case Bitmap::kBuyOnline:
      return QStringLiteral("buy-online");
    case Bitmap::kContents:
      return QStringLiteral("contents");
    case Bitmap::kDetails:
      return QStringLiteral("details");
    case Bitmap::kDriveInformation:
      return QStringLiteral("drive-information");
    case Bitmap::kFileFilters:
      return QStringLiteral("file-filters");
    case Bitmap::kIcons:
      return QStringLiteral("icons");
    case Bitmap::kList:
      return QStringLiteral("list");
    case Bitmap::kNone:
      break;
  }
  return {};
}

QString Caption(int controlId) {
  switch (controlId) {
    case 1049:
      return QStringLiteral("Recover");
    case 1050:
      return QStringLiteral("Recover All");
    case 1053:
      return QStringLiteral("Search");
    case 1055:
      return QStringLiteral("Update");
    case 1054:
      return QStringLiteral("Settings");
    case 1051:
      return QStringLiteral("Save");
    case 1052:
      return QStringLiteral("Load");
    default:
      return {};
  }
}

QString ArtPathOf(Bitmap bitmap) {
  return QStringLiteral(":/tolvar/commands/%1.svg").arg(ArtName(bitmap));
}

}  // namespace

QIcon MenuBitmap(Bitmap bitmap) {
  if (bitmap == Bitmap::kNone) return {};
  return QIcon(ArtPathOf(bitmap));
}

QPixmap ToolButtonPicture(const commands::ToolButton& button, bool hover, const QSize& size) {
  QPixmap picture(size);
  picture.fill(Qt::transparent);
  QPainter painter(&picture);
  painter.setRenderHint(QPainter::Antialiasing);
  if (hover) {
    QPainterPath backdrop;
    backdrop.addRoundedRect(QRectF(picture.rect()).adjusted(1.5, 1.5, -1.5, -1.5), 6, 6);
    painter.fillPath(backdrop, QColor(0xF4, 0xF8, 0xFD));
    painter.setPen(QPen(QColor(0x17, 0x55, 0x8F), 1.2));
    painter.drawPath(backdrop);
  }
  const int side = std::min(size.width(), size.height()) * 11 / 20;
  const QRectF symbol((size.width() - side) / 2.0, size.height() * 0.08, side, side);
  QSvgRenderer(ArtPathOf(button.normal)).render(&painter, symbol);
  QFont font = painter.font();
  font.setPixelSize(std::max(9, size.height() / 6));
  font.setBold(true);
  painter.setFont(font);
  painter.setPen(QColor(0x10, 0x3A, 0x66));
  painter.drawText(QRectF(0, symbol.bottom() + 2, size.width(), size.height() - symbol.bottom() - 2),
                   Qt::AlignHCenter | Qt::AlignTop, Caption(button.controlId));
  return picture;
}

}  // namespace tolvar::gui
