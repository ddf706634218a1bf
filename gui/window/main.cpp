// tolvar-gui: the recovery wizard on the Linux desktop.
//
//   tolvar-gui [--legacy-route] [IMAGE...]
//
// Images named on the command line become drives 0, 1, ...; without them the
// host's block devices are listed, and images can be added with Open Disk
// Image (Ctrl+O) or by dropping them on the window.
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "app/session.hpp"
#include "gui/commands/wizard_commands.hpp"
#include "gui/controls/artwork.hpp"
#include "gui/controls/message_box.hpp"
#include "gui/window/drive_sources.hpp"
#include "gui/window/recovery_wizard_dlg.hpp"
#include "packaging/project_info.hpp"

namespace {

// --help and --version print and end; they need no display.
bool OnlyPrints(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg(argv[i]);
    if (arg == "-h" || arg == "--help" || arg == "--help-all" || arg == "-v" ||
        arg == "--version") {
      return true;
    }
  }
  return false;
}

// Reads the command line of `app`; --help and --version end the process here.
tolvar::gui::DriveSources::Options ParseArguments(const QCoreApplication& app) {
  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral(
      "Recovers files from the HTFS and EAFS volumes of SCO OpenServer disks and disk images. "
      "The disks are only read, never written."));
  parser.addHelpOption();
  parser.addVersionOption();
  const QCommandLineOption legacyRoute(
      QStringLiteral("legacy-route"),
      QStringLiteral("Read through the legacy BIOS disk libraries"));
  const QCommandLineOption legacyDir(QStringLiteral("legacy-library-dir"),
                                     QStringLiteral("Folder holding the legacy disk libraries"),
                                     QStringLiteral("DIR"));
  const QCommandLineOption mapfile(
      QStringLiteral("mapfile"),
      QStringLiteral("GNU ddrescue mapfile of the images: bytes it does not mark finished (+) are "
                     "unreadable"),
      QStringLiteral("FILE"));
  const QCommandLineOption imageDir(
      QStringLiteral("image-dir"),
      QStringLiteral("Folder where extent, parent and backing files named inside an image may "
                     "also be read (besides the image's own folder); repeatable"),
      QStringLiteral("DIR"));
  parser.addOption(legacyRoute);
  parser.addOption(legacyDir);
  parser.addOption(mapfile);
  parser.addOption(imageDir);
  parser.addPositionalArgument(QStringLiteral("IMAGE"),
                               QStringLiteral("Disk images to list as drives 0, 1, ..."),
                               QStringLiteral("[IMAGE...]"));
  parser.process(app);

  tolvar::gui::DriveSources::Options options;
  for (const QString& image : parser.positionalArguments()) {
    options.images.push_back(image.toStdString());
  }
  options.legacyRoute = parser.isSet(legacyRoute);
  options.legacyLibraryDir = parser.value(legacyDir).toStdString();
  options.mapfile = parser.value(mapfile).toStdString();
  for (const QString& dir : parser.values(imageDir)) options.imageDirs.push_back(dir.toStdString());
  return options;
}

void Describe() {
  QCoreApplication::setApplicationName(QStringLiteral("tolvar-gui"));
  QCoreApplication::setApplicationVersion(QString::fromUtf8(
      tolvar::project::kVersion.data(), static_cast<qsizetype>(tolvar::project::kVersion.size())));
}

}  // namespace

int main(int argc, char** argv) {
  if (OnlyPrints(argc, argv)) {
    QCoreApplication printer(argc, argv);
    Describe();
    (void)ParseArguments(printer);
    return 0;
  }
  QApplication app(argc, argv);
  Describe();
  QApplication::setDesktopFileName(QStringLiteral("tolvar-gui"));
  QApplication::setWindowIcon(tolvar::gui::ArtIcon(tolvar::gui::Art::kAppIcon));
  tolvar::gui::DriveSources::Options options = ParseArguments(app);

  // An image that cannot be opened is named once and left out.
  QStringList problems;
  std::vector<std::string> readable;
  for (const std::string& image : options.images) {
    auto opened = tolvar::OpenDriveImage(image, options);
    if (opened) {
      readable.push_back(image);
    } else {
      problems.append(QString::fromStdString(opened.error().message));
    }
  }
  const bool imagesGiven = !options.images.empty();
  options.images = std::move(readable);
  if (!problems.isEmpty()) {
    tolvar::gui::MakeMessageBox(nullptr, problems.join(QLatin1Char('\n')), QMessageBox::Warning,
                                QMessageBox::Ok)
        ->exec();
    if (imagesGiven && options.images.empty()) return 1;
  }

  tolvar::Session session(options.legacyRoute ? tolvar::DiskRoute::kLegacyBios
                                              : tolvar::DiskRoute::kNtFamily);
  tolvar::gui::DriveSources sources(std::move(options));
  if (auto listed = sources.Enumerate(session.drives, &session.rescueMaps); !listed) {
    tolvar::gui::MakeMessageBox(nullptr, QString::fromStdString(listed.error().message),
                                QMessageBox::Critical, QMessageBox::Ok)
        ->exec();
    return 1;
  }

  tolvar::gui::CRecoveryWizardDlg window(session, sources);
  tolvar::gui::WizardCommands commands(window);  // menus, tool buttons, keys, dialogs
  // Exit ends the process at once; the copies made for Open go first.
  window.SetProcessEnder([&commands] {
    commands.RemoveTemporaryCopies();
    std::fflush(nullptr);
    std::_Exit(0);
  });
  window.Initialise(QDir::currentPath().toStdString());
  window.show();
  return QApplication::exec();
}
