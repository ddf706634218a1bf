#pragma once

#include <QIcon>
#include <QString>

namespace tolvar::gui {

// The desktop's small icon for a file of this name (by its MIME type, from
// the name alone), or the program's own file picture.
[[nodiscard]] QIcon FileIconFor(const QString& name);

}  // namespace tolvar::gui
