#pragma once

#include <QIcon>
#include <QPixmap>
#include <QString>

#include "gui/controls/folder_tree_ctrl.hpp"

namespace tolvar::gui {

// The program's own pictures, compiled in from gui/resources. Icons with a
// freedesktop name follow the desktop's icon theme and fall back to ours.
enum class Art {
  kNext,
  kNextHover,
  kBack,
  kBackHover,
  kStop,
  kStopHover,
  kHelp,
  kHelpLarge,
  kComputer,
  kDrive,
  kFolder,
  kFolderOpen,
  kFile,
  kAppIcon,
  kHomeLink,
};

// The resource path of a picture (":/tolvar/next.svg").
[[nodiscard]] QString ArtPath(Art art);
// The icon: the theme's icon of the freedesktop name when the theme has one,
// else ours.
[[nodiscard]] QIcon ArtIcon(Art art);
// The left tree's five images: drive, open folder, folder, drive, computer.
[[nodiscard]] CFolderTreeCtrl::ImageList TreeImages();

// Renders a scalable picture from the resources at `size`.
[[nodiscard]] QPixmap RenderArt(const QString& resourcePath, const QSize& size,
                                qreal devicePixelRatio = 1.0);

}  // namespace tolvar::gui
