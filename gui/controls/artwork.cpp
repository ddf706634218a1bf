#include "gui/controls/artwork.hpp"

#include <QPainter>
#include <QSvgRenderer>

namespace tolvar::gui {

namespace {

struct ArtEntry {
  Art art;
  const char* file;
  const char* themeName;  // nullptr: always ours
};

constexpr ArtEntry kArt[] = {
    // The wizard's buttons keep the program's own pictures, each with its
    // hover picture: theme icons for these names differ too much in size and
    // meaning (a star for help-about) to stand on the big round buttons.
    {Art::kNext, "next.svg", nullptr},
    {Art::kNextHover, "next-hover.svg", nullptr},
    {Art::kBack, "back.svg", nullptr},
    {Art::kBackHover, "back-hover.svg", nullptr},
    {Art::kStop, "stop.svg", nullptr},
    {Art::kStopHover, "stop-hover.svg", nullptr},
    {Art::kHelp, "help.svg", nullptr},
    {Art::kHelpLarge, "help-large.svg", nullptr},
    {Art::kComputer, "computer.svg", "computer"},
    {Art::kDrive, "drive.svg", "drive-harddisk"},
    {Art::kFolder, "folder.svg", "folder"},
    {Art::kFolderOpen, "folder-open.svg", "folder-open"},
    {Art::kFile, "file.svg", "text-x-generic"},
    {Art::kAppIcon, "tolvar.svg", nullptr},
    {Art::kHomeLink, "home-link.svg", nullptr},
};

const ArtEntry& EntryFor(Art art) {
  for (const ArtEntry& entry : kArt) {
    if (entry.art == art) return entry;
  }
  return kArt[0];
}

}  // namespace

QString ArtPath(Art art) {
  return QStringLiteral(":/tolvar/") + QString::fromLatin1(EntryFor(art).file);
}

QIcon ArtIcon(Art art) {
  const ArtEntry& entry = EntryFor(art);
  const QIcon ours(ArtPath(art));
  if (entry.themeName == nullptr) return ours;
  return QIcon::fromTheme(QString::fromLatin1(entry.themeName), ours);
}

CFolderTreeCtrl::ImageList TreeImages() {
  return {ArtIcon(Art::kDrive), ArtIcon(Art::kFolderOpen), ArtIcon(Art::kFolder),
          ArtIcon(Art::kDrive), ArtIcon(Art::kComputer)};
}

QPixmap RenderArt(const QString& resourcePath, const QSize& size, qreal devicePixelRatio) {
  QPixmap pixmap(size * devicePixelRatio);
  pixmap.setDevicePixelRatio(devicePixelRatio);
  pixmap.fill(Qt::transparent);
  QSvgRenderer renderer(resourcePath);
  QPainter painter(&pixmap);
  renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(size)));
  return pixmap;
}

}  // namespace tolvar::gui
