#pragma once

#include <QMessageBox>
#include <memory>

namespace tolvar::gui {

inline constexpr const char* kMessageCaption = "Tolvar for SCO OpenServer";

// The program's message box: its caption, the given buttons and icon, and a
// light gradient behind the message. "\r\n" in `text` is a line break.
[[nodiscard]] std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* owner, const QString& text,
                                                          QMessageBox::Icon icon,
                                                          QMessageBox::StandardButtons buttons);

}  // namespace tolvar::gui
