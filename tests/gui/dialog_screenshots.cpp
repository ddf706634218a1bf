// Saves a picture of the commands and of each dialog for the documentation:
// gui_dialog_screenshots IMAGE OUTPUT_DIR
#include <QAbstractItemModel>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>
#include <cstdio>

#include "app/properties.hpp"
#include "app/session.hpp"
#include "gui/commands/open_with.hpp"
#include "gui/commands/wizard_commands.hpp"
#include "gui/controls/image_menu.hpp"
#include "gui/dialogs/file_filters_dialog.hpp"
#include "gui/dialogs/find_files_dialog.hpp"
#include "gui/dialogs/info_dialogs.hpp"
#include "gui/dialogs/open_image_dialog.hpp"
#include "gui/dialogs/recovery_settings_dialog.hpp"
#include "gui/dialogs/restore_compressed_dialog.hpp"
#include "gui/dialogs/saving_dialog.hpp"
#include "gui/window/drive_sources.hpp"
#include "tests/gui/wizard_driver.hpp"
#include "tools/drive_information.hpp"
#include "tools/folder_totals.hpp"

using namespace tolvar;
using namespace tolvar::gui;
using namespace tolvar::gui::testing;

namespace {

bool Save(QWidget* widget, const QDir& dir, const QString& name) {
  QCoreApplication::processEvents();
  QTest::qWait(50);
  const QString path = dir.filePath(name);
  if (!widget->grab().save(path)) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return false;
  }
  std::printf("%s\n", qPrintable(path));
  return true;
}

bool ShowAndSave(QWidget* widget, const QDir& dir, const QString& name) {
  widget->show();
  if (!QTest::qWaitForWindowExposed(widget)) return false;
  const bool ok = Save(widget, dir, name);
  widget->hide();
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: gui_dialog_screenshots IMAGE OUTPUT_DIR\n");
    return 2;
  }
  const QDir out(QString::fromLocal8Bit(argv[2]));
  QDir().mkpath(out.path());

  Session session;
  DriveSources::Options options;
  options.images = {argv[1]};
  DriveSources sources(std::move(options));
  if (!sources.Enumerate(session.drives)) return 1;
  CRecoveryWizardDlg window(session, sources);
  WizardCommands commands(window);
  window.SetDocumentOpener([](std::string_view) {});
  window.SetMessageAnswerer([](std::string_view, MessageKind, bool) { return Answer::kNo; });
  window.SetModeAnswerer([] { return RecoveryMode::kNormal; });
  window.Initialise(QDir::currentPath().toStdString());
  window.show();
  if (!QTest::qWaitForWindowExposed(&window)) return 1;
  ClickItem(window.Tree(TreeKind::kDisk),
            FindItem(window.Tree(TreeKind::kDisk), "Storage Device0"));
  Click(window.Control(WindowControl::kNext));
  if (!WaitForStep(window, WizardStep::kVolume)) return 1;
  ClickItem(window.Tree(TreeKind::kVolume), window.Tree(TreeKind::kVolume)->Root()->child(0));
  Click(window.Control(WindowControl::kNext));
  if (!WaitForStep(window, WizardStep::kFiles)) return 1;

  bool ok = true;
  ok &= Save(&window, out, QStringLiteral("4-commands.png"));

  // The Tools popup and the right-click menu.
  CImageMenu* tools = commands.Popup(2);
  tools->popup(window.mapToGlobal(QPoint(60, 30)));
  (void)QTest::qWaitForWindowExposed(tools);
  ok &= Save(tools, out, QStringLiteral("menu-tools.png"));
  tools->hide();
  // The right-click menu of the first entry.
  QTreeView* list = window.ListDetails();
  list->setCurrentIndex(window.ListModel()->index(0, 0));
  list->selectionModel()->select(window.ListModel()->index(0, 0),
                                 QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  list->setFocus();
  session.state.treeHasFocus = 0;
  if (auto menu = commands.BuildContextMenu()) {
    menu->popup(window.mapToGlobal(QPoint(400, 200)));
    (void)QTest::qWaitForWindowExposed(menu.get());
    ok &= Save(menu.get(), out, QStringLiteral("menu-right-click.png"));
    menu->hide();
  }

  RecoverySettingsDialog settings(session.settings, &window);
  ok &= ShowAndSave(&settings, out, QStringLiteral("dialog-settings.png"));

  const std::vector<std::string> patterns = {"*.TXT", "README", "*.C"};
  FileFiltersDialog filters(patterns, &window);
  filters.Edit()->setText(QStringLiteral("*.SH"));
  ok &= ShowAndSave(&filters, out, QStringLiteral("dialog-file-filters.png"));

  FindFilesDialog find(session.fileTree, &window);
  find.show();
  (void)QTest::qWaitForWindowExposed(&find);
  find.Pattern()->setText(QStringLiteral("*.*"));
  find.StartSearch();
  (void)QTest::qWaitFor([&] { return !find.Searching(); });
  ok &= Save(&find, out, QStringLiteral("dialog-find-files.png"));
  find.hide();

  SavingDialog saving(&window);
  saving.Show({"/home/user/recovered/usr/lib", "libc.so.1", "212 of 1480", 37});
  saving.show();
  (void)QTest::qWaitForWindowExposed(&saving);
  QTest::qWait(150);
  ok &= Save(&saving, out, QStringLiteral("dialog-saving.png"));
  saving.Finish();

  RestoreCompressedDialog restore(&window);
  restore.Finish(QStringLiteral("12 files examined, 3 restored, 1 damaged, 0 failed"));
  restore.show();
  (void)QTest::qWaitForWindowExposed(&restore);
  ok &= Save(&restore, out, QStringLiteral("dialog-restore.png"));
  QTimer::singleShot(0, &restore, [&] { restore.FinishButton()->click(); });
  restore.hide();

  const FolderTotals totals = CountFolderTotals(session.fileTree, 2);
  PropertiesFields fields;
  fields.name = session.volumes.Current().volumeName;
  fields.size = FolderSizeText(totals);
  fields.contents = ContentsText(totals);
  fields.date = "07-Dec-2006";
  fields.time = "09:05:00";
  // The inode's words as a read gives them (this thread may not read).
  InodeFacts facts;
  facts.mode = 040755;
  facts.nlink = 5;
  facts.atime = facts.mtime = facts.ctime = 1165482300;
  for (const CaptionedValue& row : EntryDetailFields(2, facts, nullptr)) {
    fields.details.push_back({std::string(row.caption), row.value});
  }
  PropertiesDialog properties(fields, &window);
  ok &= ShowAndSave(&properties, out, QStringLiteral("dialog-properties.png"));

  PropertiesFields file;
  file.name = "notes.txt";
  file.size = FileSizeText(11);
  file.date = "07-Dec-2006";
  file.time = "09:05:00";
  facts.mode = 0100644;
  facts.uid = 104;
  facts.gid = 50;
  facts.nlink = 1;
  const FileDigests digests{"af94040caa54ae89a0460096007629185ce8d17256b0ba0ed7691ef4500449bf",
                            "3daf9071f85296467f9669febf63b349"};
  for (const CaptionedValue& row : EntryDetailFields(41, facts, &digests)) {
    file.details.push_back({std::string(row.caption), row.value});
  }
  PropertiesDialog fileProperties(file, &window);
  ok &= ShowAndSave(&fileProperties, out, QStringLiteral("dialog-properties-file.png"));

  OpenImageDialog openImage({"/cases/vm-extents"}, &window);
  qobject_cast<QLineEdit*>(openImage.Control(OpenImageDialog::kImageId))
      ->setText(QStringLiteral("/cases/drive.img"));
  qobject_cast<QLineEdit*>(openImage.Control(OpenImageDialog::kMapfileId))
      ->setText(QStringLiteral("/cases/drive.map"));
  ok &= ShowAndSave(&openImage, out, QStringLiteral("dialog-open-image.png"));

  const auto texts = DriveInformationFields(
      DescribeDrive(session.volumes.Current(), session.fileTree, session.state.recoveryMode));
  std::array<DriveField, 8> drive;
  for (std::size_t i = 0; i < drive.size(); ++i) drive[i] = {texts[i].caption, texts[i].value};
  DriveInformationDialog information(drive, &window);
  ok &= ShowAndSave(&information, out, QStringLiteral("dialog-drive-information.png"));

  AboutDialog about(&window);
  ok &= ShowAndSave(&about, out, QStringLiteral("dialog-about.png"));

  AppChooserDialog chooser(
      QStringLiteral("/tmp/notes.txt"),
      {{QStringLiteral("a.desktop"), QStringLiteral("Text Editor"), QStringLiteral("gedit %U")},
       {QStringLiteral("b.desktop"), QStringLiteral("Vim"), QStringLiteral("vim %F")}},
      &window);
  ok &= ShowAndSave(&chooser, out, QStringLiteral("dialog-open-with.png"));
  return ok ? 0 : 1;
}
