#include "gui/dialogs/file_icons.hpp"

#include <QHash>
#include <QMimeDatabase>

#include "gui/controls/artwork.hpp"

namespace tolvar::gui {

QIcon FileIconFor(const QString& name) {
  const QMimeDatabase database;
  const QMimeType type = database.mimeTypeForFile(name, QMimeDatabase::MatchExtension);
  QIcon icon = QIcon::fromTheme(type.iconName());
  if (icon.isNull()) icon = QIcon::fromTheme(type.genericIconName());
  if (icon.isNull()) icon = ArtIcon(Art::kFile);
  return icon;
}

}  // namespace tolvar::gui
