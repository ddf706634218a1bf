#pragma once

// Open With: the desktop portal's application chooser where a portal runs,
// otherwise our own list of the applications the desktop registers for the
// file's type, with a field for a command.

#include <QDialog>
#include <QString>
#include <QStringList>
#include <vector>

class QLineEdit;
class QListWidget;

namespace tolvar::gui {

// An application from a desktop entry.
struct DesktopApp {
  QString id;    // "org.gnome.gedit.desktop"
  QString name;  // Name=
  QString exec;  // Exec=, with its field codes
};

// The folders the desktop keeps its entries and associations in.
struct DesktopDirs {
  QStringList applications;  // each ".../applications", most important first
  QStringList config;        // where mimeapps.list lies, most important first
  [[nodiscard]] static DesktopDirs FromEnvironment();
};

// The applications registered for `mimeTypes` (the file's type, then its
// ancestors): defaults and added associations of mimeapps.list first, then
// mimeinfo.cache, without removed associations, hidden or unlaunchable
// entries, each application once.
[[nodiscard]] std::vector<DesktopApp> AppsForMimeTypes(const QStringList& mimeTypes,
                                                       const DesktopDirs& dirs);

// The program and arguments that open `path` with an Exec line or a typed
// command: %f %F %u %U take the path (the path is appended when none is
// present), other field codes are dropped, %% is a percent sign.
[[nodiscard]] QStringList CommandForFile(const QString& execLine, const QString& path);

// Asks the desktop portal to let the user choose an application for
// `path`; false when no portal answers.
[[nodiscard]] bool OpenWithPortal(const QString& path);

// Our chooser: the applications for the file's type and a command field.
class AppChooserDialog : public QDialog {
  Q_OBJECT

 public:
  AppChooserDialog(const QString& path, std::vector<DesktopApp> apps, QWidget* parent = nullptr);
  // The chosen program and arguments; empty when nothing was chosen.
  [[nodiscard]] QStringList Command() const;
  [[nodiscard]] QListWidget* Apps() const { return list_; }
  [[nodiscard]] QLineEdit* CommandField() const { return command_; }

 private:
  QString path_;
  std::vector<DesktopApp> apps_;
  QListWidget* list_;
  QLineEdit* command_;
};

}  // namespace tolvar::gui
