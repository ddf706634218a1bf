// The wizard window over built disk images, driven through its widgets on
// the offscreen platform: the three steps both ways, Stop during a mount,
// every message of the disk step, closing, drives added later, and the names
// assistive tools read.
#include <fmt/format.h>
#include <unistd.h>

#include <QAbstractItemModel>
#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QDropEvent>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QRadioButton>
#include <QScreen>
#include <QTimer>
#include <QTreeView>
#include <QUrl>
#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>

#include "app/session.hpp"
#include "gui/controls/folder_tree_ctrl.hpp"
#include "gui/controls/html_tooltip.hpp"
#include "gui/dialogs/find_files_dialog.hpp"
#include "gui/dialogs/info_dialogs.hpp"
#include "gui/dialogs/recovery_settings_dialog.hpp"
#include "gui/window/drive_sources.hpp"
#include "gui/window/entry_list_model.hpp"
#include "gui/window/recovery_mode_dialog.hpp"
#include "imagekit/image_builder.hpp"
#include "tests/gui/gated_source.hpp"
#include "tests/gui/wizard_driver.hpp"
#include "tests/support/disk_builder.hpp"
#include "tests/support/temp_dir.hpp"

using namespace tolvar;
using namespace tolvar::gui;
using namespace tolvar::gui::testing;
using imagekit::Node;

namespace {

struct Message {
  std::string text;
  MessageKind kind;
  bool question;
};

// One window over one session, with the message boxes answered by the test.
struct Rig {
  explicit Rig(std::vector<std::string> images) : sources(Options(std::move(images))) {
    if (!sources.Enumerate(session.drives)) qFatal("cannot list the drives");
    Start();
  }
  explicit Rig(std::shared_ptr<BlockDeviceSource> drive) : sources(Options({})) {
    session.drives.EnumerateDrives(MakeFixedProvider({std::move(drive)}));
    Start();
  }

  static DriveSources::Options Options(std::vector<std::string> images) {
    DriveSources::Options options;
    options.images = std::move(images);
    return options;
  }

  void Start() {
    window = std::make_unique<CRecoveryWizardDlg>(session, sources);
    window->SetMessageAnswerer([this](std::string_view text, MessageKind kind, bool question) {
      messages.push_back({std::string(text), kind, question});
      return answer;
    });
    window->SetModeAnswerer([this] { return mode; });
    window->SetDocumentOpener([this](std::string_view address) { opened.emplace_back(address); });
    window->SetProcessEnder([this] { ended = true; });
    window->SetRunsAsRoot(false);  // the tests may run as root
    window->Initialise("/tmp");
    window->show();
    if (!QTest::qWaitForWindowExposed(window.get())) qFatal("window not shown");
  }

  CFolderTreeCtrl* Tree(TreeKind kind) const { return window->Tree(kind); }
  QWidget* Control(WindowControl id) const { return window->Control(id); }
  bool Visible(WindowControl id) const { return Control(id)->isVisible(); }

  void ChooseDrive(const QString& text = QStringLiteral("Storage Device0")) {
    ClickItem(Tree(TreeKind::kDisk), FindItem(Tree(TreeKind::kDisk), text));
  }
  void ChooseVolume(int index) {
    ClickItem(Tree(TreeKind::kVolume), TopItem(Tree(TreeKind::kVolume), index));
  }
  QString PanelValue(const QString& label) const {
    for (const auto& row : kPanelRowControls) {
      auto* labelWidget = qobject_cast<QLabel*>(Control(row.label));
      if (labelWidget->isVisible() && labelWidget->text().trimmed() == label) {
        return qobject_cast<QLabel*>(Control(row.value))->text();
      }
    }
    return QStringLiteral("<no row %1>").arg(label);
  }
  QStringList ListNames() const {
    QStringList names;
    QAbstractItemModel* model = window->ListModel();
    for (int row = 0; row < model->rowCount(); ++row)
      names << model->index(row, 0).data().toString();
    return names;
  }

  Session session;
  DriveSources sources;
  std::unique_ptr<CRecoveryWizardDlg> window;
  std::vector<Message> messages;
  std::vector<std::string> opened;
  Answer answer = Answer::kNo;
  std::optional<RecoveryMode> mode = RecoveryMode::kNormal;
  bool ended = false;
};

// / : docs/ (notes.txt, sub/ (deep.c)), zeta/, README, big.dat
Node SampleRoot() {
  Node sub = Node::Folder("sub", {Node::File("deep.c", "int x;\n")});
  Node docs = Node::Folder("docs", {Node::File("notes.txt", "some notes\n"), std::move(sub)});
  return Node::Folder("", {std::move(docs), Node::Folder("zeta"), Node::File("README", "read me\n"),
                           Node::Filled("big.dat", 70000, {})});
}

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private:
  tolvar::testing::TempDir dir_;
  std::string image_;
  imagekit::BuildReport report_;

  // A disk with an HTFS volume (the sample tree) and an EAFS volume behind
  // a partition record.
  std::string BuildSampleDisk() {
    imagekit::DiskDescription disk;
    imagekit::VolumeDescription htfs;
    htfs.fs = imagekit::FsKind::kHtfs;
    htfs.fname = "data";
    htfs.root = SampleRoot();
    imagekit::VolumeDescription eafs;
    eafs.fs = imagekit::FsKind::kEafs;
    eafs.root = Node::Folder("", {Node::File("profile", "PATH=/bin\n")});
    disk.volumes.push_back(std::move(htfs));
    disk.volumes.push_back(std::move(eafs));
    const std::string path = (dir_ / "sample.img").string();
    auto built = imagekit::BuildImage(disk, path);
    if (!built) qFatal("%s", built.error().message.c_str());
    report_ = *built;
    return path;
  }

  std::string WriteDisk(const tolvar::testing::DiskBuilder& builder, const std::string& name) {
    const auto path = dir_ / name;
    builder.WriteTo(path);
    return path.string();
  }

 private slots:
  void initTestCase() {
    setenv("TZ", "UTC", 1);
    image_ = BuildSampleDisk();
  }

  void WalksTheThreeStepsBothWaysInBothModes() {
    Rig rig({image_});
    QCOMPARE(rig.window->windowTitle(), QStringLiteral("Tolvar for SCO OpenServer (HTFS / EAFS)"));
    QCOMPARE(rig.Tree(TreeKind::kDisk)->Root().data().toString(), QStringLiteral("My Computer"));
    QCOMPARE(rig.Control(WindowControl::kNext)->toolTip(), QStringLiteral("Go to next step"));
    QCOMPARE(rig.Control(WindowControl::kBack)->toolTip(), QStringLiteral("Go to previous step"));
    QCOMPARE(rig.Control(WindowControl::kStop)->toolTip(),
             QStringLiteral("Stops the current process"));
    QCOMPARE(rig.Control(WindowControl::kHomePageLink)->toolTip(),
             QStringLiteral("Click here to visit software home page"));
    QVERIFY(rig.window->QuickHelpTooltip()
                ->MarkupFor(rig.Control(WindowControl::kRangeHelp))
                .contains(QStringLiteral("<h3>Scan Control</h3>")));
    Click(rig.Control(WindowControl::kHomePageLink));
    QCOMPARE(rig.opened.size(), std::size_t{1});
    rig.opened.clear();
    QCOMPARE(ChildTexts(rig.Tree(TreeKind::kDisk)->Root()), QStringList{"Storage Device0"});
    QVERIFY(!rig.Visible(WindowControl::kNext));
    QVERIFY(!rig.window->ListWidget()->isVisible());
    QVERIFY(qobject_cast<QAbstractButton*>(rig.Control(WindowControl::kUsePartitionTable))
                ->isChecked());
    QCOMPARE(qobject_cast<QLabel*>(rig.Control(WindowControl::kQuickHelp))->text(),
             QStringLiteral("1. Select the disk to recover from left pane.\n2. Select the Volume "
                            "Identify Option.\n3. Click Next Button."));

    rig.ChooseDrive();
    QCOMPARE(rig.PanelValue("Model"), QStringLiteral("Disk Image"));
    QVERIFY(rig.PanelValue("Capacity").endsWith(QStringLiteral(" MB ( Approx )")));
    QVERIFY(rig.Visible(WindowControl::kNext));

    Click(rig.Control(WindowControl::kNext));
    QVERIFY(WaitForStep(*rig.window, WizardStep::kVolume));
    QCOMPARE(rig.Tree(TreeKind::kVolume)->Root().data().toString(), QStringLiteral("Partitions"));
    QCOMPARE(ChildCount(rig.Tree(TreeKind::kVolume)->Root()), 2);
    QVERIFY(!rig.Tree(TreeKind::kDisk)->isVisible());
    QVERIFY(rig.Visible(WindowControl::kBack));
    QVERIFY(!rig.Visible(WindowControl::kStop));
    QVERIFY(!rig.Visible(WindowControl::kProgress));

    rig.ChooseVolume(0);
    QCOMPARE(rig.PanelValue("Volume Type"), QStringLiteral("HTFS"));
    const QString volumeName = rig.PanelValue("Volume Name");
    QVERIFY(!volumeName.isEmpty());
    QCOMPARE(rig.PanelValue("Volume Start"), QString::number(report_.volumes[0].startSector));

    // Normal: the folders of the walk, the root's rows in the list.
    rig.mode = RecoveryMode::kNormal;
    Click(rig.Control(WindowControl::kNext));
    QVERIFY(WaitForStep(*rig.window, WizardStep::kFiles));
    CFolderTreeCtrl* files = rig.Tree(TreeKind::kFile);
    QVERIFY(files->isVisible() && files->isEnabled());
    QCOMPARE(files->Root().data().toString(), volumeName);
    QCOMPARE(ChildTexts(files->Root()), (QStringList{"docs", "zeta"}));
    QCOMPARE(ChildTexts(FindItem(files, "docs")), QStringList{"sub"});
    QVERIFY(rig.window->ListWidget()->isVisible());
    QCOMPARE(rig.ListNames(), (QStringList{"docs", "zeta", "README", "big.dat"}));
    QAbstractItemModel* model = rig.window->ListModel();
    QCOMPARE(model->columnCount(), 6);
    QCOMPARE(model->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Name"));
    QCOMPARE(model->headerData(5, Qt::Horizontal).toString(), QStringLiteral("Sector"));
    QCOMPARE(model->index(0, 1).data().toString(), QStringLiteral("Folder"));
    QCOMPARE(model->index(3, 2).data().toString(), QStringLiteral("70000"));
    QCOMPARE(model->index(3, 2).data(Qt::TextAlignmentRole).value<Qt::Alignment>() & Qt::AlignRight,
             Qt::AlignRight);
    QVERIFY(!rig.Visible(WindowControl::kStop));
    QVERIFY(rig.Visible(WindowControl::kBack));

    // Assistive tools read the list's cells as their texts.
    QAccessibleInterface* list = QAccessible::queryAccessibleInterface(rig.window->ListDetails());
    QStringList cells;
    for (int i = 0; i < list->childCount(); ++i) cells << list->child(i)->text(QAccessible::Name);
    QVERIFY(cells.contains(QStringLiteral("README")));
    QVERIFY(cells.contains(QStringLiteral("70000")));

    // A click on a folder of the tree lists that folder.
    ClickItem(files, FindItem(files, "docs"));
    QCOMPARE(rig.ListNames(), (QStringList{"sub", "notes.txt"}));

    // Back to the volume step: the same volume tree, no search again.
    Click(rig.Control(WindowControl::kBack));
    QVERIFY(WaitForStep(*rig.window, WizardStep::kVolume));
    QVERIFY(rig.Tree(TreeKind::kVolume)->isVisible());
    QCOMPARE(ChildCount(rig.Tree(TreeKind::kVolume)->Root()), 2);
    QVERIFY(!rig.window->ListWidget()->isVisible());
    QVERIFY(!rig.Visible(WindowControl::kNext));

    // Extensive: the orphans' folder joins the root.
    rig.ChooseVolume(0);
    rig.mode = RecoveryMode::kExtensive;
    Click(rig.Control(WindowControl::kNext));
    QVERIFY(WaitForStep(*rig.window, WizardStep::kFiles));
    QVERIFY(ChildTexts(rig.Tree(TreeKind::kFile)->Root()).contains(QStringLiteral("LostDir")));
    QVERIFY(rig.ListNames().contains(QStringLiteral("README")));

    // Back twice: the disk step with its options again.
    Click(rig.Control(WindowControl::kBack));
    QVERIFY(WaitForStep(*rig.window, WizardStep::kVolume));
    Click(rig.Control(WindowControl::kBack));
    QVERIFY(WaitForStep(*rig.window, WizardStep::kDisk));
    QVERIFY(rig.Tree(TreeKind::kDisk)->isVisible());
    QVERIFY(rig.Visible(WindowControl::kUsePartitionTable));
    QVERIFY(rig.Visible(WindowControl::kIdentifyGroup));
    QVERIFY(!rig.Visible(WindowControl::kBack));
    QVERIFY(rig.messages.empty());
  }

  void CancelledModeDialogStaysOnTheVolumeStep() {
    Rig rig({image_});
    rig.ChooseDrive();
    Click(rig.Control(WindowControl::kNext));
    QVERIFY(WaitForStep(*rig.window, WizardStep::kVolume));
    rig.ChooseVolume(1);
    QCOMPARE(rig.PanelValue("Volume Type"), QStringLiteral("EAFS"));
    rig.mode = std::nullopt;
    Click(rig.Control(WindowControl::kNext));
    QCoreApplication::processEvents();
    QCOMPARE(rig.session.state.step, WizardStep::kVolume);
    QVERIFY(!rig.Visible(WindowControl::kNext));
    rig.ChooseVolume(1);
    QVERIFY(rig.Visible(WindowControl::kNext));
  }

  void StopDuringAMountKeepsWhatWasFound() {
    auto file = OpenImageFile(image_);
    QVERIFY(file.has_value());
    auto gated = std::make_shared<GatedSource>(std::move(*file));
    Rig rig(gated);
    rig.ChooseDrive();
    Click(rig.Control(WindowControl::kNext));
    QVERIFY(WaitForStep(*rig.window, WizardStep::kVolume));
    rig.ChooseVolume(0);

    // The walk stops at the root folder's block until Stop is answered.
    const auto* root = report_.volumes[0].Find("/");
    QVERIFY(root != nullptr && !root->dataBlocks.empty());
    gated->HoldAt(report_.volumes[0].SectorOfBlock(root->dataBlocks[0]));
    Click(rig.Control(WindowControl::kNext));
    QVERIFY(WaitFor([&] { return gated->Held() && rig.Visible(WindowControl::kStop); }));
    QVERIFY(!rig.Visible(WindowControl::kBack));
    QVERIFY(rig.Visible(WindowControl::kProgress));

    rig.answer = Answer::kNo;
    Click(rig.Control(WindowControl::kStop));
    QCOMPARE(rig.messages.back().text, std::string("Do you want to stop the current process ?"));
    QVERIFY(rig.messages.back().question);
    QVERIFY(!rig.session.state.StopRequested());
    rig.answer = Answer::kYes;
    Click(rig.Control(WindowControl::kStop));
    QVERIFY(rig.session.state.StopRequested());
    gated->Release();

    // The walk ends after the root: its folders, none of theirs.
    QVERIFY(WaitForStep(*rig.window, WizardStep::kFiles));
    CFolderTreeCtrl* files = rig.Tree(TreeKind::kFile);
    QCOMPARE(ChildTexts(files->Root()), (QStringList{"docs", "zeta"}));
    QVERIFY(!FindItem(files, "sub").isValid());
    QVERIFY(!rig.session.state.StopRequested());
    QVERIFY(!rig.Visible(WindowControl::kStop));
  }

  void ClosingDuringAMountWaitsForTheWorker() {
    auto file = OpenImageFile(image_);
    QVERIFY(file.has_value());
    auto gated = std::make_shared<GatedSource>(std::move(*file));
    Rig rig(gated);
    rig.ChooseDrive();
    Click(rig.Control(WindowControl::kNext));
    QVERIFY(WaitForStep(*rig.window, WizardStep::kVolume));
    rig.ChooseVolume(0);
    const auto* root = report_.volumes[0].Find("/");
    QVERIFY(root != nullptr && !root->dataBlocks.empty());
    gated->HoldAt(report_.volumes[0].SectorOfBlock(root->dataBlocks[0]));
    Click(rig.Control(WindowControl::kNext));
    QVERIFY(WaitFor([&] { return gated->Held(); }));

    // Yes while the worker holds the file tree: the window stays until the
    // worker has ended, then closes by itself without asking again.
    rig.answer = Answer::kYes;
    rig.window->close();
    QVERIFY(rig.window->isVisible());
    QCOMPARE(rig.messages.size(), std::size_t{1});
    gated->Release();
    QVERIFY(WaitFor([&] { return !rig.window->isVisible(); }));
    QCOMPARE(rig.messages.size(), std::size_t{1});
    QVERIFY(!rig.window->Controller().WorkerRunning());
  }

  void NoPartitionRecordSaysSoAndHidesNext() {
    tolvar::testing::DiskBuilder blank(400);
    Rig rig({WriteDisk(blank, "blank.img")});
    rig.ChooseDrive();
    Click(rig.Control(WindowControl::kNext));
    // The drive is opened and its record looked for on a worker.
    QVERIFY(WaitFor([&] { return !rig.messages.empty(); }));
    QCOMPARE(rig.messages.size(), std::size_t{1});
    QCOMPARE(rig.messages[0].text,
             std::string("No HTFS/EAFS Partition Found  !! \r\nSelect Search Partition and then "
                         "Click Next."));
    QCOMPARE(rig.messages[0].kind, MessageKind::kInformation);
    QCOMPARE(rig.session.state.step, WizardStep::kDisk);
    QVERIFY(!rig.Visible(WindowControl::kNext));
    rig.ChooseDrive();
    QVERIFY(rig.Visible(WindowControl::kNext));
  }

  void BadRangesAreRefusedAndNextComesBack() {
    tolvar::testing::DiskBuilder blank(400);
    Rig rig({WriteDisk(blank, "blank-range.img")});
    rig.ChooseDrive();
    Click(rig.Control(WindowControl::kSearchPartition));
    auto* start = qobject_cast<QLineEdit*>(rig.Control(WindowControl::kStartField));
    auto* end = qobject_cast<QLineEdit*>(rig.Control(WindowControl::kEndField));
    QVERIFY(start->isVisible() && end->isVisible());
    QCOMPARE(start->text(), QStringLiteral("0"));
    QCOMPARE(end->text(), QString::number(rig.session.drives.Current().totalSectors));

    const struct {
      const char* start;
      const char* end;
      const char* message;
    } cases[] = {
        {"abc", "100", "      Start sector value is not valid, It should be a positive number"},
        {"", "100", "      Start sector value is not valid, It should be a positive number"},
        {"0", "-5", "      End sector value is not valid, It should be a positive number"},
        {"10", "10", "      End sector should be bigger than start sector"},
    };
    for (const auto& c : cases) {
      rig.messages.clear();
      start->setText(QString::fromLatin1(c.start));
      end->setText(QString::fromLatin1(c.end));
      Click(rig.Control(WindowControl::kNext));
      QCOMPARE(rig.messages.size(), std::size_t{1});
      QCOMPARE(rig.messages[0].text, std::string(c.message));
      QCOMPARE(rig.messages[0].kind, MessageKind::kError);
      QVERIFY2(rig.Visible(WindowControl::kNext), c.message);
      QCOMPARE(rig.session.state.step, WizardStep::kDisk);
    }

    // A valid range over a disk without volumes finds nothing.
    rig.messages.clear();
    start->setText(QStringLiteral("0"));
    end->setText(QStringLiteral("300"));
    Click(rig.Control(WindowControl::kNext));
    QVERIFY(WaitFor([&] { return !rig.messages.empty(); }));
    QVERIFY(WaitForStep(*rig.window, WizardStep::kDisk));
    QCOMPARE(rig.messages[0].text, std::string("No HTFS/EAFS Partition Found  !!"));
    QVERIFY(rig.Tree(TreeKind::kDisk)->isVisible());
  }

  void RecordWithoutVolumesSendsTheUserBack() {
    tolvar::testing::DiskBuilder disk(2000);
    disk.PartitionRecord({{200, 400}});
    Rig rig({WriteDisk(disk, "empty-record.img")});
    rig.ChooseDrive();
    Click(rig.Control(WindowControl::kNext));
    QVERIFY(WaitFor([&] { return !rig.messages.empty(); }));
    QVERIFY(WaitForStep(*rig.window, WizardStep::kDisk));
    QCOMPARE(rig.messages[0].text,
             std::string("No HTFS/EAFS Partition Found  !! \r\nUser stopped the search process."));
    QVERIFY(rig.Visible(WindowControl::kUsePartitionTable));
  }

  void ClosingAsksFirst() {
    Rig rig({image_});
    rig.answer = Answer::kNo;
    rig.window->close();
    QVERIFY(rig.window->isVisible());
    QCOMPARE(rig.messages.back().text, std::string("Do you really want to exit ?"));
    QVERIFY(rig.opened.empty());
    rig.answer = Answer::kYes;
    rig.window->close();
    QVERIFY(!rig.window->isVisible());
    QCOMPARE(rig.opened.size(), std::size_t{1});

    // Esc goes to the focused control and never closes the window.
    Rig other({image_});
    QTest::keyClick(other.window.get(), Qt::Key_Escape);
    QVERIFY(other.window->isVisible());
    QVERIFY(other.messages.empty());
  }

  void AddedImageBecomesTheNextDrive() {
    Rig rig({image_});
    tolvar::testing::DiskBuilder blank(400);
    QVERIFY(rig.window->AddDiskImage(QString::fromStdString(WriteDisk(blank, "added.img"))));
    QCOMPARE(ChildTexts(rig.Tree(TreeKind::kDisk)->Root()),
             (QStringList{"Storage Device0", "Storage Device1"}));
    rig.ChooseDrive(QStringLiteral("Storage Device1"));
    QCOMPARE(rig.session.drives.currentDrive, 1);

    // Dropping an image file on the window adds it the same way.
    QMimeData dropped;
    dropped.setUrls({QUrl::fromLocalFile(QString::fromStdString(WriteDisk(blank, "dropped.img")))});
    QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(rig.window.get(), &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(20, 20), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(rig.window.get(), &drop);
    QCOMPARE(ChildCount(rig.Tree(TreeKind::kDisk)->Root()), 3);
    QCOMPARE(rig.window->OpenImageAction()->shortcut(), QKeySequence(QKeySequence::Open));

    // A path that is not there adds nothing and says why.
    rig.messages.clear();
    QVERIFY(!rig.window->AddDiskImage(QString::fromStdString((dir_ / "missing.img").string())));
    QCOMPARE(rig.messages.size(), std::size_t{1});
    QCOMPARE(ChildCount(rig.Tree(TreeKind::kDisk)->Root()), 3);
  }

  void OpenedImageTakesItsMapfileAndAFolderForTheFilesItNames() {
    Rig rig({image_});
    tolvar::testing::DiskBuilder blank(400);
    const std::string image = WriteDisk(blank, "mapped.img");
    const auto write = [this](const char* name, const std::string& text) {
      std::ofstream(dir_ / name) << text;
      return QString::fromStdString((dir_ / name).string());
    };
    // A map that does not parse, or that describes a larger image, is
    // refused with the engine's line and reason, and adds nothing.
    struct Refusal {
      const char* name;
      std::string text;
      const char* reason;
    };
    for (const Refusal& bad : {Refusal{"bad.map", "0 +\n0 0x200 +\n0x100 0x200 ?\n", "line 3"},
                               Refusal{"big.map", "0 +\n0 0x100000 +\n", "another image"}}) {
      rig.messages.clear();
      QVERIFY(!rig.window->AddDiskImage(QString::fromStdString(image), write(bad.name, bad.text)));
      QCOMPARE(rig.messages.size(), std::size_t{1});
      QVERIFY2(rig.messages[0].text.find(bad.reason) != std::string::npos,
               rig.messages[0].text.c_str());
      QCOMPARE(ChildCount(rig.Tree(TreeKind::kDisk)->Root()), 1);
    }
    const QString good = write("good.map", "0 +\n0 0x32000 +\n");
    QVERIFY(rig.window->AddDiskImage(QString::fromStdString(image), good));
    QCOMPARE(rig.session.rescueMaps.at(image).mapfile, good.toStdString());
    QVERIFY(!rig.session.rescueMaps.contains(image_));

    // A descriptor whose extent lies in another folder: the window offers to
    // name that folder, and opens the image with it.
    std::filesystem::create_directories(dir_ / "vm" / "extents");
    blank.WriteTo(dir_ / "vm" / "extents" / "disk-flat.vmdk");
    const std::string descriptor = (dir_ / "vm" / "disk.vmdk").string();
    std::ofstream(descriptor) << "# Disk DescriptorFile\nversion=1\nCID=fffffffe\n"
                                 "parentCID=ffffffff\ncreateType=\"monolithicFlat\"\n\n"
                                 "# Extent description\nRW 400 FLAT \"disk-flat.vmdk\" 0\n\n"
                                 "# The Disk Data Base\n#DDB\n\n"
                                 "ddb.virtualHWVersion = \"4\"\nddb.geometry.cylinders = \"0\"\n"
                                 "ddb.geometry.heads = \"16\"\nddb.geometry.sectors = \"63\"\n"
                                 "ddb.adapterType = \"ide\"\n";
    int chooserCalls = 0;
    rig.window->SetFolderChooser([&] {
      ++chooserCalls;
      return QString::fromStdString((dir_ / "vm" / "extents").string());
    });
    for (const Answer answer : {Answer::kNo, Answer::kYes}) {
      rig.messages.clear();
      rig.answer = answer;
      const bool added = rig.window->AddDiskImage(QString::fromStdString(descriptor));
      QVERIFY2(added == (answer == Answer::kYes), rig.messages.back().text.c_str());
      QCOMPARE(rig.messages.size(), std::size_t{1});
      QVERIFY(rig.messages[0].question);
      QVERIFY(rig.messages[0].text.find("disk-flat.vmdk") != std::string::npos);
    }
    QCOMPARE(chooserCalls, 1);
    QCOMPARE(ChildCount(rig.Tree(TreeKind::kDisk)->Root()), 3);
  }

  void UnreadableDeviceIsListedWithItsReasonAndAdvice() {
    if (::geteuid() == 0) QSKIP("root reads every device node");
    tolvar::testing::TempDir fake;
    std::filesystem::create_directories(fake / "sys/block/sdz");
    std::filesystem::create_directories(fake / "dev");
    { std::ofstream(fake / "sys/block/sdz/size") << "2048\n"; }
    { std::ofstream(fake / "dev/sdz") << std::string(4096, '\0'); }
    std::filesystem::permissions(fake / "dev/sdz", std::filesystem::perms::none);
    DriveSources::Options options;
    options.sysfsRoot = (fake / "sys").string();
    options.devRoot = (fake / "dev").string();
    Session session;
    DriveSources sources(options);
    QVERIFY(sources.Enumerate(session.drives).has_value());
    CRecoveryWizardDlg window(session, sources);
    std::vector<std::string> messages;
    window.SetMessageAnswerer([&](std::string_view text, MessageKind, bool) {
      messages.emplace_back(text);
      return Answer::kNo;
    });
    window.Initialise("/tmp");
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QModelIndex item = FindItem(window.Tree(TreeKind::kDisk), "Storage Device0");
    QVERIFY(item.isValid());
    QVERIFY(item.data().toString().contains(QStringLiteral("no read permission")));
    ClickItem(window.Tree(TreeKind::kDisk), item);
    QCOMPARE(messages.size(), std::size_t{1});
    QVERIFY(messages[0].find("disk group") != std::string::npos);
    QVERIFY(messages[0].find("pkexec tolvar-gui") != std::string::npos);
    Click(window.Control(WindowControl::kNext));
    QCOMPARE(messages.size(), std::size_t{2});
    QCOMPARE(session.state.step, WizardStep::kDisk);
  }

  void EveryControlHasANameForAssistiveTools() {
    Rig rig({image_});
    rig.ChooseDrive();
    QAccessible::setActive(true);
    for (WindowControl id :
         {WindowControl::kNext, WindowControl::kBack, WindowControl::kStop,
          WindowControl::kUsePartitionTable, WindowControl::kSearchPartition,
          WindowControl::kStartField, WindowControl::kEndField, WindowControl::kIdentifyHelp,
          WindowControl::kRangeHelp, WindowControl::kProgress, WindowControl::kHomePageLink,
          WindowControl::kBrowseList, WindowControl::kPanelValue1}) {
      QAccessibleInterface* face = QAccessible::queryAccessibleInterface(rig.Control(id));
      QVERIFY(face != nullptr);
      QVERIFY2(!face->text(QAccessible::Name).isEmpty(),
               qPrintable(QString::number(static_cast<int>(id))));
    }
    const auto name = [&](WindowControl id) {
      return QAccessible::queryAccessibleInterface(rig.Control(id))->text(QAccessible::Name);
    };
    QCOMPARE(name(WindowControl::kNext), QStringLiteral("Next"));
    QCOMPARE(name(WindowControl::kBack), QStringLiteral("Back"));
    QCOMPARE(name(WindowControl::kStop), QStringLiteral("Stop"));
    // A value reads as its text, labelled by its caption.
    QCOMPARE(name(WindowControl::kPanelValue1),
             QString::fromStdString(rig.session.drives.Current().model));

    // The tree's items read as their texts.
    QAccessibleInterface* tree = QAccessible::queryAccessibleInterface(rig.Tree(TreeKind::kDisk));
    QCOMPARE(tree->text(QAccessible::Name), QStringLiteral("Disks"));
    QStringList texts;
    for (int i = 0; i < tree->childCount(); ++i) texts << tree->child(i)->text(QAccessible::Name);
    QVERIFY(texts.contains(QStringLiteral("Storage Device0")));
  }

  // An assistive tool chooses a drive by selecting its row through the
  // tree's table interface; the window answers as it does a click.
  void ADriveChosenThroughTheAccessibilityInterfaceIsShown() {
    Rig rig({image_});
    QAccessible::setActive(true);
    QAccessibleInterface* tree = QAccessible::queryAccessibleInterface(rig.Tree(TreeKind::kDisk));
    QVERIFY(tree != nullptr && tree->tableInterface() != nullptr);
    int row = -1;
    for (int i = 0; i < tree->childCount(); ++i) {
      QAccessibleInterface* cell = tree->child(i);
      if (cell->text(QAccessible::Name) == QStringLiteral("Storage Device0")) {
        row = cell->tableCellInterface()->rowIndex();
      }
    }
    QVERIFY(row >= 0);
    QVERIFY(tree->tableInterface()->selectRow(row));
    const auto value = [&] {
      return QAccessible::queryAccessibleInterface(rig.Control(WindowControl::kPanelValue1))
          ->text(QAccessible::Name);
    };
    QTRY_COMPARE(value(), QString::fromStdString(rig.session.drives.Current().model));
    QVERIFY(rig.Control(WindowControl::kNext)->isVisible());
  }

  void ListSortsByEveryColumnAndReturnsToTheDisksOrder() {
    imagekit::DiskDescription disk;
    imagekit::VolumeDescription volume;
    volume.fs = imagekit::FsKind::kHtfs;
    volume.root =
        Node::Folder("", {Node::Folder("beta"), Node::Filled("file10", 10, {}),
                          Node::Filled("file2", 3000, {}), Node::Filled("File1", 200, {})});
    disk.volumes.push_back(std::move(volume));
    const std::string path = (dir_ / "sorting.img").string();
    QVERIFY(imagekit::BuildImage(disk, path).has_value());
    Rig rig({path});
    rig.ChooseDrive();
    Click(rig.Control(WindowControl::kNext));
    QVERIFY(WaitForStep(*rig.window, WizardStep::kVolume));
    rig.ChooseVolume(0);
    Click(rig.Control(WindowControl::kNext));
    QVERIFY(WaitForStep(*rig.window, WizardStep::kFiles));
    const QStringList diskOrder = {"beta", "file10", "file2", "File1"};
    QCOMPARE(rig.ListNames(), diskOrder);

    QHeaderView* header = rig.window->ListDetails()->header();
    const auto clickHeader = [&](int column) {
      QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                        QPoint(header->sectionViewportPosition(column) + 4, header->height() / 2));
    };
    const struct {
      int column;
      QStringList names;
    } cases[] = {
        {0, {"beta", "File1", "file2", "file10"}},  // natural order, case folded
        {0, {"file10", "file2", "File1", "beta"}},  // a second click reverses
        {2, {"beta", "file10", "File1", "file2"}},  // sizes as numbers
        {3, diskOrder},                             // one date: ties keep the disk's order
    };
    for (const auto& c : cases) {
      clickHeader(c.column);
      QCOMPARE(rig.ListNames(), c.names);
    }
    // The selection stays on its entry when the order changes.
    QTreeView* view = rig.window->ListDetails();
    view->selectionModel()->select(rig.window->ListModel()->index(2, 0),
                                   QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    const QString selected = rig.window->ListModel()->index(2, 0).data().toString();
    clickHeader(0);
    const QModelIndexList rows = view->selectionModel()->selectedRows();
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0].data().toString(), selected);
    QCOMPARE(rig.window->ListEntry(rows[0].row())->name, selected.toStdString());
    // The rows a command reads follow the sorted order.
    clickHeader(2);
    clickHeader(2);
    QCOMPARE(rig.window->ListEntry(0)->name, std::string("file2"));
    QCOMPARE(rig.window->ListEntry(0)->sizeValue, std::uint64_t{3000});

    // Listing a folder anew shows the disk's order again.
    rig.window->Controller().OpenFolder(rig.window->Controller().RootItem(TreeKind::kFile));
    QCOMPARE(rig.ListNames(), diskOrder);
    QCOMPARE(header->sortIndicatorSection(), -1);
  }

  void NamesCompareInNaturalOrder() {
    const struct {
      const char* a;
      const char* b;
      int order;
    } cases[] = {
        {"file2", "file10", -1}, {"File1", "file2", -1}, {"abc", "ABC", 0},   {"a01", "a1", 0},
        {"a", "a1", -1},         {"x9y", "x10a", -1},    {"b", "a99", 1},     {"", "a", -1},
        {"a9", "a:", -1},        {"a0", "a/", 1},        {"x100", "x99z", 1}, {"v007", "v7b", -1},
    };
    for (const auto& c : cases) {
      QCOMPARE(NaturalCompare(QString::fromLatin1(c.a), QString::fromLatin1(c.b)), c.order);
      QCOMPARE(NaturalCompare(QString::fromLatin1(c.b), QString::fromLatin1(c.a)), -c.order);
      const QString keyA = NaturalSortKey(QString::fromLatin1(c.a));
      const QString keyB = NaturalSortKey(QString::fromLatin1(c.b));
      QCOMPARE(keyA < keyB ? -1 : (keyB < keyA ? 1 : 0), c.order);
    }
  }

  void SelectedRowsAreDrawnInTheHighlightColours() {
    Rig rig({image_});
    rig.ChooseDrive();
    Click(rig.Control(WindowControl::kNext));
    QVERIFY(WaitForStep(*rig.window, WizardStep::kVolume));
    rig.ChooseVolume(0);
    Click(rig.Control(WindowControl::kNext));
    QVERIFY(WaitForStep(*rig.window, WizardStep::kFiles));
    QTreeView* list = rig.window->ListDetails();
    list->setFocus();
    QTest::keyClick(list, Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(list->selectionModel()->selectedRows().size(), 4);
    const QImage picture = list->viewport()->grab().toImage();
    const qreal ratio = picture.devicePixelRatio();
    const QColor highlight = list->palette().color(QPalette::Active, QPalette::Highlight);
    const QColor inactive = list->palette().color(QPalette::Inactive, QPalette::Highlight);
    for (int row = 0; row < 4; ++row) {
      // The far end of the Type cell holds no text: only the row's fill.
      const QRect cell = list->visualRect(rig.window->ListModel()->index(row, 1));
      const QPoint at(static_cast<int>((cell.right() - 6) * ratio),
                      static_cast<int>(cell.center().y() * ratio));
      const QColor seen = picture.pixelColor(at);
      QVERIFY2(seen == highlight || seen == inactive, qPrintable(seen.name()));
    }
  }

  void EveryValueIsReadableThroughAssistiveTools() {
    QAccessible::setActive(true);
    Rig rig({image_});
    rig.ChooseDrive();
    int rows = 0;
    const auto checkPanel = [&] {
      rows = 0;
      for (const auto& row : kPanelRowControls) {
        auto* value = qobject_cast<QLabel*>(rig.Control(row.value));
        if (!value->isVisible()) continue;
        ++rows;
        QAccessibleInterface* face = QAccessible::queryAccessibleInterface(value);
        QCOMPARE(face->text(QAccessible::Name), value->text());
        const auto labels = face->relations(QAccessible::Label);
        QVERIFY(!labels.isEmpty());
        QCOMPARE(labels.front().first->object(), rig.window->CaptionOf(row.value));
      }
    };
    checkPanel();
    QCOMPARE(rows, 5);
    QCOMPARE(rig.PanelValue("Cylinders"), QString::number(rig.session.drives.Current().cylinders));
    Click(rig.Control(WindowControl::kNext));
    QVERIFY(WaitForStep(*rig.window, WizardStep::kVolume));
    rig.ChooseVolume(0);
    checkPanel();
    QCOMPARE(rows, 4);
    QCOMPARE(rig.PanelValue("Volume Type"), QStringLiteral("HTFS"));

    // Properties and Drive Information: each value by its text, labelled.
    const auto checkDialog = [](QDialog& dialog,
                                std::initializer_list<std::pair<int, QString>> values) {
      dialog.show();
      for (const auto& [id, text] : values) {
        auto* label = dialog.findChild<QLabel*>(QStringLiteral("control%1").arg(id));
        QVERIFY(label != nullptr);
        QAccessibleInterface* face = QAccessible::queryAccessibleInterface(label);
        QCOMPARE(face->text(QAccessible::Name), text);
        QVERIFY(!face->relations(QAccessible::Label).isEmpty());
      }
    };
    PropertiesFields fields{"notes.txt", "11 bytes", "", "01/02/2020", "10:11:12", {}};
    PropertiesDialog properties(fields);
    checkDialog(
        properties,
        {{1012, "notes.txt"}, {1011, "11 bytes"}, {1015, "01/02/2020"}, {1014, "10:11:12"}});
    static constexpr std::string_view kCaptions[] = {
        "A :", "B :", "C :", "D :", "E :", "F :", "G :", "H :"};
    std::array<DriveField, 8> drive;
    for (std::size_t i = 0; i < drive.size(); ++i) {
      drive[i] = {kCaptions[i], fmt::format("{}", 1000 + i)};
    }
    DriveInformationDialog information(drive);
    checkDialog(information, {{1022, "1000"},
                              {1011, "1001"},
                              {1023, "1002"},
                              {1024, "1003"},
                              {1025, "1004"},
                              {1026, "1005"},
                              {1027, "1006"},
                              {1028, "1007"}});

    // The settings' lists carry their captions.
    RecoverySettingsDialog settings(RecoverySettings{});
    settings.show();
    for (const int id : {1037, 1044}) {
      auto* combo = settings.findChild<QWidget*>(QStringLiteral("control%1").arg(id));
      QVERIFY(combo != nullptr);
      const auto labels =
          QAccessible::queryAccessibleInterface(combo)->relations(QAccessible::Label);
      QVERIFY(!labels.isEmpty());
      QVERIFY(!labels.front().first->text(QAccessible::Name).isEmpty());
    }
  }

  void FocusStartsOnTheTreeAndNeverRestsOnALink() {
    Rig rig({image_});
    rig.window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(rig.window.get()));
    QCOMPARE(QApplication::focusWidget(), rig.Tree(TreeKind::kDisk));
    QCOMPARE(rig.Control(WindowControl::kHomePageLink)->focusPolicy(), Qt::NoFocus);
    rig.ChooseDrive();
    Click(rig.Control(WindowControl::kNext));
    QVERIFY(WaitForStep(*rig.window, WizardStep::kVolume));
    QCOMPARE(QApplication::focusWidget(), rig.Tree(TreeKind::kVolume));
    Click(rig.Control(WindowControl::kBack));
    QCOMPARE(QApplication::focusWidget(), rig.Tree(TreeKind::kDisk));
  }

  void GrowsWithTheTreeAndTheListTakingTheRoom() {
    Rig rig({image_});
    const QSize available = rig.window->screen()->availableGeometry().size();
    // At least the default size, unless the screen's free area is smaller
    // (the offscreen screen is): then that area, so the window always fits.
    const QSize least = rig.window->minimumSize();
    QVERIFY(least.width() <= available.width() && least.height() <= available.height());
    QVERIFY(least.width() <= rig.window->sizeHint().width() &&
            least.height() <= rig.window->sizeHint().height());
    QVERIFY(rig.window->width() <= available.width());
    QVERIFY(rig.window->height() <= available.height());
    rig.window->setMinimumSize(0, 0);
    rig.window->resize(rig.window->sizeHint());
    QTest::qWait(10);
    QWidget* tree = rig.Tree(TreeKind::kDisk);
    QWidget* list = rig.window->ListWidget();
    QWidget* next = rig.Control(WindowControl::kNext);
    QWidget* link = rig.Control(WindowControl::kHomePageLink);
    const QRect tree0 = tree->geometry(), list0 = list->geometry();
    const QRect next0 = next->geometry(), link0 = link->geometry();
    rig.window->resize(rig.window->sizeHint() + QSize(300, 200));
    QTest::qWait(10);
    QCOMPARE(tree->height(), tree0.height() + 200);
    QCOMPARE(list->height(), list0.height() + 200);
    // The extra width is shared out, give or take a pixel of rounding.
    QVERIFY(std::abs(tree->width() + list->width() - (tree0.width() + list0.width() + 300)) <= 1);
    QVERIFY(tree->width() > tree0.width() && list->width() > list0.width());
    QCOMPARE(next->y(), next0.y() + 200);
    QCOMPARE(next->size(), next0.size());
    QCOMPARE(link->x(), link0.x() + 300);
    QVERIFY(std::abs(list->x() + list->width() - (list0.x() + list0.width() + 300)) <= 1);
  }

  void AsRootNothingIsOpenedAndTheWindowSaysWhat() {
    Rig rig({image_});
    rig.window->SetRunsAsRoot(true);
    Click(rig.Control(WindowControl::kHomePageLink));
    QVERIFY(rig.opened.empty());
    QCOMPARE(rig.messages.size(), std::size_t{1});
    QVERIFY(rig.messages[0].text.find("runs as root") != std::string::npos);
    QVERIFY(rig.messages[0].text.find("https://") != std::string::npos);
    // Exit: the question only, and no browser.
    rig.answer = Answer::kYes;
    rig.window->Controller().Exit();
    QCOMPARE(rig.messages.size(), std::size_t{2});
    QVERIFY(rig.messages[1].question);
    QVERIFY(rig.opened.empty());
    QVERIFY(rig.ended);
  }

  // A range search reading one sector at a time reports far faster than a
  // window draws: the queue to the window stays short, and Stop still ends
  // the search.
  void RangeSearchAtOneSectorPerReadCannotFloodTheWindow() {
    constexpr std::uint64_t kSectors = 60000;
    tolvar::testing::DiskBuilder blank(kSectors);
    auto file = OpenImageFile(WriteDisk(blank, "flood.img"));
    QVERIFY(file.has_value());
    auto gated = std::make_shared<GatedSource>(std::move(*file));
    Rig rig(gated);
    rig.session.settings.sectorsPerRead = 1;
    rig.ChooseDrive();
    Click(rig.Control(WindowControl::kSearchPartition));
    gated->HoldAt(kSectors / 2);
    Click(rig.Control(WindowControl::kNext));
    QVERIFY(WaitFor([&] { return gated->Held(); }));
    QTest::qWait(2 * QtDispatcher::kProgressIntervalMs);
    // The shown sector has caught up with the reads (the latest value won).
    QVERIFY(rig.PanelValue("Current Sector").toULongLong() > 0);
    QVERIFY2(rig.window->QueueHighWater() <= 8,
             qPrintable(QString::number(rig.window->QueueHighWater())));

    rig.answer = Answer::kYes;
    Click(rig.Control(WindowControl::kStop));
    QVERIFY(rig.session.state.StopRequested());
    gated->Release();
    QVERIFY(WaitFor([&] { return !rig.window->Controller().WorkerRunning(); }));
    QVERIFY(WaitForStep(*rig.window, WizardStep::kDisk));
    // Stopped soon after the held read: far from the end of the range.
    QVERIFY(gated->SectorsReached() < kSectors * 3 / 4);
    QVERIFY(rig.window->QueueHighWater() <= 8);
  }

  void FindWithAHundredThousandHitsArrivesInBatches() {
    FileTree tree;
    constexpr std::uint32_t kFiles = 100000;
    for (std::uint32_t i = 0; i < kFiles; ++i) {
      QVERIFY(tree.AddFile(fmt::format("F{}.TXT", i), 100 + i, 2, i, 0, i).has_value());
    }
    FindFilesDialog dialog(tree);
    dialog.SetMessageAnswerer([](std::string_view, MessageKind, bool) { return Answer::kYes; });
    dialog.show();
    dialog.Pattern()->setText(QStringLiteral("F*"));
    dialog.StartSearch();
    QVERIFY(WaitFor([&] { return !dialog.Searching(); }));
    QCOMPARE(dialog.Hits()->topLevelItemCount(), static_cast<int>(kFiles));
    QCOMPARE(dialog.FilesFound(), QString::number(kFiles));
    QVERIFY(dialog.QueueHighWater() <= 1);

    // Stop Search: Yes ends it, and no row arrives afterwards.
    dialog.StartSearch();
    QVERIFY(WaitFor([&] { return dialog.Hits()->topLevelItemCount() > 0; }));
    dialog.StopSearch();
    QVERIFY(!dialog.Searching());
    const int rowsAtStop = dialog.Hits()->topLevelItemCount();
    QTest::qWait(100);
    QCOMPARE(dialog.Hits()->topLevelItemCount(), rowsAtStop);
    QVERIFY(dialog.QueueHighWater() <= 1);
  }

  void ModeDialogOpensOnNormalEveryTime() {
    CRecoveryModeDialog dialog;
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Select Mode Of Recovery"));
    QCOMPARE(dialog.NormalButton()->text(), QStringLiteral("Normal Search ( Recommended )"));
    QCOMPARE(dialog.ExtensiveButton()->text(), QStringLiteral("Extensive Search"));
    dialog.ExtensiveButton()->setChecked(true);
    QCOMPARE(dialog.ChosenMode(), RecoveryMode::kExtensive);
    QTimer::singleShot(0, &dialog, [&] {
      QVERIFY(dialog.NormalButton()->isChecked());
      dialog.ExtensiveButton()->setChecked(true);
      dialog.accept();
    });
    QCOMPARE(dialog.Ask(), std::optional<RecoveryMode>(RecoveryMode::kExtensive));
    QTimer::singleShot(0, &dialog, [&] {
      QVERIFY(dialog.NormalButton()->isChecked());
      dialog.reject();
    });
    QCOMPARE(dialog.Ask(), std::optional<RecoveryMode>());
  }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
