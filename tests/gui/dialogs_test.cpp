// The dialogs' rules on the offscreen platform: settings OK and Cancel, the
// filter list's limits and messages, find with its stop question, the
// properties of a folder, and the saving and restore dialogs as views of
// their runs.
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>
#include <filesystem>
#include <fstream>

#include "app/properties.hpp"
#include "gui/dialogs/file_filters_dialog.hpp"
#include "gui/dialogs/find_files_dialog.hpp"
#include "gui/dialogs/info_dialogs.hpp"
#include "gui/dialogs/open_image_dialog.hpp"
#include "gui/dialogs/recovery_settings_dialog.hpp"
#include "gui/dialogs/restore_compressed_dialog.hpp"
#include "gui/dialogs/saving_dialog.hpp"
#include "recovery/restore.hpp"
#include "tests/support/temp_dir.hpp"
#include "tools/drive_information.hpp"
#include "tools/folder_totals.hpp"

using namespace tolvar;
using namespace tolvar::gui;

namespace {

struct Recorded {
  std::string text;
  MessageKind kind;
};

// Records every message and answers questions with `answer`.
MessageAnswerer Recorder(std::vector<Recorded>& log, Answer answer = Answer::kYes) {
  return [&log, answer](std::string_view text, MessageKind kind, bool) {
    log.push_back({std::string(text), kind});
    return answer;
  };
}

bool WaitUntil(const std::function<bool()>& done) { return QTest::qWaitFor(done, 20000); }

QPushButton* Button(const DialogFrame& dialog, int id) {
  return qobject_cast<QPushButton*>(dialog.Control(id));
}

// A tree of `count` files in the root, every tenth named README in some case.
FileTree ManyFiles(std::uint32_t count) {
  FileTree tree;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::string name =
        i % 10 == 0 ? (i % 20 == 0 ? "README" : "ReadMe") : "F" + std::to_string(i);
    (void)tree.AddFile(name, 100 + i, 2, i + 1, 0, i);
  }
  return tree;
}

}  // namespace

class DialogsTest : public QObject {
  Q_OBJECT

 private slots:
  void SettingsOpenWithTheDefaultsAndOkStoresCancelKeeps() {
    const RecoverySettings defaults = RecoverySettings::DefaultsFor(DiskRoute::kNtFamily);
    {
      RecoverySettingsDialog dialog(defaults);
      auto* sectors = qobject_cast<QComboBox*>(dialog.Control(1037));
      auto* retries = qobject_cast<QComboBox*>(dialog.Control(1044));
      QCOMPARE(sectors->count(), 100);
      QCOMPARE(retries->count(), 10);
      QCOMPARE(sectors->currentText(), QStringLiteral("60"));
      QCOMPARE(retries->currentText(), QStringLiteral("3"));
      QVERIFY(qobject_cast<QRadioButton*>(dialog.Control(1040))->isChecked());
      dialog.show();
      QVERIFY(!dialog.Control(1059)->isVisible());  // the deleted-file group stays hidden
      QVERIFY(dialog.Control(1058)->isVisible());
      sectors->setCurrentIndex(99);
      retries->setCurrentIndex(0);
      qobject_cast<QRadioButton*>(dialog.Control(1038))->setChecked(true);
      QTest::mouseClick(Button(dialog, 1), Qt::LeftButton);
      QCOMPARE(dialog.result(), int(QDialog::Accepted));
      const RecoverySettings stored = dialog.Result();
      QCOMPARE(stored.sectorsPerRead, 100U);
      QCOMPARE(int(stored.badSectorRetries), 1);
      QCOMPARE(stored.duplicatePolicy, DuplicatePolicy::kRename);
      QCOMPARE(stored.deletedPolicy, DeletedPolicy::kInclude);
    }
    {
      RecoverySettingsDialog dialog(defaults);
      dialog.show();
      qobject_cast<QComboBox*>(dialog.Control(1037))->setCurrentIndex(4);
      qobject_cast<QComboBox*>(dialog.Control(1044))->setCurrentIndex(7);
      QTest::mouseClick(Button(dialog, 2), Qt::LeftButton);
      QCOMPARE(dialog.result(), int(QDialog::Rejected));  // Ask gives nothing: values unchanged
    }
  }

  void FilterListLimitsAndMessages() {
    std::vector<Recorded> log;
    FileFiltersDialog dialog({});
    dialog.SetMessageAnswerer(Recorder(log));
    auto add = [&](const QString& text) {
      dialog.Edit()->setText(text);
      QTest::mouseClick(Button(dialog, 1), Qt::LeftButton);
    };
    add(QString());
    QCOMPARE(log.back().text, std::string("      You can not add a blank entry.     "));
    add(QStringLiteral("ABCDEFGHIJKLMNOPQRST"));  // 20 characters
    QCOMPARE(log.back().text, std::string("      Filter too long     "));
    QCOMPARE(dialog.Edit()->selectedText(), QStringLiteral("ABCDEFGHIJKLMNOPQRS"));
    add(QStringLiteral("ABCDEFGHIJKLMNOPQRS"));  // 19: accepted
    QCOMPARE(dialog.List()->count(), 1);
    QVERIFY(dialog.Edit()->text().isEmpty());
    add(QStringLiteral("TXT"));
    add(QStringLiteral("txt"));  // case counts: a different entry
    QCOMPARE(dialog.List()->count(), 3);
    QCOMPARE(dialog.List()->item(0)->text(), QStringLiteral("txt"));  // newest first
    const std::size_t messages = log.size();
    add(QStringLiteral("TXT"));
    QCOMPARE(log.size(), messages + 1);
    QCOMPARE(log.back().text, std::string("      Filter already exists in the list     "));
    QCOMPARE(dialog.Edit()->selectedText(), QStringLiteral("TXT"));
    for (int i = dialog.List()->count(); i < 99; ++i) add(QStringLiteral("P%1").arg(i));
    QCOMPARE(dialog.List()->count(), 99);
    add(QStringLiteral("ONE MORE"));
    QCOMPARE(dialog.List()->count(), 99);
    QCOMPARE(log.back().text, std::string("      You cannot add more Filters     "));

    dialog.List()->setCurrentRow(0);
    QTest::mouseClick(Button(dialog, 1030), Qt::LeftButton);
    QCOMPARE(dialog.List()->count(), 98);
    // Escape stores too: every way of closing keeps the list.
    dialog.show();
    QTest::keyClick(&dialog, Qt::Key_Escape);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.Patterns().size(), std::size_t{98});
    QCOMPARE(dialog.Patterns().back(), std::string("ABCDEFGHIJKLMNOPQRS"));
  }

  void FindAnsweredNoFinishesWithEveryHit() {
    const FileTree tree = ManyFiles(50000);
    const std::size_t expected = FindFiles(tree, "readme").size();
    FindFilesDialog dialog(tree);
    std::vector<Recorded> log;
    bool closedWhilePaused = true;
    dialog.SetMessageAnswerer([&](std::string_view text, MessageKind kind, bool) {
      log.push_back({std::string(text), kind});
      dialog.reject();  // the close request is ignored while a search runs
      closedWhilePaused = dialog.result() == QDialog::Rejected && !dialog.isVisible();
      return Answer::kNo;
    });
    dialog.show();
    QSignalSpy ended(&dialog, &FindFilesDialog::SearchEnded);
    dialog.Pattern()->setText(QStringLiteral("readme"));
    dialog.StartSearch();
    QVERIFY(!Button(dialog, 1)->isEnabled());
    dialog.StopSearch();
    QVERIFY(WaitUntil([&] { return !dialog.Searching(); }));
    QCOMPARE(std::size_t(dialog.Hits()->topLevelItemCount()), expected);
    QCOMPARE(dialog.FilesFound(), QString::number(expected));
    QCOMPARE(dialog.Hits()->topLevelItem(0)->text(0), QStringLiteral("README"));
    QCOMPARE(dialog.Hits()->topLevelItem(1)->text(0), QStringLiteral("README"));
    QCOMPARE(dialog.Hits()->topLevelItem(0)->text(1), QStringLiteral("\\"));
    // Until the dialog has seen the worker's end, a search runs: Stop asks.
    QCOMPARE(log.size(), std::size_t{1});
    QCOMPARE(log.front().text, std::string("Do you want to stop file searching ?"));
    QVERIFY(!closedWhilePaused);
    QVERIFY(Button(dialog, 1)->isEnabled());
    QVERIFY(!Button(dialog, 1032)->isEnabled());
  }

  void FindAnsweredYesAddsNoRowAfterwards() {
    const FileTree tree = ManyFiles(100000);
    FindFilesDialog dialog(tree);
    int rowsAtYes = -1;
    dialog.SetMessageAnswerer([&](std::string_view, MessageKind, bool) {
      rowsAtYes = dialog.Hits()->topLevelItemCount();
      return Answer::kYes;
    });
    dialog.show();
    dialog.Pattern()->setText(QStringLiteral("F1*"));
    dialog.StartSearch();
    dialog.StopSearch();
    QVERIFY(!dialog.Searching());
    QTest::qWait(200);  // let anything still queued arrive
    QVERIFY(rowsAtYes >= 0);
    QCOMPARE(dialog.Hits()->topLevelItemCount(), rowsAtYes);
    QVERIFY(Button(dialog, 1)->isEnabled());
    QVERIFY(!Button(dialog, 1032)->isEnabled());
    dialog.reject();  // idle: closes
    QVERIFY(!dialog.isVisible());
  }

  void FolderPropertiesShowTheCountsAndWholeMegabytes() {
    FileTree tree;
    QVERIFY(tree.AddFolder("DATA", 10, 2, 1, 0).has_value());
    QVERIFY(tree.AddFolder("SUB", 11, 10, 2, 0).has_value());
    for (std::uint32_t i = 0; i < 3; ++i) {
      QVERIFY(tree.AddFile("BIG" + std::to_string(i), 20 + i, 10, 1 + i, 0, 1048576).has_value());
    }
    QVERIFY(tree.AddFile("E1", 30, 11, 4, 0, 0).has_value());
    QVERIFY(tree.AddFile("E2", 31, 11, 5, 0, 0).has_value());
    const FolderTotals totals = CountFolderTotals(tree, 10);
    PropertiesFields fields;
    fields.name = "DATA";
    fields.size = FolderSizeText(totals);
    fields.contents = ContentsText(totals);
    fields.date = "07-Dec-2006";
    fields.time = "09:05:00";
    PropertiesDialog dialog(fields);
    QCOMPARE(dialog.Value(1013), QStringLiteral("5 File(s) and 1 Folder(s)"));
    QCOMPARE(dialog.Value(1011), QStringLiteral("3 MB"));
    QCOMPARE(dialog.Value(1012), QStringLiteral("DATA"));
    QCOMPARE(dialog.Value(1015), QStringLiteral("07-Dec-2006"));
    QCOMPARE(dialog.Value(1014), QStringLiteral("09:05:00"));
    const FolderTotals empty = CountFolderTotals(tree, 11 + 100);
    QCOMPARE(QString::fromStdString(FolderSizeText(empty)), QStringLiteral("Less than 1 MB"));
    dialog.show();
    QVERIFY(!dialog.Control(2)->isVisible());
  }

  void SavingDialogDrawsSnapshotsAndOnlyTheRunsEndClosesIt() {
    SavingDialog dialog;
    QSignalSpy stops(&dialog, &SavingDialog::StopPressed);
    QSignalSpy skips(&dialog, &SavingDialog::SkipPressed);
    dialog.open();
    dialog.Show({"/docs", "a.txt", "3 of 12", 40});
    QCOMPARE(dialog.FieldText(1069), QStringLiteral("/docs"));
    QCOMPARE(dialog.FieldText(1012), QStringLiteral("a.txt"));
    QCOMPARE(dialog.FieldText(1070), QStringLiteral("3 of 12"));
    // The buttons and Escape only report or do nothing: the run decides.
    QTest::mouseClick(Button(dialog, 1), Qt::LeftButton);
    QTest::mouseClick(Button(dialog, 1049), Qt::LeftButton);
    QTest::keyClick(&dialog, Qt::Key_Escape);
    QCOMPARE(stops.count(), 1);
    QCOMPARE(skips.count(), 1);
    QVERIFY(dialog.isVisible());
    dialog.Finish();
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
  }

  void RestoreDialogFinishesOnlyAtTheEndAndIgnoresEscape() {
    RestoreCompressedDialog dialog;
    dialog.open();
    dialog.SetStatus(QStringLiteral("Restoring broken.gz"));
    QVERIFY(!dialog.FinishButton()->isEnabled());
    QTest::keyClick(&dialog, Qt::Key_Escape);
    QVERIFY(dialog.isVisible());
    dialog.Finish(QStringLiteral("1 files examined, 0 restored, 1 damaged, 0 failed"));
    QVERIFY(dialog.Finished());
    QVERIFY(dialog.Status().contains(QStringLiteral("1 damaged")));
    QTest::keyClick(&dialog, Qt::Key_Escape);
    QVERIFY(dialog.isVisible());
    QTest::mouseClick(dialog.FinishButton(), Qt::LeftButton);
    QVERIFY(!dialog.isVisible());
  }

  void OpenImageDialogGathersTheImageItsMapfileAndFolders() {
    OpenImageDialog dialog({"/srv/vm"});
    QStringList asked;
    dialog.SetFileChooser([&asked](const QString& title, bool folder) {
      asked << title;
      if (folder) return QStringLiteral("/srv/extents");
      return title == QStringLiteral("Open Disk Image") ? QStringLiteral("/cases/drive.img")
                                                        : QStringLiteral("/cases/drive.map");
    });
    dialog.show();
    QVERIFY(!Button(dialog, 1)->isEnabled());  // nothing to open yet
    for (const int browse : {1403, 1406, 1409, 1409}) {
      QTest::mouseClick(Button(dialog, browse), Qt::LeftButton);
    }
    QCOMPARE(asked, (QStringList{"Open Disk Image", "Open Mapfile", "Add Image Folder",
                                 "Add Image Folder"}));
    QVERIFY(Button(dialog, 1)->isEnabled());
    const ImageToOpen chosen = dialog.Chosen();
    QCOMPARE(chosen.path, std::string("/cases/drive.img"));
    QCOMPARE(chosen.mapfile, std::string("/cases/drive.map"));
    QCOMPARE(chosen.imageDirs, (std::vector<std::string>{"/srv/vm", "/srv/extents"}));
    // Remove takes the marked folder out.
    auto* folders = qobject_cast<QListWidget*>(dialog.Control(OpenImageDialog::kFoldersId));
    folders->setCurrentRow(0);
    QTest::mouseClick(Button(dialog, 1410), Qt::LeftButton);
    QCOMPARE(dialog.Chosen().imageDirs, std::vector<std::string>{"/srv/extents"});
    QTest::mouseClick(Button(dialog, 1), Qt::LeftButton);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
  }

  void EveryControlHasAnAccessibleName() {
    const RecoverySettings defaults = RecoverySettings::DefaultsFor(DiskRoute::kNtFamily);
    const FileTree tree;
    std::vector<std::unique_ptr<QDialog>> dialogs;
    dialogs.push_back(std::make_unique<RecoverySettingsDialog>(defaults));
    dialogs.push_back(std::make_unique<FileFiltersDialog>(std::span<const std::string>{}));
    dialogs.push_back(std::make_unique<FindFilesDialog>(tree));
    dialogs.push_back(std::make_unique<SavingDialog>());
    dialogs.push_back(std::make_unique<RestoreCompressedDialog>());
    dialogs.push_back(std::make_unique<PropertiesDialog>(PropertiesFields{}));
    PropertiesFields detailed;
    detailed.details = {{"Inode", "41"}, {"SHA-256", std::string(64, 'a')}};
    dialogs.push_back(std::make_unique<PropertiesDialog>(detailed));
    dialogs.push_back(std::make_unique<OpenImageDialog>(std::vector<std::string>{"/srv/vm"}));
    std::array<DriveField, 8> drive;
    const auto fields = DriveInformationFields(DriveInformation{});
    for (std::size_t i = 0; i < drive.size(); ++i) drive[i] = {fields[i].caption, fields[i].value};
    dialogs.push_back(std::make_unique<DriveInformationDialog>(drive));
    dialogs.push_back(std::make_unique<AboutDialog>());
    for (const auto& dialog : dialogs) {
      for (QWidget* child : dialog->findChildren<QWidget*>()) {
        if (child->objectName().startsWith(QStringLiteral("control"))) {
          // A name of its own, or (a value, empty here) labelled by its caption.
          QAccessibleInterface* face = QAccessible::queryAccessibleInterface(child);
          QVERIFY2(
              !child->accessibleName().isEmpty() || !face->relations(QAccessible::Label).isEmpty(),
              qPrintable(child->objectName()));
        }
      }
    }
  }
};

QTEST_MAIN(DialogsTest)
#include "dialogs_test.moc"
