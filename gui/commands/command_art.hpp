#pragma once

#include <QIcon>
#include <QPixmap>
#include <QString>

#include "app/commands.hpp"

namespace tolvar::gui {

// The 16 by 16 picture of a menu item.
[[nodiscard]] QIcon MenuBitmap(commands::Bitmap bitmap);

// A tool button's picture: the command's symbol over its caption on a
// transparent ground; the one under the mouse gets a light rounded backdrop.
[[nodiscard]] QPixmap ToolButtonPicture(const commands::ToolButton& button, bool hover,
                                        const QSize& size);

}  // namespace tolvar::gui
