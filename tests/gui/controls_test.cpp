// The controls' behaviour that the window relies on: colour slots, the
// progress text, the transparent static's repaint, hover tracking, the tree's
// clicks, the menu's item sizes, the tooltip markup and the message box.
#include <QAbstractButton>
#include <QAbstractItemModelTester>
#include <QApplication>
#include <QLabel>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>

#include "gui/controls/artwork.hpp"
#include "gui/controls/colours.hpp"
#include "gui/controls/folder_tree_ctrl.hpp"
#include "gui/controls/html_tooltip.hpp"
#include "gui/controls/image_button.hpp"
#include "gui/controls/image_menu.hpp"
#include "gui/controls/message_box.hpp"
#include "gui/controls/text_progress_ctrl.hpp"
#include "gui/controls/transparent_static.hpp"

using namespace tolvar::gui;
using tolvar::FileTree;
using tolvar::FolderTreeSource;
using tolvar::ViewItem;

class ControlsTest : public QObject {
  Q_OBJECT

 private slots:
  void ColourOffsetsClampPerChannelAndInRange() {
    QCOMPARE(OffsetColour(QColor(10, 240, 100), 30), QColor(40, 255, 130));
    QCOMPARE(OffsetColour(QColor(10, 240, 100), -30), QColor(0, 210, 70));
    // An offset beyond 255 acts as 255: every channel saturates, none wraps.
    QCOMPARE(OffsetColour(QColor(1, 2, 3), 1000), QColor(255, 255, 255));
    QCOMPARE(OffsetColour(QColor(254, 255, 255), -1000), QColor(0, 0, 0));
    QCOMPARE(FromColorRef(0x900000), QColor(0, 0, 0x90));
    QCOMPARE(FromColorRef(0x008000), QColor(0, 0x80, 0));
  }

  void ImageButtonSlotsRefuseIndexesOutsideZeroToFive() {
    CImageButton button;
    QVERIFY(button.SetColor(CImageButton::kBackgroundHover, QColor(10, 240, 100)));
    QVERIFY(button.OffsetColor(CImageButton::kBackgroundHover, 30));
    QCOMPARE(button.Color(CImageButton::kBackgroundHover)->green(), 255);
    QCOMPARE(button.Color(CImageButton::kBackgroundHover)->red(), 40);
    QVERIFY(!button.SetColor(6, Qt::red));
    QVERIFY(!button.OffsetColor(6, 10));
    QVERIFY(!button.SetColor(-1, Qt::red));
    QVERIFY(!button.Color(6).has_value());
    // A refused call leaves the other slots alone.
    QCOMPARE(*button.Color(CImageButton::kTextFocus), button.palette().color(QPalette::ButtonText));
  }

  void ImageButtonTracksTheMouseAndSwapsItsImage() {
    QWidget parent;
    auto* button = new CImageButton(&parent);
    const QPixmap normal = RenderArt(ArtPath(Art::kNext), {32, 32});
    const QPixmap hover = RenderArt(ArtPath(Art::kNextHover), {32, 32});
    button->SetBitmaps(hover, QColor(), normal, QColor());
    button->setGeometry(0, 0, 40, 40);
    parent.resize(60, 60);
    parent.show();
    QVERIFY(QTest::qWaitForWindowExposed(&parent));
    // The pointer may rest over the new window; start from outside.
    QEvent leaveFirst(QEvent::Leave);
    QApplication::sendEvent(button, &leaveFirst);
    QVERIFY(!button->IsHovered());
    const QImage before = button->grab().toImage();

    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
    QApplication::sendEvent(button, &enter);
    QVERIFY(button->IsHovered());
    QVERIFY(button->grab().toImage() != before);

    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(button, &leave);
    QVERIFY(!button->IsHovered());
    QCOMPARE(button->grab().toImage(), before);
  }

  void ProgressShowsThePercentageOfItsRangeOrItsOwnText() {
    CTextProgressCtrl bar;
    bar.setValue(37);
    QCOMPARE(bar.text(), QStringLiteral("37%"));
    bar.setRange(50, 150);
    bar.setValue(87);
    QCOMPARE(bar.text(), QStringLiteral("37%"));
    bar.SetWindowText(QStringLiteral("Reading"));
    QCOMPARE(bar.text(), QStringLiteral("Reading"));
    bar.SetWindowText({});
    QCOMPARE(bar.text(), QStringLiteral("37%"));
    QCOMPARE(bar.BarColor(), QColor(0, 0, 0x90));
  }

  void ProgressDrawsTwoColoursAndNothingOnAnEmptyRange() {
    QWidget parent;
    auto* bar = new CTextProgressCtrl(&parent);
    bar->setGeometry(0, 0, 200, 20);
    bar->SetBackgroundColor(Qt::white);
    bar->setValue(50);
    QImage image = bar->grab().toImage();
    QCOMPARE(image.pixelColor(5, 2), QColor(0, 0, 0x90));
    QCOMPARE(image.pixelColor(195, 2), QColor(Qt::white));

    bar->setRange(0, 0);
    QCOMPARE(bar->text(), QString());
    QImage canvas(200, 20, QImage::Format_ARGB32);
    canvas.fill(Qt::green);
    bar->render(&canvas, QPoint(), QRegion(), QWidget::RenderFlags());
    QCOMPARE(canvas.pixelColor(5, 2), QColor(Qt::green));
    QCOMPARE(canvas.pixelColor(195, 2), QColor(Qt::green));
  }

  void TransparentStaticLeavesNoTraceOfALongerText() {
    // Compares what the screen shows after shortening the text with a fresh
    // window that only ever showed the short text.
    const auto showWith = [](QWidget& parent, const QStringList& texts) {
      parent.setAutoFillBackground(true);
      QPalette pal = parent.palette();
      pal.setColor(QPalette::Window, QColor(200, 220, 240));
      parent.setPalette(pal);
      parent.resize(320, 40);
      auto* label = new CTransparentStatic(QString(), &parent);
      label->setGeometry(10, 10, 300, 20);
      parent.show();
      QVERIFY(QTest::qWaitForWindowExposed(&parent));
      for (const QString& text : texts) {
        label->SetText(text);
        QCoreApplication::processEvents();
      }
    };
    QWidget changed;
    showWith(changed,
             {QStringLiteral("A much longer status text than before"), QStringLiteral("Short")});
    QWidget fresh;
    showWith(fresh, {QStringLiteral("Short")});
    QScreen* screen = QGuiApplication::primaryScreen();
    const QImage a = screen->grabWindow(changed.winId()).toImage();
    const QImage b = screen->grabWindow(fresh.winId()).toImage();
    QVERIFY(!a.isNull());
    QCOMPARE(a, b);
  }

  void TreeClickOnEmptySpaceSelectsTheRoot() {
    CFolderTreeCtrl tree(TreeImages());
    tree.resize(200, 300);
    const QModelIndex root = tree.CreateRoot(QStringLiteral("My Computer"), 4);
    const QModelIndex drive = tree.AddItem(root, QStringLiteral("Storage Device0"), 0, 0);
    tree.expandAll();
    tree.show();
    QVERIFY(QTest::qWaitForWindowExposed(&tree));
    QSignalSpy clicked(&tree, &CFolderTreeCtrl::ItemClicked);

    QTest::mouseClick(tree.viewport(), Qt::LeftButton, {}, tree.visualRect(drive).center());
    QCOMPARE(clicked.count(), 1);
    QCOMPARE(clicked.at(0).at(0).value<QModelIndex>(), drive);
    QCOMPARE(tree.currentIndex(), drive);

    QTest::mouseClick(tree.viewport(), Qt::LeftButton, {}, QPoint(100, 280));
    QCOMPARE(clicked.count(), 2);
    QCOMPARE(clicked.at(1).at(0).value<QModelIndex>(), root);
    QCOMPARE(tree.currentIndex(), root);
  }

  void TreeItemsSwapToTheirSelectedImage() {
    CFolderTreeCtrl tree(TreeImages());
    const QModelIndex root = tree.CreateRoot(QStringLiteral("Root"), 4);
    const QModelIndex folder = tree.AddItem(root, QStringLiteral("etc"), 2, 1);
    const auto key = [](const QModelIndex& index) {
      return index.data(Qt::DecorationRole).value<QIcon>().pixmap(16, 16).toImage();
    };
    QCOMPARE(key(folder), tree.Image(2).pixmap(16, 16).toImage());
    tree.setCurrentIndex(folder);
    QCOMPARE(key(folder), tree.Image(1).pixmap(16, 16).toImage());
    tree.setCurrentIndex(root);
    QCOMPARE(key(folder), tree.Image(2).pixmap(16, 16).toImage());
  }

  // The folders below the root are read from the file tree: each folder's
  // children in list order, items and indexes found both ways, folders the
  // root never reaches left out, and everything gone once the tree is let go.
  void FolderTreeModelReadsTheFileTree() {
    FileTree files;
    const struct {
      const char* name;
      std::uint32_t inode;
      std::uint32_t parent;
    } folders[] = {
        {"docs", 10, 2},  {"zeta", 11, 2},    {"sub", 12, 10},    {"deeper", 13, 12},
        {"more", 14, 10}, {"cycleA", 20, 21}, {"cycleB", 21, 20}, {"later", 15, 2},
    };
    for (const auto& f : folders) {
      QVERIFY(files.AddFolder(f.name, f.inode, f.parent, files.FolderCount(), 1).has_value());
    }
    std::vector<ViewItem> items;
    for (std::uint32_t i = 0; i < files.FolderCount(); ++i) items.push_back(100 + i);
    const FolderTreeSource source{&files, items, [](ViewItem item) {
                                    return item >= 100 && item < 108
                                               ? std::optional<std::uint32_t>(item - 100)
                                               : std::nullopt;
                                  }};

    CFolderTreeCtrl tree(TreeImages());
    QAbstractItemModelTester tester(&tree.Model(),
                                    QAbstractItemModelTester::FailureReportingMode::QtTest);
    const QModelIndex root = tree.CreateRoot(QStringLiteral("Volume"), 4, 1);
    tree.Model().SetFolders(source);
    const auto texts = [&](const QModelIndex& parent) {
      QStringList out;
      for (int row = 0; row < tree.Model().rowCount(parent); ++row) {
        out << tree.Model().index(row, 0, parent).data().toString();
      }
      return out;
    };
    QCOMPARE(texts(root), (QStringList{"docs", "zeta", "later"}));
    const QModelIndex docs = tree.Model().IndexOf(100);
    QCOMPARE(texts(docs), (QStringList{"sub", "more"}));
    const QModelIndex deeper = tree.Model().IndexOf(103);
    QCOMPARE(deeper.data().toString(), QStringLiteral("deeper"));
    QCOMPARE(deeper.parent().parent(), docs);
    QCOMPARE(docs.parent(), root);
    QCOMPARE(tree.Model().IndexOf(107).row(), 2);
    QCOMPARE(tree.Model().ItemOf(tree.Model().index(1, 0, docs)), ViewItem{104});
    QCOMPARE(tree.Model().ItemOf(root), ViewItem{1});
    QVERIFY(!tree.Model().IndexOf(999).isValid());
    QVERIFY(!tree.Model().hasChildren(tree.Model().IndexOf(101)));
    // A folder is drawn with the selected image while it is current.
    tree.setCurrentIndex(deeper);
    QCOMPARE(deeper.data(Qt::DecorationRole).value<QIcon>().pixmap(16, 16).toImage(),
             tree.Image(1).pixmap(16, 16).toImage());
    QCOMPARE(tree.CurrentItem(), ViewItem{103});
    tree.Model().SetFolders({});
    QCOMPARE(tree.Model().rowCount(root), 0);
    QVERIFY(!tree.Model().IndexOf(100).isValid());
  }

  void ImageMenuItemsHaveTheirHeightsAndCommandIds() {
    CImageMenu menu(QStringLiteral("&Recovery"));
    menu.SetItemWidth(150);
    menu.SetItemHeight(20);
    QAction* recover =
        menu.AppendItem(32806, QStringLiteral("&Recover Selected..."), ArtIcon(Art::kFolder));
    QAction* separator = menu.AppendSeparator();
    QAction* exitItem = menu.AppendItem(32774, QStringLiteral("E&xit...\tAlt+F4"), QIcon());
    menu.ensurePolished();
    menu.adjustSize();
    QCOMPARE(menu.actionGeometry(recover).height(), 20);
    QCOMPARE(menu.actionGeometry(separator).height(), CImageMenu::kSeparatorHeight);
    QCOMPARE(menu.actionGeometry(exitItem).width(), 150);
    QCOMPARE(menu.ActionFor(32774), exitItem);
    QCOMPARE(CImageMenu::CommandIdOf(recover), 32806);
    QCOMPARE(menu.ActionFor(1), nullptr);
    // Drawing the items must not disturb Qt's own painting.
    QVERIFY(!menu.grab().isNull());
  }

  void QuickHelpMarkupBecomesRichText() {
    const QString markup = QStringLiteral(
        "<table>\r\n<tr><td><ilst idres=159 cx=32 cy=32 mask width=200% height=200% speed=1>"
        "</td><td><h3>\r\n<h3>Scan Control</h3><br><hr color=green><br><font color=black "
        "size=10pt >Here select the disk area to scan.<br><t><t></font>\tend</td></tr></table>");
    const QString rich = QuickHelpRichText(markup);
    QVERIFY(!rich.contains(QStringLiteral("<ilst")));
    QVERIFY(!rich.contains(QStringLiteral("<font")));
    QVERIFY(!rich.contains(QStringLiteral("<t>")));
    QVERIFY(!rich.contains(QLatin1Char('\t')));
    QVERIFY(rich.contains(QStringLiteral("width=\"64\" height=\"64\"")));
    QVERIFY(rich.contains(QStringLiteral("font-size:10pt")));
    QVERIFY(rich.contains(QStringLiteral("<hr>")));
    QVERIFY(!rich.contains(QStringLiteral("<h3> <h3>")));

    QWidget owner;
    auto* help = new QWidget(&owner);
    CHtmlTooltip tooltip(&owner);
    tooltip.Attach(help, markup);
    tooltip.ShowFor(help, QPoint(10, 10));
    QVERIFY(tooltip.isVisible());
    QVERIFY(tooltip.text().contains(QStringLiteral("Scan Control")));
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(help, &leave);
    QVERIFY(!tooltip.isVisible());
  }

  void MessageBoxCarriesCaptionButtonsIconAndLineBreaks() {
    const auto box = MakeMessageBox(nullptr, QStringLiteral("No partition !! \r\nSelect one."),
                                    QMessageBox::Question, QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(box->windowTitle(), QStringLiteral("Tolvar for SCO OpenServer"));
    QCOMPARE(box->text(), QStringLiteral("No partition !! \nSelect one."));
    QCOMPARE(box->icon(), QMessageBox::Question);
    QCOMPARE(box->standardButtons(), QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(box->palette().brush(QPalette::Window).style(), Qt::LinearGradientPattern);
  }

  void ArtworkLoadsFromTheResources() {
    for (Art art : {Art::kNext, Art::kNextHover, Art::kBack, Art::kBackHover, Art::kStop,
                    Art::kStopHover, Art::kHelp, Art::kComputer, Art::kDrive, Art::kFolder,
                    Art::kFolderOpen, Art::kFile, Art::kAppIcon, Art::kHomeLink}) {
      const QImage image = RenderArt(ArtPath(art), {32, 32}).toImage();
      QVERIFY2(image.pixelColor(16, 16).alpha() > 0 || image.pixelColor(8, 8).alpha() > 0,
               qPrintable(ArtPath(art)));
    }
  }
};

QTEST_MAIN(ControlsTest)
#include "controls_test.moc"
