// Walks the wizard over a disk image and saves a picture of each step, for
// the documentation: gui_screenshots IMAGE OUTPUT_DIR
#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QRadioButton>
#include <QScreen>
#include <QTextStream>
#include <QTreeView>
#include <cstdio>

#include "app/session.hpp"
#include "gui/commands/wizard_commands.hpp"
#include "gui/controls/html_tooltip.hpp"
#include "gui/controls/message_box.hpp"
#include "gui/window/drive_sources.hpp"
#include "gui/window/recovery_mode_dialog.hpp"
#include "tests/gui/gated_source.hpp"
#include "tests/gui/wizard_driver.hpp"

using namespace tolvar;
using namespace tolvar::gui;
using namespace tolvar::gui::testing;

namespace {

bool Save(QWidget* widget, const QDir& dir, const QString& name) {
  QCoreApplication::processEvents();
  const QString path = dir.filePath(name);
  if (!widget->grab().save(path)) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return false;
  }
  std::printf("%s\n", qPrintable(path));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: gui_screenshots IMAGE OUTPUT_DIR\n");
    return 2;
  }
  // TOLVAR_ICON_THEME pictures the window under a desktop icon theme.
  if (qEnvironmentVariableIsSet("TOLVAR_ICON_THEME")) {
    QIcon::setThemeName(qEnvironmentVariable("TOLVAR_ICON_THEME"));
  }
  const QDir out(QString::fromLocal8Bit(argv[2]));
  QDir().mkpath(out.path());

  // The image is served through a gate, so the search can be pictured while
  // it runs.
  auto image = OpenImageFile(argv[1]);
  if (!image) return 1;
  auto gated = std::make_shared<GatedSource>(std::move(*image));
  Session session;
  session.drives.EnumerateDrives(MakeFixedProvider({gated}));
  DriveSources sources(DriveSources::Options{});
  CRecoveryWizardDlg window(session, sources);
  WizardCommands commands(window);
  window.SetDocumentOpener([](std::string_view) {});
  window.SetMessageAnswerer([](std::string_view text, MessageKind, bool) {
    std::fprintf(stderr, "message: %.*s\n", static_cast<int>(text.size()), text.data());
    return Answer::kNo;
  });
  window.Initialise(QDir::currentPath().toStdString());
  window.show();
  if (!QTest::qWaitForWindowExposed(&window)) return 1;

  bool ok = true;
  ClickItem(window.Tree(TreeKind::kDisk),
            FindItem(window.Tree(TreeKind::kDisk), "Storage Device0"));
  ok &= Save(&window, out, QStringLiteral("1-disk.png"));
  // The whole screen: the frame and where the window sits on it.
  QCoreApplication::processEvents();
  ok &= window.screen()->grabWindow(0).save(out.filePath(QStringLiteral("screen-1-disk.png")));

  Click(window.Control(WindowControl::kSearchPartition));
  ok &= Save(&window, out, QStringLiteral("1-disk-search-range.png"));
  Click(window.Control(WindowControl::kUsePartitionTable));

  gated->HoldAtRead(12);
  Click(window.Control(WindowControl::kNext));
  if (WaitFor([&] { return gated->Held(); }, 10000)) {
    WaitFor([] { return false; }, 300);  // the queued updates land
    ok &= Save(&window, out, QStringLiteral("1-searching.png"));
  }
  gated->Release();
  if (!WaitForStep(window, WizardStep::kVolume)) return 1;
  CFolderTreeCtrl* volumes = window.Tree(TreeKind::kVolume);
  QTreeWidgetItem* root = volumes->Root();
  if (root == nullptr || root->childCount() == 0) return 1;
  ClickItem(volumes, root->child(0));
  ok &= Save(&window, out, QStringLiteral("2-volume.png"));

  CRecoveryModeDialog* mode = window.ModeDialog();
  mode->Reset();
  mode->show();
  ok &= QTest::qWaitForWindowExposed(mode);
  ok &= Save(mode, out, QStringLiteral("2-recovery-mode.png"));
  mode->hide();

  window.SetModeAnswerer([] { return RecoveryMode::kNormal; });
  Click(window.Control(WindowControl::kNext));
  if (!WaitForStep(window, WizardStep::kFiles)) return 1;
  CFolderTreeCtrl* files = window.Tree(TreeKind::kFile);
  if (files != nullptr && files->Root() != nullptr && files->Root()->childCount() > 0) {
    files->expandAll();
    ClickItem(files, files->Root()->child(0));
    QCoreApplication::processEvents();
  }
  ok &= Save(&window, out, QStringLiteral("3-files.png"));
  // Every row selected, in the palette's highlight; then the Icons view.
  QTreeView* list = window.ListDetails();
  list->setFocus();
  list->selectAll();
  list->selectionModel()->select(list->model()->index(0, 0),
                                 QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
  ok &= Save(&window, out, QStringLiteral("3-files-selected.png"));
  list->clearSelection();
  window.Controller().SetListViewMode(ListViewMode::kIcons);
  QCoreApplication::processEvents();
  ok &= Save(&window, out, QStringLiteral("3-files-icons.png"));
  window.Controller().SetListViewMode(ListViewMode::kDetails);

  QWidget* help = window.Control(WindowControl::kIdentifyHelp);
  window.QuickHelpTooltip()->ShowFor(help, window.mapToGlobal(QPoint(40, 40)));
  ok &= Save(window.QuickHelpTooltip(), out, QStringLiteral("quick-help.png"));
  window.QuickHelpTooltip()->hide();

  const auto box =
      MakeMessageBox(&window, QStringLiteral("Do you want to stop the current process ?"),
                     QMessageBox::Question, QMessageBox::Yes | QMessageBox::No);
  box->show();
  ok &= QTest::qWaitForWindowExposed(box.get());
  ok &= Save(box.get(), out, QStringLiteral("message-box.png"));
  box->hide();
  return ok ? 0 : 1;
}
