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

QString ArtPathOf(Bitmap bitmap) {
  return QStringLiteral(":/tolvar/commands/%1.svg").arg(ArtName(bitmap));
}

}  // namespace

QIcon MenuBitmap(Bitmap bitmap) {
  if (bitmap == Bitmap::kNone) return {};
  return QIcon(ArtPathOf(bitmap));
}

QPixmap ToolButtonPicture(const commands::ToolButton& button, bool hover, const QSize& size) {
  // Drawn for the dark header: a light tile holding the symbol, the caption
  // in white below; under the mouse the tile turns white with an amber rim.
  QPixmap picture(size);
  picture.fill(Qt::transparent);
  QPainter painter(&picture);
  painter.setRenderHint(QPainter::Antialiasing);
  const qreal tileSide = std::min(size.width(), size.height()) * 0.62;
  const QRectF tile((size.width() - tileSide) / 2.0, 2.0, tileSide, tileSide);
  QPainterPath outline;
  outline.addRoundedRect(tile, 7, 7);
  painter.fillPath(outline, hover ? QColor(Qt::white) : QColor(0xE8, 0xF0, 0xF8, 225));
  if (hover) {
    painter.setPen(QPen(QColor(0xF2, 0xA9, 0x00), 2.0));
    painter.drawPath(outline);
  }
  const qreal inset = tileSide * 0.2;
  QSvgRenderer(ArtPathOf(button.normal))
      .render(&painter, tile.adjusted(inset, inset, -inset, -inset));
  QFont font = painter.font();
  font.setPixelSize(std::max(9, size.height() / 6));
  font.setBold(true);
  painter.setFont(font);
  painter.setPen(hover ? QColor(0xFF, 0xD3, 0x6B) : QColor(Qt::white));
  painter.drawText(
      QRectF(0, tile.bottom() + 2, size.width(), size.height() - tile.bottom() - 2),
      Qt::AlignHCenter | Qt::AlignTop,
      QString::fromUtf8(button.caption.data(), static_cast<qsizetype>(button.caption.size())));
  return picture;
}

}  // namespace tolvar::gui
