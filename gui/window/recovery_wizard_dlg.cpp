#include "gui/window/recovery_wizard_dlg.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QMimeDatabase>
#include <QPainter>
#include <QRegularExpression>
#include <QScreen>
#include <QStackedWidget>
#include <QSvgRenderer>
#include <QTimer>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>
#include <cstdio>
#include <cstdlib>

#include "app/browse_view.hpp"
#include "app/drive_list.hpp"
#include "base/thread_role.hpp"
#include "gui/controls/artwork.hpp"
#include "gui/controls/color_button.hpp"
#include "gui/controls/color_label.hpp"
#include "gui/controls/colours.hpp"
#include "gui/controls/folder_tree_ctrl.hpp"
#include "gui/controls/hover_button.hpp"
#include "gui/controls/html_tooltip.hpp"
#include "gui/controls/image_button.hpp"
#include "gui/controls/message_box.hpp"
#include "gui/controls/text_progress_ctrl.hpp"
#include "gui/controls/transparent_static.hpp"
#include "gui/controls/xp_group_box.hpp"
#include "gui/dialogs/file_filters_dialog.hpp"
#include "gui/dialogs/open_image_dialog.hpp"
#include "gui/dialogs/recovery_settings_dialog.hpp"
#include "gui/dialogs/restore_compressed_dialog.hpp"
#include "gui/dialogs/saving_dialog.hpp"
#include "gui/window/anchored_layout.hpp"
#include "gui/window/drive_sources.hpp"
#include "gui/window/entry_list_model.hpp"
#include "gui/window/recovery_mode_dialog.hpp"

namespace tolvar::gui {

namespace {

constexpr const char* kWindowCaption = "Tolvar for SCO OpenServer (HTFS / EAFS)";
constexpr int kWidthUnits = 528;
constexpr int kHeightUnits = 311;

// The quick-help balloons of the two "?" buttons, in their markup.
constexpr const char* kIdentifyHelpMarkup =
    "<table>\r\n<tr><td><ilst idres=159 cx=32 cy=32 mask width=200% height=200% speed=1></td><td>"
    "<h3>\r\n<h3>Volume Identify Options</h3><br><hr color=green><br><h3>Use Partition Table</h3>"
    "\t<font color=black size=10pt >This is fast mode for recovering data.<br><t><t><t></font>"
    "<font color=black size=10pt >          Select this if your volume table is intact.<br><t><t>"
    "<t></font><br><h3>Search Partition</h3>\t<font color=black size=10pt >This is deep and more "
    "efficient method  <br><t><t><t>            for recovering data , select this if  <br><t><t>"
    "<t>           Partition Table is deleted or volume is missing.  <br></td></tr></table>";
constexpr const char* kRangeHelpMarkup =
    "<table>\r\n<tr><td><ilst idres=159 cx=32 cy=32 mask width=200% height=200% speed=1></td><td>"
    "<h3>\r\n<h3>Scan Control</h3><br><hr color=green><br><font color=black size=10pt >Here "
    "select the disk area to scan. Don't change <br></font><font color=black size=10pt >if you "
    "want to scan the whole disk.</td></tr></table>";

QString ToQt(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The background of the pane: our picture stretched to the window, drawn
// again whenever the pane is painted.
class BackgroundPane : public QWidget {
 public:
  explicit BackgroundPane(QWidget* parent) : QWidget(parent) {}

 protected:
  void paintEvent(QPaintEvent*) override {
    if (cache_.size() != size() * devicePixelRatioF()) {
      cache_ = RenderArt(QStringLiteral(":/tolvar/background.svg"), size(), devicePixelRatioF());
    }
    QPainter painter(this);
    painter.drawPixmap(0, 0, cache_);
  }

 private:
  QPixmap cache_;
};

}  // namespace

CRecoveryWizardDlg::CRecoveryWizardDlg(Session& session, DriveSources& drives,
                                       ControllerOptions options, QWidget* parent)
    : QDialog(parent),
      session_(session),
      driveSources_(drives),
      units_(font()),
      homePage_(options.homePage),
      runsAsRoot_(::geteuid() == 0),
      dispatcher_(this) {
  // The window's thread never reads the disk: every read runs on a worker.
  ForbidDiskReadsOnThisThread();
  setWindowTitle(QString::fromLatin1(kWindowCaption));
  setWindowIcon(ArtIcon(Art::kAppIcon));
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
  setAcceptDrops(true);
  if (!options.fileTypeName) {
    // The desktop's name for the file's type, by its name alone; the mime
    // database may be used from any thread.
    options.fileTypeName = [](std::string_view name) -> std::string {
      static const QMimeDatabase database;
      const QMimeType type = database.mimeTypeForFile(ToQt(name), QMimeDatabase::MatchExtension);
      if (!type.isValid() || type.isDefault()) {
        const QString suffix = QFileInfo(ToQt(name)).suffix().toUpper();
        return suffix.isEmpty() ? std::string("File")
                                : (suffix + QStringLiteral(" File")).toStdString();
      }
      return type.comment().toStdString();
    };
  }

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  pane_ = new BackgroundPane(this);
  layout->addWidget(pane_);

  modeDialog_ = new CRecoveryModeDialog(this);
  BuildControls();
  // Every control so far sits at its place of the default size; the layout
  // keeps them there and hands extra room to the tree and the list.
  paneLayout_ = new AnchoredLayout(pane_, QSize(units_.X(kWidthUnits), units_.Y(kHeightUnits)));
  for (QObject* child : pane_->children()) {
    if (auto* widget = qobject_cast<QWidget*>(child); widget != nullptr && !widget->isWindow()) {
      Anchor(widget);
    }
  }
  resize(sizeHint());

  openImageAction_ = new QAction(QStringLiteral("Open Disk Image..."), this);
  openImageAction_->setShortcut(QKeySequence::Open);
  openImageAction_->setShortcutContext(Qt::WindowShortcut);
  addAction(openImageAction_);
  connect(openImageAction_, &QAction::triggered, this, &CRecoveryWizardDlg::OpenDiskImage);

  controller_ = std::make_unique<WizardController>(session_, *this, dispatcher_, workers_,
                                                   std::move(options));
}

CRecoveryWizardDlg::~CRecoveryWizardDlg() {
  // A worker still running is asked to stop and waited for before the
  // controller it reports to goes away.
  session_.state.RequestStop();
  workers_.JoinAll();
  controller_.reset();
  // The rows' icons come from members destroyed before the views are, and
  // the views must not read the file tree the session frees.
  entries_->Clear();
  if (CFolderTreeCtrl* tree = Slot(TreeKind::kFile).tree) tree->Model().SetFolders({});
}

void CRecoveryWizardDlg::Initialise(const std::string& startDirectory) {
  controller_->Startup(startDirectory);
}

void CRecoveryWizardDlg::AddPaneControl(QWidget* widget, const QString& accessibleName) {
  if (paneLayout_ != nullptr && widget->parentWidget() == pane_) Anchor(widget);
  widget->setAccessibleName(accessibleName);
}

QList<int> CRecoveryWizardDlg::SelectedListRows() const {
  QList<int> rows;
  for (const QModelIndex& index : listDetails_->selectionModel()->selectedRows()) {
    rows.append(index.row());
  }
  std::sort(rows.begin(), rows.end());
  return rows;
}

ViewItem CRecoveryWizardDlg::SelectedTreeItem(TreeKind kind) const {
  const CFolderTreeCtrl* tree = Slot(kind).tree;
  return tree == nullptr ? kNoViewItem : tree->CurrentItem();
}

void CRecoveryWizardDlg::Register(WindowControl id, QWidget* widget,
                                  const QString& accessibleName) {
  if (paneLayout_ != nullptr && widget->parentWidget() == pane_) Anchor(widget);
  controls_.insert(static_cast<int>(id), widget);
  widget->setObjectName(QStringLiteral("control%1").arg(static_cast<int>(id)));
  if (!accessibleName.isEmpty()) widget->setAccessibleName(accessibleName);
}

void CRecoveryWizardDlg::BuildControls() {
  QWidget* pane = pane_;
  const QColor labelBlue = FromColorRef(0x900000);

  // Frames first, so the controls inside them are drawn over them.
  auto* listFrame = new QGroupBox(pane);
  listFrame->setGeometry(units_.Rect(153, 57, 371, 200));
  Register(WindowControl::kListFrame, listFrame, QString());

  auto* identifyGroup = new CXPGroupBox(QString(), pane);
  identifyGroup->setGeometry(units_.Rect(176, 206, 123, 47));
  Register(WindowControl::kIdentifyGroup, identifyGroup, QStringLiteral("Volume Identify Options"));
  auto* rangeGroup = new CXPGroupBox(QString(), pane);
  rangeGroup->setGeometry(units_.Rect(329, 206, 167, 47));
  Register(WindowControl::kRangeGroup, rangeGroup, QStringLiteral("Select Range"));

  const auto makeTitle = [&](WindowControl id, const char* text, QRect geometry) {
    auto* title = new CColorLabel(QString::fromLatin1(text), pane);
    title->SetBold(true);
    title->SetTextColor(labelBlue);
    title->SetBackgroundColor(FromColorRef(0xE8E8E8));
    // Bold text of this font may need more room than the classic font did.
    geometry.setWidth(std::max(geometry.width(), title->sizeHint().width() + 2));
    title->setGeometry(geometry);
    title->setAlignment(Qt::AlignCenter);
    Register(id, title, QString::fromLatin1(text));
    return title;
  };
  makeTitle(WindowControl::kIdentifyTitle, "Volume Identify Options",
            units_.Rect(186, 202, 91, 10));
  makeTitle(WindowControl::kRangeTitle, "Select Range", units_.Rect(339, 202, 52, 10));

  usePartitionTable_ = new CColorButton(QStringLiteral("Use Partition Table"), pane);
  usePartitionTable_->setGeometry(units_.Rect(186, 215, 86, 14));
  Register(WindowControl::kUsePartitionTable, usePartitionTable_,
           QStringLiteral("Use Partition Table"));
  searchPartition_ = new CColorButton(QStringLiteral("Search Partition"), pane);
  searchPartition_->setGeometry(units_.Rect(185, 233, 83, 13));
  Register(WindowControl::kSearchPartition, searchPartition_, QStringLiteral("Search Partition"));
  connect(usePartitionTable_, &QAbstractButton::clicked, this,
          [this] { controller_->IdentifyOptionChosen(IdentifyOption::kUsePartitionTable); });
  connect(searchPartition_, &QAbstractButton::clicked, this,
          [this] { controller_->IdentifyOptionChosen(IdentifyOption::kSearchPartition); });

  const auto makeRangeLabel = [&](WindowControl id, const char* text, int y) {
    auto* label = new CColorLabel(QString::fromLatin1(text), pane);
    label->SetBold(true);
    label->SetTextColor(labelBlue);
    label->SetTransparent(true);
    label->setGeometry(units_.Rect(336, y + 1, 60, 10));
    Register(id, label, QString::fromLatin1(text));
    return label;
  };
  const auto makeField = [&](WindowControl id, const char* name, int y, CColorLabel* label) {
    auto* field = new QLineEdit(pane);
    field->setGeometry(units_.Rect(397, y, 76, 12));
    Register(id, field, QString::fromLatin1(name));
    label->setBuddy(field);
    return field;
  };
  startField_ = makeField(WindowControl::kStartField, "Start Sector", 215,
                          makeRangeLabel(WindowControl::kStartLabel, "Start Sector", 215));
  endField_ = makeField(WindowControl::kEndField, "End Sector", 235,
                        makeRangeLabel(WindowControl::kEndLabel, "End Sector", 235));

  // The hover colours of the five image buttons: dark green text and a
  // background 30 steps lighter under the mouse.
  const auto styleImageButton = [&](CImageButton* button) {
    button->DrawTransparent(true);
    button->SetColor(CImageButton::kTextHover, FromColorRef(0x008000));
    button->OffsetColor(CImageButton::kBackgroundHover, 30);
  };
  const auto makeNavButton = [&](WindowControl id, const char* name, Art normal, Art hover,
                                 const char* tooltip, QRect geometry) {
    auto* button = new CImageButton(pane);
    button->setGeometry(geometry);
    const int side = std::min(geometry.width(), geometry.height()) - 4;
    button->setIconSize(QSize(side, side));
    button->SetIcons(ArtIcon(normal), ArtIcon(hover));
    button->SetTooltipText(QString::fromLatin1(tooltip));
    styleImageButton(button);
    Register(id, button, QString::fromLatin1(name));
    return button;
  };
  next_ = makeNavButton(WindowControl::kNext, "Next", Art::kNext, Art::kNextHover,
                        "Go to next step", units_.Rect(459, 260, 33, 30));
  back_ = makeNavButton(WindowControl::kBack, "Back", Art::kBack, Art::kBackHover,
                        "Go to previous step", units_.Rect(404, 260, 33, 30));
  stop_ = makeNavButton(WindowControl::kStop, "Stop", Art::kStop, Art::kStopHover,
                        "Stops the current process", units_.Rect(474, 217, 33, 30));
  connect(next_, &QAbstractButton::clicked, this, &CRecoveryWizardDlg::OnNext);
  connect(back_, &QAbstractButton::clicked, this, [this] { controller_->Back(); });
  connect(stop_, &QAbstractButton::clicked, this, [this] { controller_->Stop(); });

  quickHelpTooltip_ = new CHtmlTooltip(this);
  const auto makeHelpButton = [&](WindowControl id, const char* name, const char* markup,
                                  QRect geometry) {
    auto* button = new CImageButton(pane);
    button->setGeometry(geometry);
    const int side = std::min(geometry.width(), geometry.height());
    button->setIconSize(QSize(side, side));
    button->SetIcons(ArtIcon(Art::kHelp), ArtIcon(Art::kHelp));
    button->setFocusPolicy(Qt::TabFocus);
    styleImageButton(button);
    quickHelpTooltip_->Attach(button, QString::fromLatin1(markup));
    Register(id, button, QString::fromLatin1(name));
    connect(button, &QAbstractButton::clicked, this, [this, button] {
      quickHelpTooltip_->ShowFor(button, button->mapToGlobal(button->rect().bottomLeft()));
    });
    return button;
  };
  makeHelpButton(WindowControl::kIdentifyHelp, "Help on the volume identify options",
                 kIdentifyHelpMarkup, units_.Rect(271, 225, 11, 12));
  makeHelpButton(WindowControl::kRangeHelp, "Help on the scan range", kRangeHelpMarkup,
                 units_.Rect(478, 225, 11, 12));

  progress_ = new CTextProgressCtrl(pane);
  progress_->setGeometry(units_.Rect(156, 226, 294, 12));
  Register(WindowControl::kProgress, progress_, QStringLiteral("Progress"));

  const int rowY[5][2] = {{70, 70}, {89, 88}, {110, 109}, {130, 130}, {149, 149}};
  for (std::size_t row = 0; row < panelRows_.size(); ++row) {
    auto* label = new CColorLabel(QString(), pane);
    label->SetBold(true);
    label->SetTextColor(labelBlue);
    label->SetTransparent(true);
    label->setGeometry(units_.Rect(176, rowY[row][0], 124, 10));
    auto* value = new CTransparentStatic(QString(), pane);
    value->setGeometry(units_.Rect(302, rowY[row][1], 214, 10));
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // The value is read by its text; its caption labels it.
    label->setBuddy(value);
    panelRows_[row] = {label, value};
    Register(kPanelRowControls[row].label, label, QString());
    Register(kPanelRowControls[row].value, value, QString());
  }

  statusLine_ = new CTransparentStatic(QString(), pane);
  statusLine_->setGeometry(units_.Rect(160, 212, 300, 10));
  Register(WindowControl::kStatusLine, statusLine_, QString());
  quickHelp_ = new CTransparentStatic(QString(), pane);
  quickHelp_->setGeometry(units_.Rect(13, 260, 384, 38));
  quickHelp_->setWordWrap(true);
  quickHelp_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  quickHelp_->setContentsMargins(
      quickHelp_->fontMetrics().horizontalAdvance(QString(16, QLatin1Char(' '))), 0, 0, 0);
  Register(WindowControl::kQuickHelp, quickHelp_, QString());

  homeLink_ = new CHoverButton(pane);
  const QRect linkRect = units_.Rect(398, 1, 106, 35);
  homeLink_->SetBitmap(RenderArt(ArtPath(Art::kHomeLink), linkRect.size(), devicePixelRatioF()));
  homeLink_->move(linkRect.topLeft());
  homeLink_->SetTooltipText(QStringLiteral("Click here to visit software home page"));
  // A link never holds the focus, so a key meant for the wizard never opens
  // a browser; the Help menu offers the same page.
  homeLink_->setFocusPolicy(Qt::NoFocus);
  Register(WindowControl::kHomePageLink, homeLink_, QStringLiteral("Home page"));
  connect(homeLink_, &QAbstractButton::clicked, this, [this] { OpenDocument(homePage_, true); });
  // The second link exists for the controller's ids but is never shown.
  auto* secondLink = new CHoverButton(pane);
  const QRect secondRect = units_.Rect(435, 44, 77, 14);
  secondLink->SetBitmap(RenderArt(ArtPath(Art::kHomeLink), secondRect.size(), devicePixelRatioF()));
  secondLink->move(secondRect.topLeft());
  secondLink->SetTooltipText(QStringLiteral("Click here to buy the software"));
  secondLink->setFocusPolicy(Qt::NoFocus);
  secondLink->hide();
  Register(WindowControl::kSecondLink, secondLink, QStringLiteral("Buy online"));
  connect(secondLink, &QAbstractButton::clicked, this, [this] { OpenDocument(homePage_, true); });

  BuildList();

  // Start: the range controls and the list hidden, the radio buttons in one group.
  for (WindowControl id :
       {WindowControl::kRangeGroup, WindowControl::kRangeTitle, WindowControl::kStartLabel,
        WindowControl::kEndLabel, WindowControl::kStartField, WindowControl::kEndField,
        WindowControl::kRangeHelp}) {
    Control(id)->hide();
  }
  list_->hide();
  // Tab order follows the wizard's reading order.
  QWidget::setTabOrder(usePartitionTable_, searchPartition_);
  QWidget::setTabOrder(searchPartition_, startField_);
  QWidget::setTabOrder(startField_, endField_);
  QWidget::setTabOrder(endField_, back_);
  QWidget::setTabOrder(back_, next_);
}

void CRecoveryWizardDlg::BuildList() {
  list_ = new QStackedWidget(pane_);
  list_->setGeometry(units_.Rect(155, 62, 368, 196));
  entries_ = new EntryListModel(
      [this](bool isFolder, QStringView name) {
        return isFolder ? ArtIcon(Art::kFolder) : IconForFile(name.toString());
      },
      this);

  listDetails_ = new QTreeView(list_);
  listDetails_->setModel(entries_);
  listDetails_->setRootIsDecorated(false);
  listDetails_->setItemsExpandable(false);
  listDetails_->setUniformRowHeights(true);
  listDetails_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  listDetails_->setSelectionBehavior(QAbstractItemView::SelectRows);
  listDetails_->setEditTriggers(QAbstractItemView::EditKeyPressed);
  listDetails_->setIconSize(QSize(16, 16));
  listDetails_->setAccessibleName(QStringLiteral("Folder contents"));
  listDetails_->setItemDelegate(new EntryItemDelegate(listDetails_));
  // A header click sorts by its column; the disk's own order (no column)
  // until then, and again whenever a folder is listed anew.
  QHeaderView* header = listDetails_->header();
  header->setSortIndicatorClearable(true);
  header->setSortIndicator(-1, Qt::AscendingOrder);
  header->setSectionsClickable(true);
  header->setSortIndicatorShown(true);
  connect(header, &QHeaderView::sortIndicatorChanged, this,
          [this](int column, Qt::SortOrder order) { entries_->sort(column, order); });

  listIcons_ = new QListView(list_);
  listIcons_->setModel(entries_);
  listIcons_->setSelectionModel(listDetails_->selectionModel());
  listIcons_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  listIcons_->setEditTriggers(QAbstractItemView::EditKeyPressed);
  listIcons_->setIconSize(QSize(16, 16));
  listIcons_->setResizeMode(QListView::Adjust);
  listIcons_->setMovement(QListView::Static);
  listIcons_->setUniformItemSizes(true);
  listIcons_->setWrapping(true);
  listIcons_->setAccessibleName(QStringLiteral("Folder contents"));
  listIcons_->setItemDelegate(new EntryItemDelegate(listIcons_));

  list_->addWidget(listDetails_);
  list_->addWidget(listIcons_);
  Register(WindowControl::kBrowseList, list_, QStringLiteral("Folder contents"));
  for (QAbstractItemView* view : {static_cast<QAbstractItemView*>(listDetails_),
                                  static_cast<QAbstractItemView*>(listIcons_)}) {
    connect(view, &QAbstractItemView::clicked, this, [this] { controller_->ListClicked(); });
    connect(view, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& index) {
      controller_->ListClicked();
      // A folder row opens its folder; files are opened by the commands.
      const std::optional<ListRow> entry = ListEntry(index.row());
      if (entry && IsFolderRowType(entry->type)) controller_->OpenFolder(entry->key);
    });
  }
}

QLabel* CRecoveryWizardDlg::CaptionOf(WindowControl value) const {
  for (std::size_t row = 0; row < panelRows_.size(); ++row) {
    if (kPanelRowControls[row].value == value) return panelRows_[row].label;
  }
  return nullptr;
}

QAbstractItemModel* CRecoveryWizardDlg::ListModel() const { return entries_; }

std::optional<ListRow> CRecoveryWizardDlg::ListEntry(int viewRow) const {
  return entries_->Entry(viewRow);
}

void CRecoveryWizardDlg::ListEntryRenamed(int viewRow) { entries_->NameChanged(viewRow); }

int CRecoveryWizardDlg::ListRowOfKey(std::uint64_t key, bool folder) const {
  return entries_->RowOfKey(key, folder);
}

QWidget* CRecoveryWizardDlg::ListWidget() const { return list_; }

QWidget* CRecoveryWizardDlg::Control(WindowControl control) const {
  return controls_.value(static_cast<int>(control), nullptr);
}

CFolderTreeCtrl* CRecoveryWizardDlg::Tree(TreeKind kind) const { return Slot(kind).tree; }

QModelIndex CRecoveryWizardDlg::TreeItem(TreeKind kind, ViewItem item) const {
  const CFolderTreeCtrl* tree = Slot(kind).tree;
  return tree == nullptr ? QModelIndex() : tree->Model().IndexOf(item);
}

void CRecoveryWizardDlg::SetMenuBar(QMenuBar* menuBar) {
  static_cast<QVBoxLayout*>(layout())->setMenuBar(menuBar);
}

void CRecoveryWizardDlg::RegisterCommandAction(MenuCommand command, QAction* action) {
  const int id = static_cast<int>(command);
  commandActions_.insert(id, action);
  if (commandStates_.contains(id)) action->setEnabled(commandStates_.value(id));
}

bool CRecoveryWizardDlg::MenuCommandEnabled(MenuCommand command) const {
  return commandStates_.value(static_cast<int>(command), true);
}

QRect CRecoveryWizardDlg::TreePlace() const {
  // The left pane's tree sits at fixed pixels of the classic 6 by 13 base
  // units (5, 98 to 228, 418); scaled here with the window's own units so
  // it keeps meeting the right pane.
  const auto x = [this](int pixels) { return pixels * units_.BaseX() / 6; };
  const auto y = [this](int pixels) { return pixels * units_.BaseY() / 13; };
  return {QPoint(x(5), y(98)), QPoint(x(228), y(418))};
}

void CRecoveryWizardDlg::PlaceTree(CFolderTreeCtrl* tree) {
  tree->setGeometry(TreePlace());
  Anchor(tree);
}

void CRecoveryWizardDlg::Anchor(QWidget* widget) {
  if (paneLayout_ == nullptr) return;
  // The share of extra width the tree takes; the list takes the rest.
  const QRect tree = TreePlace();
  const QRect frame = units_.Rect(153, 57, 371, 200);
  const double treeShare =
      static_cast<double>(tree.width()) / static_cast<double>(tree.width() + frame.width());
  const QRect place = widget->geometry();
  tolvar::gui::Anchor anchor;
  const bool isTree = qobject_cast<CFolderTreeCtrl*>(widget) != nullptr;
  if (isTree) {
    anchor = {0, treeShare, 0, 1};
  } else if (widget == list_ || widget == Control(WindowControl::kListFrame)) {
    anchor = {treeShare, 1 - treeShare, 0, 1};
  } else if (place.top() < frame.top()) {
    // The top row: the tool buttons stay left, the home-page link right.
    anchor = {place.left() >= units_.X(300) ? 1.0 : 0.0, 0, 0, 0};
  } else if (place.top() >= frame.bottom() - units_.Y(60) && place.left() < frame.left()) {
    anchor = {0, treeShare, 1, 0};  // the quick-help text under the tree
  } else if (place.top() >= frame.bottom() - units_.Y(60)) {
    // Below the list: the same place relative to the right pane's width.
    const double across =
        static_cast<double>(place.center().x() - frame.left()) / static_cast<double>(frame.width());
    anchor = {treeShare + (1 - treeShare) * std::clamp(across, 0.0, 1.0), 0, 1, 0};
  } else {
    anchor = {treeShare, 0, 0, 0};  // the information panel inside the list's frame
  }
  paneLayout_->AddWidget(widget, place, anchor);
}

void CRecoveryWizardDlg::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  FitScreen();
  // Once the window manager has framed the window its frame is known: fit
  // again with the real title bar and borders.
  QTimer::singleShot(250, this, &CRecoveryWizardDlg::FitScreen);
}

void CRecoveryWizardDlg::FitScreen() {
  // The default size, or the screen's free area when that is smaller, is
  // the least the window takes; it never starts larger than that area, and
  // its title bar stays on the screen.
  const QScreen* screen = this->screen();
  if (screen == nullptr) return;
  const QRect available = screen->availableGeometry();
  QSize frameExtra = frameGeometry().size() - geometry().size();
  if (frameExtra.isEmpty()) {
    // Not framed yet: room for a title bar and borders.
    frameExtra = QSize(8, fontMetrics().height() * 2 + 8);
  }
  const QSize room = available.size() - frameExtra;
  setMinimumSize(sizeHint().boundedTo(room));
  if (width() > room.width() || height() > room.height()) resize(size().boundedTo(room));
  const QRect frame = frameGeometry();
  if (frame.top() < available.top() || frame.left() < available.left()) {
    move(std::max(frame.left(), available.left()), std::max(frame.top(), available.top()));
  }
}

// ---- WizardView: controls ----

void CRecoveryWizardDlg::ShowButton(WizardButton button, bool shown) {
  CImageButton* widget = button == WizardButton::kNext   ? next_
                         : button == WizardButton::kBack ? back_
                                                         : stop_;
  if (!shown && widget->hasFocus()) {
    // The button that was pressed goes with the step it belonged to: the
    // focus moves to the left tree, not to whatever control follows it.
    for (const TreeSlot& slot : trees_) {
      if (slot.tree != nullptr && slot.tree->isVisibleTo(this) && slot.tree->isEnabled()) {
        slot.tree->setFocus(Qt::OtherFocusReason);
        break;
      }
    }
  }
  widget->setVisible(shown);
  widget->setEnabled(shown);
}

void CRecoveryWizardDlg::ShowSection(PaneSection section, bool shown) {
  switch (section) {
    case PaneSection::kIdentifyOptions:
      for (const WindowControl id : {WindowControl::kIdentifyGroup, WindowControl::kIdentifyTitle,
                                     WindowControl::kIdentifyHelp}) {
        Control(id)->setVisible(shown);
      }
      for (QWidget* option : {usePartitionTable_, searchPartition_}) {
        option->setVisible(shown);
        option->setEnabled(shown);
      }
      return;
    case PaneSection::kSectorRange:
      for (const WindowControl id :
           {WindowControl::kRangeTitle, WindowControl::kRangeGroup, WindowControl::kEndField,
            WindowControl::kStartField, WindowControl::kStartLabel, WindowControl::kEndLabel,
            WindowControl::kRangeHelp}) {
        Control(id)->setVisible(shown);
      }
      return;
    case PaneSection::kProgress:
      progress_->setVisible(shown);
      return;
    case PaneSection::kStatusLine:
      statusLine_->setVisible(shown);
      return;
  }
}

void CRecoveryWizardDlg::SetStatusText(std::string_view text) { statusLine_->SetText(Text(text)); }

void CRecoveryWizardDlg::SetQuickHelp(std::string_view text) {
  // Each line comes as CR LF and sixteen blanks, spacing meant for one fixed
  // width. The label indents every line (wrapped ones too) by the width of
  // those blanks instead, and runs of blanks inside a line shrink to one.
  static const QRegularExpression innerBlanks(QStringLiteral("(?<=\\S) {2,}(?=\\S)"));
  QStringList lines = Text(text).split(QLatin1Char('\n'));
  if (!lines.isEmpty() && lines.front().trimmed().isEmpty()) lines.removeFirst();
  for (QString& line : lines) {
    line = line.trimmed();
    line.replace(innerBlanks, QStringLiteral(" "));
  }
  quickHelp_->SetText(lines.join(QLatin1Char('\n')));
}

void CRecoveryWizardDlg::SetProgress(int position) {
  progress_->setValue(std::clamp(position, 0, 100));
}

void CRecoveryWizardDlg::CheckIdentifyOption(IdentifyOption option) {
  const bool search = option == IdentifyOption::kSearchPartition;
  searchPartition_->setChecked(search);
  usePartitionTable_->setChecked(!search);
}

void CRecoveryWizardDlg::SetSectorRange(const SectorRangeText& range) {
  startField_->setText(ToQt(range.start));
  endField_->setText(ToQt(range.end));
}

SectorRangeText CRecoveryWizardDlg::ReadSectorRange() {
  return {startField_->text().toStdString(), endField_->text().toStdString()};
}

void CRecoveryWizardDlg::SetPanel(const PanelLayout& layout) {
  for (std::size_t row = 0; row < panelRows_.size(); ++row) {
    PanelRowWidgets& widgets = panelRows_[row];
    const bool used = row < layout.rows.size();
    if (used) {
      widgets.label->setText(ToQt(layout.rows[row].label));
      widgets.value->SetText(ToQt(layout.rows[row].value));
    } else if (layout.clearsFirst) {
      widgets.label->clear();
      widgets.value->SetText(QString());
    }
    widgets.label->setVisible(used);
    widgets.value->setVisible(used);
  }
  statusLine_->setVisible(layout.statusShown);
  statusLine_->SetText(ToQt(layout.statusText));
  if (!layout.quickHelp.empty()) SetQuickHelp(layout.quickHelp);
}

void CRecoveryWizardDlg::ShowDriveFigures(const DriveFigures& figures) {
  for (const PanelRow& row : PanelRowsOf(figures)) SetPanelValue(row.label, row.value);
}

void CRecoveryWizardDlg::ShowVolumeFigures(const VolumeFigures& figures) {
  for (const PanelRow& row : PanelRowsOf(figures)) SetPanelValue(row.label, row.value);
}

void CRecoveryWizardDlg::ShowProgress(const ProgressSnapshot& snapshot) {
  for (const PanelRow& row : snapshot.values) SetPanelValue(row.label, row.value);
  if (snapshot.status) SetStatusText(*snapshot.status);
  if (snapshot.position) SetProgress(*snapshot.position);
}

void CRecoveryWizardDlg::SetPanelValue(std::string_view label, std::string_view value) {
  const QString wanted = ToQt(label);
  for (PanelRowWidgets& widgets : panelRows_) {
    if (widgets.label->text() == wanted) {
      widgets.value->SetText(ToQt(value));
      return;
    }
  }
  // Labels carry trailing blanks; a caller that left them out still finds
  // its row.
  for (PanelRowWidgets& widgets : panelRows_) {
    if (widgets.label->text().trimmed() == wanted.trimmed()) {
      widgets.value->SetText(ToQt(value));
      return;
    }
  }
}

// ---- WizardView: trees ----

void CRecoveryWizardDlg::CreateTree(TreeKind kind, ViewItem root, std::string_view text,
                                    TreeImage image) {
  TreeSlot& slot = Slot(kind);
  if (slot.tree != nullptr) {
    // The old tree lets go of the file tree now: it may be refilled before
    // the widget is gone.
    slot.tree->Model().SetFolders({});
    slot.tree->hide();
    slot.tree->deleteLater();
  }
  slot.tree = new CFolderTreeCtrl(TreeImages(), pane_);
  PlaceTree(slot.tree);
  static const char* const kTreeNames[] = {"Disks", "Partitions", "Folders"};
  slot.tree->setAccessibleName(QString::fromLatin1(kTreeNames[static_cast<int>(kind)]));
  slot.tree->CreateRoot(ToQt(text), static_cast<int>(image), root);
  connect(slot.tree, &CFolderTreeCtrl::ItemClicked, this,
          [this, kind](const QModelIndex& item) { OnTreeItemClicked(kind, item); });
  if (kind == TreeKind::kDisk) {
    // The disk tree offers adding an image with a right click as well.
    slot.tree->setContextMenuPolicy(Qt::ActionsContextMenu);
    slot.tree->addAction(openImageAction_);
  }
  // Tab goes tree, list, the options and fields, then the buttons.
  QWidget::setTabOrder(slot.tree, listDetails_);
  QWidget::setTabOrder(listDetails_, listIcons_);
  QWidget::setTabOrder(listIcons_, usePartitionTable_);
  slot.tree->show();
  FocusTreeIfLost();
}

void CRecoveryWizardDlg::FocusTreeIfLost() {
  // After a step change the focus goes to the left tree unless it rests on
  // a control the user can still use.
  QWidget* focused = QApplication::focusWidget();
  const bool usable = focused != nullptr && focused->window() == this && focused->isVisible() &&
                      focused->isEnabled() && focused->focusPolicy() != Qt::NoFocus;
  if (usable) return;
  for (const TreeSlot& slot : trees_) {
    if (slot.tree != nullptr && slot.tree->isVisibleTo(this) && slot.tree->isEnabled()) {
      slot.tree->setFocus(Qt::OtherFocusReason);
      return;
    }
  }
}

void CRecoveryWizardDlg::AddTreeItem(TreeKind kind, ViewItem parent, ViewItem item,
                                     std::string_view text, TreeImage image,
                                     TreeImage selectedImage) {
  TreeSlot& slot = Slot(kind);
  if (slot.tree == nullptr) return;
  const QModelIndex parentItem = TreeItem(kind, parent);
  if (!parentItem.isValid()) return;
  const QModelIndex added = slot.tree->AddItem(parentItem, ToQt(text), static_cast<int>(image),
                                               static_cast<int>(selectedImage), item);
  if (kind == TreeKind::kDisk) OnDriveItemAdded(added, ToQt(text));
}

void CRecoveryWizardDlg::OnDriveItemAdded(const QModelIndex& item, const QString& text) {
  const auto index = DriveIndexFromItemText(text.toStdString());
  if (!index || *index >= session_.drives.listedCount) return;
  const DriveInfo& drive = session_.drives.Slot(*index);
  FolderTreeModel& model = Slot(TreeKind::kDisk).tree->Model();
  model.SetToolTip(item, QStringLiteral("%1\n%2").arg(QString::fromStdString(drive.model),
                                                      QString::fromStdString(drive.devicePath)));
  if (const auto reason = UnreadableReason(drive.devicePath)) {
    // Listed with the reason, so the user sees why before choosing it.
    model.SetText(item, QStringLiteral("%1 (%2)").arg(text, QString::fromStdString(*reason)));
    model.SetForeground(item, palette().brush(QPalette::Disabled, QPalette::Text));
    model.SetToolTip(item, QString::fromStdString(drive.devicePath + ": " + *reason));
  }
}

void CRecoveryWizardDlg::SetTreeItemText(TreeKind kind, ViewItem item, std::string_view text) {
  if (CFolderTreeCtrl* tree = Slot(kind).tree)
    tree->Model().SetText(TreeItem(kind, item), ToQt(text));
}

void CRecoveryWizardDlg::ExpandTreeItem(TreeKind kind, ViewItem item) {
  if (CFolderTreeCtrl* tree = Slot(kind).tree) tree->expand(TreeItem(kind, item));
}

void CRecoveryWizardDlg::SelectTreeItem(TreeKind kind, ViewItem item) {
  TreeSlot& slot = Slot(kind);
  const QModelIndex found = TreeItem(kind, item);
  if (slot.tree == nullptr || !found.isValid()) return;
  // Selected quietly, so the controller is not called back.
  slot.tree->SelectQuietly(found);
  slot.tree->scrollTo(found);
}

void CRecoveryWizardDlg::ShowFolders(const FolderTreeSource& folders) {
  if (CFolderTreeCtrl* tree = Slot(TreeKind::kFile).tree) tree->Model().SetFolders(folders);
}

void CRecoveryWizardDlg::ShowTree(TreeKind kind, bool shown) {
  if (CFolderTreeCtrl* tree = Slot(kind).tree) tree->setVisible(shown);
  FocusTreeIfLost();
}

void CRecoveryWizardDlg::EnableTree(TreeKind kind, bool enabled) {
  if (CFolderTreeCtrl* tree = Slot(kind).tree) tree->setEnabled(enabled);
  FocusTreeIfLost();
}

void CRecoveryWizardDlg::OnTreeItemClicked(TreeKind kind, const QModelIndex& item) {
  const CFolderTreeCtrl* tree = Slot(kind).tree;
  const ViewItem id = tree == nullptr ? kNoViewItem : tree->Model().ItemOf(item);
  controller_->TreeClicked(kind, id);
  if (kind == TreeKind::kDisk && session_.state.step == WizardStep::kDisk &&
      id != controller_->RootItem(kind)) {
    if (const auto problem = ChosenDriveProblem()) ShowMessage(*problem, MessageKind::kError);
  }
}

std::optional<std::string> CRecoveryWizardDlg::ChosenDriveProblem() const {
  if (session_.drives.listedCount == 0 || session_.drives.Route() == DiskRoute::kLegacyBios) {
    return std::nullopt;
  }
  const DriveInfo& drive = session_.drives.Current();
  const auto reason = UnreadableReason(drive.devicePath);
  if (!reason) return std::nullopt;
  return AccessAdvice(DriveItemText(session_.drives.currentDrive), drive.devicePath, *reason);
}

void CRecoveryWizardDlg::OnNext() {
  // A drive the user may not read would only look empty: say how to get
  // access instead of searching it.
  if (session_.state.step == WizardStep::kDisk) {
    if (const auto problem = ChosenDriveProblem()) {
      ShowMessage(*problem, MessageKind::kError);
      return;
    }
  }
  controller_->Next();
}

// ---- WizardView: the list ----

void CRecoveryWizardDlg::ClearList() {
  entries_->Clear();
  ShowDiskOrder();
}

void CRecoveryWizardDlg::ShowDiskOrder() {
  // No column sorts: the rows as the disk lists them. Set after a model
  // reset, which may put the header's indicator back on a column.
  listDetails_->header()->setSortIndicator(-1, Qt::AscendingOrder);
  entries_->sort(-1);
}

void CRecoveryWizardDlg::SetListColumns(std::span<const ListColumn> columns) {
  entries_->SetColumns(columns);
  ShowDiskOrder();
  for (std::size_t i = 0; i < columns.size(); ++i) {
    listDetails_->setColumnWidth(static_cast<int>(i), columns[i].widthPixels);
  }
}

QIcon CRecoveryWizardDlg::IconForFile(const QString& name) const {
  static const QMimeDatabase database;
  const QMimeType type = database.mimeTypeForFile(name, QMimeDatabase::MatchExtension);
  const QString key = type.name();
  const auto found = fileIcons_.constFind(key);
  if (found != fileIcons_.constEnd()) return *found;
  QIcon icon = QIcon::fromTheme(type.iconName(),
                                QIcon::fromTheme(type.genericIconName(), ArtIcon(Art::kFile)));
  fileIcons_.insert(key, icon);
  return icon;
}

void CRecoveryWizardDlg::ShowListEntries(const FolderListing& listing) {
  entries_->SetListing(listing);
  ShowDiskOrder();
}

void CRecoveryWizardDlg::SetListViewMode(ListViewMode mode) {
  switch (mode) {
    case ListViewMode::kDetails:
      list_->setCurrentWidget(listDetails_);
      return;
    case ListViewMode::kIcons: {
      // Large icons on a grid, each label wrapped below its icon in a cell
      // wide enough for about twelve characters and three lines.
      listIcons_->setViewMode(QListView::IconMode);
      listIcons_->setFlow(QListView::LeftToRight);
      listIcons_->setIconSize(QSize(32, 32));
      listIcons_->setWordWrap(true);
      listIcons_->setTextElideMode(Qt::ElideRight);
      const QFontMetrics metrics(listIcons_->font());
      listIcons_->setGridSize(
          QSize(metrics.averageCharWidth() * 14, 32 + metrics.lineSpacing() * 3 + 8));
      listIcons_->setSpacing(0);
      break;
    }
    case ListViewMode::kList:
      listIcons_->setViewMode(QListView::ListMode);
      listIcons_->setFlow(QListView::TopToBottom);
      listIcons_->setIconSize(QSize(16, 16));
      listIcons_->setWordWrap(false);
      listIcons_->setGridSize(QSize());
      break;
  }
  listIcons_->setMovement(QListView::Static);
  listIcons_->setWrapping(true);
  list_->setCurrentWidget(listIcons_);
}

void CRecoveryWizardDlg::SetListGridAndFullRow() {
  listDetails_->setSelectionBehavior(QAbstractItemView::SelectRows);
  listDetails_->setAlternatingRowColors(false);
}

void CRecoveryWizardDlg::ShowList(bool shown) { list_->setVisible(shown); }

void CRecoveryWizardDlg::EnableMenuCommand(MenuCommand command, bool enabled) {
  const int id = static_cast<int>(command);
  commandStates_.insert(id, enabled);
  if (QAction* action = commandActions_.value(id)) action->setEnabled(enabled);
}

// ---- WizardView: messages and dialogs ----

void CRecoveryWizardDlg::ShowMessage(std::string_view text, MessageKind kind) {
  messenger_.Show(text, kind);
}

Answer CRecoveryWizardDlg::AskYesNo(std::string_view text, MessageKind kind) {
  return messenger_.Ask(text, kind);
}

std::optional<RecoveryMode> CRecoveryWizardDlg::AskRecoveryMode() {
  if (modeAnswerer_) return modeAnswerer_();
  return modeDialog_->Ask();
}

std::optional<RecoverySettings> CRecoveryWizardDlg::AskRecoverySettings(
    const RecoverySettings& current) {
  return RecoverySettingsDialog::Ask(this, current);
}

std::optional<std::vector<std::string>> CRecoveryWizardDlg::AskFileFilters(
    std::span<const std::string> current) {
  return FileFiltersDialog::Ask(this, current, messenger_.Answerer());  // every close stores
}

std::optional<std::filesystem::path> CRecoveryWizardDlg::AskDestinationFolder() {
  const QString folder = QFileDialog::getExistingDirectory(
      this, QStringLiteral("Select the folder that receives the recovered files"));
  if (folder.isEmpty()) return std::nullopt;
  return std::filesystem::path(folder.toStdString());
}

SavingDialog* CRecoveryWizardDlg::OpenSaving() const { return savingDialog_.data(); }
RestoreCompressedDialog* CRecoveryWizardDlg::OpenRestore() const { return restoreDialog_.data(); }

void CRecoveryWizardDlg::OpenSavingDialog() {
  if (savingDialog_) savingDialog_->deleteLater();
  savingDialog_ = new SavingDialog(this);
  connect(savingDialog_, &SavingDialog::StopPressed, this, [this] { controller_->StopSaving(); });
  connect(savingDialog_, &SavingDialog::SkipPressed, this, [this] { controller_->SkipFile(); });
  connect(savingDialog_, &QDialog::finished, savingDialog_, &QObject::deleteLater);
  // Modal to the window, and this call returns: the run reports to the
  // window's event loop.
  savingDialog_->open();
}

void CRecoveryWizardDlg::ShowSavingProgress(const SavingSnapshot& snapshot) {
  if (savingDialog_) savingDialog_->Show(snapshot);
}

void CRecoveryWizardDlg::CloseSavingDialog() {
  if (savingDialog_) savingDialog_->Finish();
}

void CRecoveryWizardDlg::OpenRestoreDialog() {
  if (restoreDialog_) restoreDialog_->deleteLater();
  restoreDialog_ = new RestoreCompressedDialog(this);
  connect(restoreDialog_, &QDialog::finished, restoreDialog_, &QObject::deleteLater);
  restoreDialog_->open();
}

void CRecoveryWizardDlg::ShowRestoreStatus(std::string_view text) {
  if (restoreDialog_) restoreDialog_->SetStatus(ToQt(text));
}

void CRecoveryWizardDlg::RestoreEnded(std::string_view summary) {
  if (restoreDialog_) restoreDialog_->Finish(ToQt(summary));
}

void CRecoveryWizardDlg::OpenDocument(std::string_view pathOrAddress, bool) {
  const QUrl url = QUrl::fromUserInput(ToQt(pathOrAddress));
  const std::string where = (url.isLocalFile() ? url.toLocalFile() : url.toString()).toStdString();
  if (runsAsRoot_) {
    // A program started from here would run with root's rights: none is
    // started. On the way out nothing is said; otherwise the user is told
    // what to open by hand.
    if (!controller_->Leaving())
      ShowMessage(RootWillNotOpenMessage(where), MessageKind::kInformation);
    return;
  }
  if (documentOpener_) {
    documentOpener_(pathOrAddress);
    return;
  }
  if (!QDesktopServices::openUrl(url) && !controller_->Leaving()) {
    ShowMessage(NoHandlerMessage(where, url.isLocalFile()), MessageKind::kError);
  }
}

std::string RootWillNotOpenMessage(std::string_view where) {
  return fmt::format(
      "Tolvar runs as root, so it starts no other program.\r\n\r\nTo see it, open this "
      "yourself as your own user:\r\n{}",
      where);
}

std::string NoHandlerMessage(std::string_view where, bool localFile) {
  if (localFile) {
    return fmt::format("No program is set up to open this file. It is at:\r\n{}", where);
  }
  return fmt::format("No web browser could be started for:\r\n{}", where);
}

void CRecoveryWizardDlg::CloseWindow() {
  closeApproved_ = true;
  close();
}

void CRecoveryWizardDlg::EndProcess() {
  if (processEnder_) {
    processEnder_();
    return;
  }
  std::fflush(nullptr);
  std::_Exit(0);
}

// ---- window events ----

void CRecoveryWizardDlg::closeEvent(QCloseEvent* event) {
  if (closeApproved_ || controller_->CloseRequested() == CloseDecision::kClose) {
    closeApproved_ = true;
    event->accept();
    return;
  }
  event->ignore();
}

void CRecoveryWizardDlg::keyPressEvent(QKeyEvent* event) {
  // Esc goes to the focused control only and never closes the window; Enter
  // never presses a default button.
  if (event->key() == Qt::Key_Escape || event->key() == Qt::Key_Return ||
      event->key() == Qt::Key_Enter) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

bool CRecoveryWizardDlg::AddDiskImage(const QString& path, const QString& mapfile) {
  if (session_.state.step != WizardStep::kDisk || controller_->WorkerRunning()) {
    ShowMessage("A disk image can be added on the first step only.", MessageKind::kInformation);
    return false;
  }
  while (true) {
    auto added = driveSources_.AddImage(session_.drives, path.toStdString(), mapfile.toStdString(),
                                        &session_.rescueMaps);
    if (added) break;
    if (!NeedsImageDir(added.error())) {
      ShowMessage(added.error().message, MessageKind::kError);
      return false;
    }
    // A file the image names lies elsewhere: a folder the user names may
    // hold it; the image is tried again with it.
    if (AskYesNo(ImageFolderQuestion(added.error()), MessageKind::kQuestion) != Answer::kYes) {
      return false;
    }
    const QString folder =
        folderChooser_ ? folderChooser_()
                       : QFileDialog::getExistingDirectory(this, QStringLiteral("Image Folder"));
    if (folder.isEmpty()) return false;
    driveSources_.AddImageDir(folder.toStdString());
  }
  RebuildDiskTree();
  return true;
}

void CRecoveryWizardDlg::RebuildDiskTree() { (void)controller_->DrivesChanged(); }

void CRecoveryWizardDlg::OpenDiskImage() {
  OpenImageDialog dialog(driveSources_.ImageDirs(), this);
  if (dialog.exec() != QDialog::Accepted) return;
  const ImageToOpen chosen = dialog.Chosen();
  driveSources_.SetImageDirs(chosen.imageDirs);
  if (!chosen.path.empty()) {
    AddDiskImage(QString::fromStdString(chosen.path), QString::fromStdString(chosen.mapfile));
  }
}

void CRecoveryWizardDlg::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls() && session_.state.step == WizardStep::kDisk)
    event->acceptProposedAction();
}

void CRecoveryWizardDlg::dropEvent(QDropEvent* event) {
  for (const QUrl& url : event->mimeData()->urls()) {
    if (url.isLocalFile()) AddDiskImage(url.toLocalFile());
  }
  event->acceptProposedAction();
}

}  // namespace tolvar::gui
