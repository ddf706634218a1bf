// Walks the wizard over a disk image and saves a picture of each step, for
// the documentation: gui_screenshots IMAGE OUTPUT_DIR
#include <QApplication>
#include <QDir>
#include <QRadioButton>
#include <QTextStream>
#include <cstdio>

#include "app/session.hpp"
#include "gui/controls/html_tooltip.hpp"
#include "gui/window/drive_sources.hpp"
#include "gui/window/recovery_mode_dialog.hpp"
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
  const QDir out(QString::fromLocal8Bit(argv[2]));
  QDir().mkpath(out.path());

  Session session;
  DriveSources::Options options;
  options.images = {argv[1]};
  DriveSources sources(options);
  if (!sources.Enumerate(session.drives)) return 1;
  CRecoveryWizardDlg window(session, sources);
  window.SetDocumentOpener([](std::string_view) {});
  window.SetMessageAnswerer([](std::string_view text, MessageKind, bool) {
    std::fprintf(stderr, "message: %.*s\n", static_cast<int>(text.size()), text.data());
    return Answer::kNo;
  });
  window.Initialise(QDir::currentPath().toStdString());
  window.show();
  if (!QTest::qWaitForWindowExposed(&window)) return 1;

  bool ok = true;
  ClickItem(window.Tree(TreeKind::kDisk), FindItem(window.Tree(TreeKind::kDisk), "Storage Device0"));
  ok &= Save(&window, out, QStringLiteral("1-disk.png"));

  Click(window.Control(ControlId::kSearchPartition));
  ok &= Save(&window, out, QStringLiteral("1-disk-search-range.png"));
  Click(window.Control(ControlId::kUsePartitionTable));

  Click(window.Control(ControlId::kNext));
  if (!WaitForStep(window, 1)) return 1;
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
  Click(window.Control(ControlId::kNext));
  if (!WaitForStep(window, 2)) return 1;
  CFolderTreeCtrl* files = window.Tree(TreeKind::kFile);
  if (files != nullptr && files->Root() != nullptr && files->Root()->childCount() > 0) {
    files->expandAll();
    ClickItem(files, files->Root()->child(0));
    QCoreApplication::processEvents();
  }
  ok &= Save(&window, out, QStringLiteral("3-files.png"));

  QWidget* help = window.Control(ControlId::kIdentifyHelp);
  window.QuickHelpTooltip()->ShowFor(help, window.mapToGlobal(QPoint(40, 40)));
  ok &= Save(window.QuickHelpTooltip(), out, QStringLiteral("quick-help.png"));
  return ok ? 0 : 1;
}
