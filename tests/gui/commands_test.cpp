// The window's commands over a built disk on the offscreen platform: menu
// states per step, tool buttons while greyed, the right-click menu's
// greying, Rename, Enter, Esc and F2, Open, help, find and Recover All.
#include <QAbstractItemModel>
#include <QAbstractItemView>
#include <QAccessible>
#include <QApplication>
#include <QLineEdit>
#include <QMap>
#include <QMenu>
#include <QMenuBar>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/session.hpp"
#include "gui/commands/open_with.hpp"
#include "gui/commands/wizard_commands.hpp"
#include "gui/controls/image_button.hpp"
#include "gui/controls/image_menu.hpp"
#include "gui/dialogs/find_files_dialog.hpp"
#include "gui/dialogs/info_dialogs.hpp"
#include "gui/window/drive_sources.hpp"
#include "imagekit/image_builder.hpp"
#include "tests/gui/wizard_driver.hpp"
#include "tests/support/temp_dir.hpp"

using namespace tolvar;
using namespace tolvar::gui;
using namespace tolvar::gui::testing;
using commands::Command;
using imagekit::Node;

namespace {

struct Rig {
  explicit Rig(const std::string& image, const std::string& mapfile = {})
      : sources(Options(image, mapfile)) {
    if (!sources.Enumerate(session.drives, &session.rescueMaps)) qFatal("cannot list the drives");
    window = std::make_unique<CRecoveryWizardDlg>(session, sources);
    auto answerer = [this](std::string_view text, MessageKind, bool) {
      messages.emplace_back(text);
      return answer;
    };
    window->SetMessageAnswerer(answerer);
    window->SetModeAnswerer([] { return RecoveryMode::kNormal; });
    window->SetDocumentOpener([this](std::string_view address) { opened.emplace_back(address); });
    window->SetProcessEnder([] {});
    window->SetRunsAsRoot(false);  // the tests may run as root
    commands = std::make_unique<WizardCommands>(*window);
    commands->SetMessageAnswerer(answerer);
    window->Initialise("/tmp");
    window->show();
    if (!QTest::qWaitForWindowExposed(window.get())) qFatal("window not shown");
  }
  static DriveSources::Options Options(const std::string& image, const std::string& mapfile) {
    DriveSources::Options options;
    options.images = {image};
    options.mapfile = mapfile;
    return options;
  }

  void ToFilesStep() {
    CFolderTreeCtrl* disks = window->Tree(TreeKind::kDisk);
    ClickItem(disks, FindItem(disks, QStringLiteral("Storage Device0")));
    Click(window->Control(WindowControl::kNext));
    if (!WaitForStep(*window, WizardStep::kVolume)) qFatal("no volume step");
    ClickItem(window->Tree(TreeKind::kVolume), TopItem(window->Tree(TreeKind::kVolume), 0));
    Click(window->Control(WindowControl::kNext));
    if (!WaitForStep(*window, WizardStep::kFiles)) qFatal("no files step");
  }

  bool Enabled(Command command) const { return window->MenuCommandEnabled(command); }
  QTreeView* List() const { return window->ListDetails(); }
  int RowNamed(const QString& name) const {
    QAbstractItemModel* model = window->ListModel();
    for (int row = 0; row < model->rowCount(); ++row) {
      if (model->index(row, 0).data().toString() == name) return row;
    }
    return -1;
  }
  // Clicks the row as a user does: the list takes the focus.
  void SelectRow(const QString& name) {
    const int row = RowNamed(name);
    if (row < 0) qFatal("no row %s", qPrintable(name));
    const QRect rect = List()->visualRect(window->ListModel()->index(row, 0));
    QTest::mouseClick(List()->viewport(), Qt::LeftButton, {}, rect.center());
  }
  QLineEdit* Editor() const { return List()->viewport()->findChild<QLineEdit*>(); }

  Session session;
  DriveSources sources;
  std::unique_ptr<CRecoveryWizardDlg> window;
  std::unique_ptr<WizardCommands> commands;
  std::vector<std::string> messages;
  std::vector<std::string> opened;
  Answer answer = Answer::kNo;
};

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

}  // namespace

class CommandsTest : public QObject {
  Q_OBJECT

 private:
  tolvar::testing::TempDir dir_;
  std::string image_;

 private slots:
  void initTestCase() {
    setenv("TZ", "UTC", 1);
    imagekit::DiskDescription disk;
    imagekit::VolumeDescription volume;
    volume.fs = imagekit::FsKind::kHtfs;
    volume.fname = "data";
    Node sub = Node::Folder("sub", {Node::File("deep.c", "int x;\n")});
    volume.root = Node::Folder(
        "", {Node::Folder("docs", {Node::File("notes.txt", "some notes\n"), std::move(sub)}),
             Node::File("README", "read me\n")});
    disk.volumes.push_back(std::move(volume));
    image_ = (dir_ / "disk.img").string();
    if (!imagekit::BuildImage(disk, image_)) qFatal("cannot build the disk");
  }

  void MenuBarAndStatesPerStep() {
    Rig rig(image_);
    QCOMPARE(rig.commands->MenuBar()->actions().size(), 4);
    QCOMPARE(rig.commands->Popup(3)->title(), QStringLiteral("&Help"));
    QCOMPARE(CImageMenu::CommandIdOf(rig.commands->Action(Command::kAbout)),
             static_cast<int>(Command::kAbout));
    const Command greyable[] = {Command::kRecoverSelected, Command::kRecoverAll,
                                Command::kIcons,           Command::kList,
                                Command::kDetails,         Command::kFindFiles,
                                Command::kFileFilters,     Command::kDriveInformation};
    const Command always[] = {Command::kExit, Command::kLiveUpdate, Command::kContents,
                              Command::kBuyOnline, Command::kAbout};
    auto check = [&](bool greyableOn, bool settingsOn) {
      for (const Command c : greyable) {
        QCOMPARE(rig.Enabled(c), greyableOn);
        QCOMPARE(rig.commands->Action(c)->isEnabled(), greyableOn);
      }
      for (const Command c : always) QVERIFY(rig.commands->Action(c)->isEnabled());
      QCOMPARE(rig.Enabled(Command::kSettings), settingsOn);
    };
    check(false, true);  // state 0
    CFolderTreeCtrl* disks = rig.window->Tree(TreeKind::kDisk);
    ClickItem(disks, FindItem(disks, QStringLiteral("Storage Device0")));
    Click(rig.window->Control(WindowControl::kNext));
    QVERIFY(WaitForStep(*rig.window, WizardStep::kVolume));
    check(false, true);  // state 1
    ClickItem(rig.window->Tree(TreeKind::kVolume), TopItem(rig.window->Tree(TreeKind::kVolume), 0));
    Click(rig.window->Control(WindowControl::kNext));
    QVERIFY(WaitForStep(*rig.window, WizardStep::kFiles));
    check(true, true);  // state 3
    Click(rig.window->Control(WindowControl::kBack));
    QVERIFY(WaitForStep(*rig.window, WizardStep::kVolume));
    Click(rig.window->Control(WindowControl::kBack));
    QVERIFY(WaitForStep(*rig.window, WizardStep::kDisk));
    check(false, true);  // state 4
  }

  void ToolButtonsActOnlyWhileTheirCommandIsEnabled() {
    Rig rig(image_);
    int destinationAsked = 0;
    rig.commands->SetDestinationChooser([&]() -> std::optional<QString> {
      ++destinationAsked;
      return std::nullopt;
    });
    QVERIFY(rig.commands->ToolButton(Command::kRecoverSelected)->isVisible());
    QVERIFY(!rig.commands->ToolButton(Command::kSaveSnapshot)->isVisible());
    Click(rig.commands->ToolButton(Command::kRecoverAll));  // Recover All, greyed at step 0
    rig.commands->Run(Command::kRecoverSelected);
    QCOMPARE(destinationAsked, 0);
    QVERIFY(rig.messages.empty());
    Click(rig.commands->ToolButton(Command::kLiveUpdate));  // Live Update acts at every step
    QCOMPARE(rig.opened, std::vector<std::string>{std::string(commands::kReleasesPage)});
    rig.ToFilesStep();
    Click(rig.commands->ToolButton(Command::kRecoverAll));
    QCOMPARE(destinationAsked, 1);
  }

  void RightClickMenuGreysOpenWithOnFolders() {
    Rig rig(image_);
    QVERIFY(rig.commands->BuildContextMenu() == nullptr);  // not at step 0
    rig.ToFilesStep();
    auto openWith = [](QMenu& menu) {
      for (QAction* action : menu.actions()) {
        if (action->text() == QStringLiteral("Open &With...")) return action;
      }
      return static_cast<QAction*>(nullptr);
    };
    rig.SelectRow(QStringLiteral("docs"));
    auto menu = rig.commands->BuildContextMenu();
    QVERIFY(menu != nullptr);
    QVERIFY(!openWith(*menu)->isEnabled());
    QCOMPARE(menu->actions().size(), 15);  // the View popup is one entry
    rig.SelectRow(QStringLiteral("README"));
    menu = rig.commands->BuildContextMenu();
    QVERIFY(openWith(*menu)->isEnabled());
    rig.session.state.treeHasFocus = 1;
    QVERIFY(rig.commands->BuildContextMenu() == nullptr);
  }

  // While the right-click menu is open an assistive tool finds it: shown,
  // named, with its commands as children, the one the arrow keys move to
  // marked focused, and its way back up to the application.
  void RightClickMenuIsExposedWhileOpen() {
    Rig rig(image_);
    rig.ToFilesStep();
    rig.SelectRow(QStringLiteral("README"));
    QAccessible::setActive(true);
    bool open = false;
    QString focused;
    bool reachesApplication = false;
    bool shown = false;
    QString name;
    QStringList items;
    QTimer::singleShot(0, [&] {
      auto* popup = qobject_cast<QMenu*>(QApplication::activePopupWidget());
      open = popup != nullptr;
      if (open) QTest::keyClick(popup, Qt::Key_Down);
      QAccessibleInterface* menu = QAccessible::queryAccessibleInterface(popup);
      if (menu != nullptr && menu->role() == QAccessible::PopupMenu) {
        name = menu->text(QAccessible::Name);
        shown = !menu->state().invisible;
        for (int i = 0; i < menu->childCount(); ++i) {
          QAccessibleInterface* item = menu->child(i);
          items << item->text(QAccessible::Name);
          if (item->state().focused) focused = item->text(QAccessible::Name);
        }
        for (QAccessibleInterface* up = menu->parent(); up != nullptr; up = up->parent()) {
          if (up->role() == QAccessible::Application) {
            reachesApplication = true;
            break;
          }
        }
      }
      if (popup != nullptr) popup->close();
    });
    const QRect rect = rig.List()->visualRect(rig.window->ListModel()->index(0, 0));
    QContextMenuEvent event(QContextMenuEvent::Mouse, rect.center(),
                            rig.List()->viewport()->mapToGlobal(rect.center()));
    QApplication::sendEvent(rig.List()->viewport(), &event);

    QVERIFY(open);
    QCOMPARE(focused, QStringLiteral("Open"));
    QCOMPARE(name, QStringLiteral("Entry commands"));
    QVERIFY(shown);
    QVERIFY2(
        items.contains(QStringLiteral("Open")) && items.contains(QStringLiteral("Properties...")),
        qPrintable(items.join(u'|')));
    QVERIFY(reachesApplication);
    QCOMPARE(QApplication::activePopupWidget(), nullptr);
  }

  void RenameKeepsTheOldNameOnEmptyAndRenamesFoldersInTheTree() {
    Rig rig(image_);
    rig.ToFilesStep();
    rig.SelectRow(QStringLiteral("README"));
    QTest::keyClick(rig.List(), Qt::Key_F2);
    QVERIFY(rig.Editor() != nullptr);
    QCOMPARE(rig.session.state.renaming, 1);
    rig.Editor()->clear();
    QTest::keyClick(rig.Editor(), Qt::Key_Return);
    QTRY_COMPARE(rig.session.state.renaming, 0);
    QVERIFY(rig.RowNamed(QStringLiteral("README")) >= 0);

    rig.SelectRow(QStringLiteral("README"));
    rig.commands->Rename();
    QVERIFY(rig.Editor() != nullptr);
    rig.Editor()->setText(QString(300, QLatin1Char('r')));
    QTest::keyClick(rig.Editor(), Qt::Key_Return);
    QTRY_COMPARE(rig.session.state.renaming, 0);
    bool renamedRecord = false;
    for (const FileNode& file : rig.session.fileTree.Files()) {
      renamedRecord |= file.name == std::string(255, 'r');
    }
    QVERIFY(renamedRecord);
    QVERIFY(rig.RowNamed(QString(255, QLatin1Char('r'))) >= 0);

    rig.SelectRow(QStringLiteral("docs"));
    rig.commands->Rename();
    rig.Editor()->setText(QStringLiteral("papers"));
    QTest::keyClick(rig.Editor(), Qt::Key_Return);
    QTRY_COMPARE(rig.session.state.renaming, 0);
    QVERIFY(FindItem(rig.window->Tree(TreeKind::kFile), QStringLiteral("papers")).isValid());
    QVERIFY(rig.session.fileTree.Folders()[0].name == "papers" ||
            rig.session.fileTree.Folders()[1].name == "papers");

    // Esc in the editor cancels; F2 with the tree focused does nothing.
    rig.SelectRow(QStringLiteral("papers"));
    QTest::keyClick(rig.List(), Qt::Key_F2);
    QVERIFY(rig.Editor() != nullptr);
    QTest::keyClick(rig.Editor(), Qt::Key_Escape);
    QTRY_COMPARE(rig.session.state.renaming, 0);
    QVERIFY(rig.window->isVisible());
    rig.session.state.treeHasFocus = 1;
    QTest::keyClick(rig.List(), Qt::Key_F2);
    QCOMPARE(rig.session.state.renaming, 0);
  }

  void EnterOpensAFolderAndEscNeverCloses() {
    Rig rig(image_);
    rig.ToFilesStep();
    rig.SelectRow(QStringLiteral("docs"));
    QTest::keyClick(rig.List(), Qt::Key_Return);
    QCOMPARE(rig.session.state.treeHasFocus, 1);
    QVERIFY(rig.RowNamed(QStringLiteral("notes.txt")) >= 0);
    CFolderTreeCtrl* tree = rig.window->Tree(TreeKind::kFile);
    const QModelIndex current = tree->currentIndex();
    QVERIFY(current.isValid());
    QCOMPARE(current.data().toString(), QStringLiteral("docs"));
    QVERIFY(tree->isExpanded(current.parent()));
    QTest::keyClick(rig.window.get(), Qt::Key_Escape);
    QTest::keyClick(rig.List(), Qt::Key_Escape);
    QVERIFY(rig.window->isVisible());
    // Tab moves between the list and the tree.
    rig.List()->setFocus();
    rig.session.state.treeHasFocus = 0;
    QTest::keyClick(rig.List(), Qt::Key_Tab);
    QCOMPARE(rig.session.state.treeHasFocus, 1);
  }

  void OpenCopiesTheFileOutAndHandsItToTheDesktop() {
    Rig rig(image_);
    rig.ToFilesStep();
    rig.SelectRow(QStringLiteral("README"));
    rig.commands->Run(Command::kContextOpen);
    QVERIFY(QTest::qWaitFor([&] { return !rig.opened.empty(); }));
    QCOMPARE(rig.opened.size(), std::size_t{1});
    const QUrl url(QString::fromStdString(rig.opened.front()));
    QVERIFY(url.isLocalFile());
    QVERIFY(url.toLocalFile().startsWith(rig.commands->TemporaryFolder()));
    QCOMPARE(Slurp(url.toLocalFile().toStdString()), std::string("read me\n"));
  }

  void HelpContentsWithoutTheManualNamesIt() {
    Rig rig(image_);
    rig.commands->SetManualPath(QStringLiteral("/nonexistent/manual/index.html"));
    QTest::keyClick(rig.window.get(), Qt::Key_F1);
    QCOMPARE(rig.messages, std::vector<std::string>{" /nonexistent/manual/index.html not found"});
    rig.commands->Run(Command::kBuyOnline);
    QCOMPARE(rig.opened.back(), std::string(commands::kHomePage));
  }

  void OpenWithListsTheDesktopsApplicationsAndRunsTheChosenCommand() {
    // A desktop of our own: two entries for text/plain, one removed, one hidden.
    const auto apps = dir_ / "share" / "applications";
    std::filesystem::create_directories(apps);
    auto write = [](const std::filesystem::path& path, const std::string& text) {
      std::ofstream(path) << text;
    };
    write(apps / "editor.desktop",
          "[Desktop Entry]\nType=Application\nName=Editor\nName[de]=Bearbeiter\nExec=editor --new "
          "%F\n");
    write(apps / "viewer.desktop",
          "[Desktop Entry]\nType=Application\nName=Viewer\nExec=viewer %u\n");
    write(apps / "gone.desktop", "[Desktop Entry]\nType=Application\nName=Gone\nExec=gone\n");
    write(apps / "secret.desktop",
          "[Desktop Entry]\nType=Application\nName=Secret\nHidden=true\nExec=s\n");
    write(apps / "mimeinfo.cache",
          "[MIME Cache]\ntext/plain=viewer.desktop;gone.desktop;secret.desktop;editor.desktop;\n");
    const auto config = dir_ / "config";
    std::filesystem::create_directories(config);
    write(config / "mimeapps.list",
          "[Default Applications]\ntext/plain=editor.desktop\n[Removed "
          "Associations]\ntext/plain=gone.desktop;\n");
    DesktopDirs dirs;
    dirs.applications = {QString::fromStdString(apps.string())};
    dirs.config = {QString::fromStdString(config.string())};
    const std::vector<DesktopApp> found = AppsForMimeTypes({QStringLiteral("text/plain")}, dirs);
    QCOMPARE(found.size(), std::size_t{2});
    QCOMPARE(found[0].name, QStringLiteral("Editor"));  // the default comes first
    QCOMPARE(found[1].name, QStringLiteral("Viewer"));
    QCOMPARE(CommandForFile(found[0].exec, QStringLiteral("/t/a b.txt")),
             QStringList({QStringLiteral("editor"), QStringLiteral("--new"),
                          QStringLiteral("/t/a b.txt")}));
    QCOMPARE(CommandForFile(QStringLiteral("less"), QStringLiteral("/t/x")),
             QStringList({QStringLiteral("less"), QStringLiteral("/t/x")}));
    QCOMPARE(CommandForFile(QStringLiteral("sh -c \"cat %f\" 100%%"), QStringLiteral("/t/x")),
             QStringList({QStringLiteral("sh"), QStringLiteral("-c"), QStringLiteral("cat /t/x"),
                          QStringLiteral("100%")}));

    // Open With on a file: our chooser (no portal in the test), a typed command.
    Rig rig(image_);
    rig.ToFilesStep();
    QStringList launched;
    rig.commands->SetLauncher([&](const QStringList& command) { launched = command; });
    rig.commands->SetDialogDriver([](QDialog& dialog) {
      auto* chooser = qobject_cast<AppChooserDialog*>(&dialog);
      QVERIFY(chooser != nullptr);
      chooser->CommandField()->setText(QStringLiteral("cat"));
      chooser->accept();
    });
    rig.SelectRow(QStringLiteral("README"));
    rig.commands->Run(Command::kContextOpenWith);
    // The copy is made by the controller's worker behind the saving dialog;
    // the chooser comes once it has ended.
    QVERIFY(rig.window->OpenSaving() != nullptr);
    QVERIFY(QTest::qWaitFor([&] { return !launched.isEmpty(); }));
    QVERIFY(rig.window->OpenSaving() == nullptr || !rig.window->OpenSaving()->isVisible());
    QCOMPARE(launched.size(), 2);
    QCOMPARE(launched.front(), QStringLiteral("cat"));
    QCOMPARE(Slurp(launched.back().toStdString()), std::string("read me\n"));
    QCOMPARE(rig.session.state.openWith, 1);
  }

  void AFoundFileIsShownInTheWindow() {
    Rig rig(image_);
    rig.ToFilesStep();
    rig.commands->SetDialogDriver([](QDialog& dialog) {
      auto* find = qobject_cast<FindFilesDialog*>(&dialog);
      if (find == nullptr) return;
      find->Pattern()->setText(QStringLiteral("deep"));
      find->StartSearch();
      QVERIFY(QTest::qWaitFor([&] { return !find->Searching(); }));
      QCOMPARE(find->Hits()->topLevelItemCount(), 1);
      QCOMPARE(find->Hits()->topLevelItem(0)->text(1), QStringLiteral("\\docs\\sub"));
      emit find->Hits()->itemDoubleClicked(find->Hits()->topLevelItem(0), 0);
    });
    rig.commands->Run(Command::kFindFiles);
    const int row = rig.RowNamed(QStringLiteral("deep.c"));
    QVERIFY(row >= 0);
    QCOMPARE(rig.List()->currentIndex().row(), row);
    QCOMPARE(rig.window->Tree(TreeKind::kFile)->currentIndex().data().toString(),
             QStringLiteral("sub"));
  }

  void RecoverAllWritesTheTreeAndReportsIt() {
    Rig rig(image_);
    rig.ToFilesStep();
    const QString out = QString::fromStdString((dir_ / "out").string());
    rig.commands->SetDestinationChooser([out]() -> std::optional<QString> { return out; });
    rig.commands->SetDialogDriver([](QDialog&) {});  // no summary box
    rig.commands->Run(Command::kRecoverAll);
    QVERIFY(rig.window->Controller().WorkerRunning());
    QVERIFY(QTest::qWaitFor([&] { return rig.commands->SavingsEnded() == 1; }));
    QVERIFY(!rig.window->Controller().WorkerRunning());
    const SavingOutcome& outcome = rig.commands->LastSaving();
    QVERIFY(outcome.started);
    QVERIFY(!outcome.reportPath.empty());
    QCOMPARE(Slurp((out + QStringLiteral("/docs/sub/deep.c")).toStdString()),
             std::string("int x;\n"));
    QVERIFY(QString::fromStdString(outcome.summaryLine).contains(QStringLiteral("3 files")));
    QCOMPARE(outcome.written.count, std::uint64_t{3});
    QVERIFY(SavingSummaryText(outcome).contains(QStringLiteral("are in the report")));

    // Properties now gives each file's words and the digests of its copy,
    // and a folder's words alone; read as assistive tools read them.
    const auto propertiesOf = [&rig](const QString& name) {
      QMap<QString, QString> shown;
      rig.commands->SetDialogDriver([&shown](QDialog& dialog) {
        auto& properties = static_cast<PropertiesDialog&>(dialog);
        QVERIFY(QTest::qWaitFor([&] { return properties.DetailsRead(); }));
        for (int i = 0;; ++i) {
          QWidget* value = properties.Control(PropertiesDialog::kFirstDetailValueId + i);
          if (value == nullptr) break;
          QAccessibleInterface* face = QAccessible::queryAccessibleInterface(value);
          const auto labels = face->relations(QAccessible::Label);
          if (labels.isEmpty()) break;
          shown[labels.front().first->text(QAccessible::Name)] = face->text(QAccessible::Name);
        }
        dialog.accept();
      });
      rig.SelectRow(name);
      rig.commands->Run(Command::kContextProperties);
      return shown;
    };
    const QMap<QString, QString> folder = propertiesOf(QStringLiteral("docs"));
    QVERIFY(folder.value(QStringLiteral("Mode")).startsWith(QLatin1Char('d')));
    QVERIFY(!folder.contains(QStringLiteral("SHA-256")));
    rig.SelectRow(QStringLiteral("docs"));
    rig.commands->Open(false);
    const QMap<QString, QString> file = propertiesOf(QStringLiteral("notes.txt"));
    struct Expected {
      const char* caption;
      const char* value;
    };
    for (const Expected& row : {
             Expected{"SHA-256",
                      "af94040caa54ae89a0460096007629185ce8d17256b0ba0ed7691ef4500449bf"},
             Expected{"MD5", "3daf9071f85296467f9669febf63b349"},
             Expected{"Links", "1"},
         }) {
      QCOMPARE(file.value(QString::fromLatin1(row.caption)), QString::fromLatin1(row.value));
    }
    QVERIFY(file.value(QStringLiteral("Mode")).startsWith(QLatin1Char('-')));
    QVERIFY(file.value(QStringLiteral("Modified")).endsWith(QLatin1Char('Z')));
  }

  void TheReportNamesTheMapfileTheImageWasReadThrough() {
    const std::string map = (dir_ / "disk.map").string();
    std::ofstream(map) << "0 +\n0 " << std::filesystem::file_size(image_) << " +\n";
    Rig rig(image_, map);
    rig.ToFilesStep();
    const QString out = QString::fromStdString((dir_ / "mapped-out").string());
    rig.commands->SetDestinationChooser([out]() -> std::optional<QString> { return out; });
    rig.commands->SetDialogDriver([](QDialog&) {});  // no summary box
    rig.commands->Run(Command::kRecoverAll);
    QVERIFY(QTest::qWaitFor([&] { return rig.commands->SavingsEnded() == 1; }));
    QVERIFY(rig.commands->LastSaving().started);
    const std::string report = Slurp((out + QStringLiteral("/tolvar-report.json")).toStdString());
    QVERIFY2(report.find("\"mapfile\": \"" + map + "\"") != std::string::npos, report.c_str());
  }
};

QTEST_MAIN(CommandsTest)
#include "commands_test.moc"
