#pragma once

#include <QDialog>
#include <QHash>
#include <QPointer>
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/session.hpp"
#include "app/wizard_controller.hpp"
#include "app/wizard_view.hpp"
#include "gui/dialogs/dialog_frame.hpp"
#include "gui/window/qt_dispatcher.hpp"

class QAction;
class QLabel;
class QGroupBox;
class QLineEdit;
class QListView;
class QMenuBar;
class QStackedWidget;
class QAbstractItemModel;
class QTreeView;
class QTreeWidgetItem;

namespace tolvar::gui {

class CColorButton;
class CColorLabel;
class CFolderTreeCtrl;
class CHoverButton;
class CHtmlTooltip;
class CImageButton;
class CRecoveryModeDialog;
class RestoreCompressedDialog;
class SavingDialog;
class CTextProgressCtrl;
class CTransparentStatic;
class CXPGroupBox;
class AnchoredLayout;
struct Anchor;
class DriveSources;
class EntryItemDelegate;
class EntryListModel;
class EntrySortProxy;

// The window's own controls, by name: the commands and the tests reach them.
enum class WindowControl {
  kBrowseList,
  kListFrame,
  kIdentifyGroup,
  kIdentifyTitle,
  kUsePartitionTable,
  kSearchPartition,
  kIdentifyHelp,
  kRangeGroup,
  kRangeTitle,
  kStartLabel,
  kStartField,
  kEndLabel,
  kEndField,
  kRangeHelp,
  kNext,
  kBack,
  kStop,
  kProgress,
  kStatusLine,
  kQuickHelp,
  kHomePageLink,
  kSecondLink,
  kPanelLabel1,
  kPanelValue1,
  kPanelLabel2,
  kPanelValue2,
  kPanelLabel3,
  kPanelValue3,
  kPanelLabel4,
  kPanelValue4,
  kPanelLabel5,
  kPanelValue5,
};

// The five rows of the information panel, label and value, in order.
struct PanelRowControls {
  WindowControl label;
  WindowControl value;
};
inline constexpr PanelRowControls kPanelRowControls[5] = {
    {WindowControl::kPanelLabel1, WindowControl::kPanelValue1},
    {WindowControl::kPanelLabel2, WindowControl::kPanelValue2},
    {WindowControl::kPanelLabel3, WindowControl::kPanelValue3},
    {WindowControl::kPanelLabel4, WindowControl::kPanelValue4},
    {WindowControl::kPanelLabel5, WindowControl::kPanelValue5},
};

// What the window says instead of opening `where` while it runs as root, and
// when no program takes a file or an address.
[[nodiscard]] std::string RootWillNotOpenMessage(std::string_view where);
[[nodiscard]] std::string NoHandlerMessage(std::string_view where, bool localFile);

// The wizard window: the left tree, the right pane with the information
// panel, the identify options, the progress and the browse list, and the
// Next, Back and Stop buttons. It implements the controller's view; every
// user action goes to the controller, every change comes back through the
// view operations.
class CRecoveryWizardDlg : public QDialog, public WizardView {
  Q_OBJECT

 public:
  // Test hooks: answers in place of the modal boxes and dialogs.
  using ModeAnswerer = std::function<std::optional<RecoveryMode>()>;
  using DocumentOpener = std::function<void(std::string_view pathOrAddress)>;
  using ProcessEnder = std::function<void()>;

  CRecoveryWizardDlg(Session& session, DriveSources& drives, ControllerOptions options = {},
                     QWidget* parent = nullptr);
  ~CRecoveryWizardDlg() override;

  // Runs the controller's start-up over the already enumerated drives.
  void Initialise(const std::string& startDirectory);

  void SetMessageAnswerer(MessageAnswerer answerer) { messenger_.SetAnswerer(std::move(answerer)); }
  void SetModeAnswerer(ModeAnswerer answerer) { modeAnswerer_ = std::move(answerer); }
  void SetDocumentOpener(DocumentOpener opener) { documentOpener_ = std::move(opener); }
  void SetProcessEnder(ProcessEnder ender) { processEnder_ = std::move(ender); }
  // Whether the program runs as root: then no browser or file handler is
  // started (taken from the effective user at start; tests set it).
  void SetRunsAsRoot(bool root) { runsAsRoot_ = root; }
  [[nodiscard]] bool RunsAsRoot() const { return runsAsRoot_; }

  // Adds a disk image as the next drive (Open Disk Image, or a drop), read
  // through `mapfile` when one is given. When a file the image names lies
  // outside the folders it may be read from, offers to name a folder.
  bool AddDiskImage(const QString& path, const QString& mapfile = {});
  void OpenDiskImage();
  // Picks the folder that prompt offers (tests); empty: none chosen.
  void SetFolderChooser(std::function<QString()> chooser) { folderChooser_ = std::move(chooser); }

  [[nodiscard]] WizardController& Controller() { return *controller_; }
  // The most calls from workers that waited for the window at one time.
  [[nodiscard]] int QueueHighWater() const { return dispatcher_.HighWater(); }
  // The caption label of a value label (the panel's rows).
  [[nodiscard]] QLabel* CaptionOf(WindowControl value) const;
  [[nodiscard]] QWidget* Control(WindowControl control) const;
  [[nodiscard]] CFolderTreeCtrl* Tree(TreeKind kind) const;
  [[nodiscard]] QTreeWidgetItem* TreeItem(TreeKind kind, ViewItem item) const;
  [[nodiscard]] QTreeView* ListDetails() const { return listDetails_; }
  // The model both list views show: the entries in the order the user sorted
  // them. Rows of the views are rows of this model.
  [[nodiscard]] QAbstractItemModel* ListModel() const;
  // The entry behind a row of the views (nullptr past the end).
  [[nodiscard]] const ListRow* ListEntry(int viewRow) const;
  // Renames the entry behind a row as shown.
  void RenameListEntry(int viewRow, const std::string& name);
  // The view row of the entry with `key`, folders or files; -1 if not listed.
  [[nodiscard]] int ListRowOfKey(std::uint64_t key, bool folder) const;
  [[nodiscard]] QWidget* ListWidget() const;
  [[nodiscard]] CRecoveryModeDialog* ModeDialog() const { return modeDialog_; }
  // The saving and restore dialogs while they are open (nullptr otherwise).
  [[nodiscard]] SavingDialog* OpenSaving() const;
  [[nodiscard]] RestoreCompressedDialog* OpenRestore() const;
  [[nodiscard]] QAction* OpenImageAction() const { return openImageAction_; }
  [[nodiscard]] CHtmlTooltip* QuickHelpTooltip() const { return quickHelpTooltip_; }
  // The pane that holds the wizard's controls at their dialog-unit places,
  // and the units; further controls (tool buttons) go there, added with
  // their accessible name so the pane's layout keeps them in place.
  [[nodiscard]] QWidget* Pane() const { return pane_; }
  [[nodiscard]] const DialogUnits& Units() const { return units_; }
  void AddPaneControl(QWidget* widget, const QString& accessibleName);
  // The list's selected rows (model rows, ascending) and the current item of
  // a tree (kNoViewItem for none).
  [[nodiscard]] QList<int> SelectedListRows() const;
  [[nodiscard]] ViewItem SelectedTreeItem(TreeKind kind) const;
  // Where a menu bar goes: above the wizard's pane.
  void SetMenuBar(QMenuBar* menuBar);
  // A menu command's action; its enabled state follows the controller.
  void RegisterCommandAction(MenuCommand command, QAction* action);
  [[nodiscard]] bool MenuCommandEnabled(MenuCommand command) const;

  // WizardView.
  void ShowButton(WizardButton button, bool shown) override;
  void ShowSection(PaneSection section, bool shown) override;
  void SetStatusText(std::string_view text) override;
  void SetQuickHelp(std::string_view text) override;
  void SetProgress(int position) override;
  void CheckIdentifyOption(IdentifyOption option) override;
  void SetSectorRange(const SectorRangeText& range) override;
  [[nodiscard]] SectorRangeText ReadSectorRange() override;
  void SetPanel(const PanelLayout& layout) override;
  void ShowDriveFigures(const DriveFigures& figures) override;
  void ShowVolumeFigures(const VolumeFigures& figures) override;
  void ShowProgress(const ProgressSnapshot& snapshot) override;
  void CreateTree(TreeKind kind, ViewItem root, std::string_view text, TreeImage image) override;
  void AddTreeItem(TreeKind kind, ViewItem parent, ViewItem item, std::string_view text,
                   TreeImage image, TreeImage selectedImage) override;
  void SetTreeItemText(TreeKind kind, ViewItem item, std::string_view text) override;
  void ExpandTreeItem(TreeKind kind, ViewItem item) override;
  void SelectTreeItem(TreeKind kind, ViewItem item) override;
  void ShowTree(TreeKind kind, bool shown) override;
  void EnableTree(TreeKind kind, bool enabled) override;
  void ClearList() override;
  void SetListColumns(std::span<const ListColumn> columns) override;
  void AddListRows(std::span<const ListRow> rows) override;
  void SetListViewMode(ListViewMode mode) override;
  void SetListGridAndFullRow() override;
  void ShowList(bool shown) override;
  void EnableMenuCommand(MenuCommand command, bool enabled) override;
  void ShowMessage(std::string_view text, MessageKind kind) override;
  [[nodiscard]] Answer AskYesNo(std::string_view text, MessageKind kind) override;
  [[nodiscard]] std::optional<RecoveryMode> AskRecoveryMode() override;
  [[nodiscard]] std::optional<RecoverySettings> AskRecoverySettings(
      const RecoverySettings& current) override;
  [[nodiscard]] std::optional<std::vector<std::string>> AskFileFilters(
      std::span<const std::string> current) override;
  [[nodiscard]] std::optional<std::filesystem::path> AskDestinationFolder() override;
  void OpenSavingDialog() override;
  void ShowSavingProgress(const SavingSnapshot& snapshot) override;
  void CloseSavingDialog() override;
  void OpenRestoreDialog() override;
  void ShowRestoreStatus(std::string_view text) override;
  void RestoreEnded(std::string_view summary) override;
  void OpenDocument(std::string_view pathOrAddress, bool maximised) override;
  void CloseWindow() override;
  void EndProcess() override;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  struct PanelRowWidgets {
    CColorLabel* label = nullptr;
    CTransparentStatic* value = nullptr;
  };
  struct TreeSlot {
    CFolderTreeCtrl* tree = nullptr;
    std::unordered_map<ViewItem, QTreeWidgetItem*> items;
  };

  void BuildControls();
  void BuildList();
  void PlaceTree(CFolderTreeCtrl* tree);
  void FocusTreeIfLost();
  void FitScreen();
  void ShowDiskOrder();
  // Puts a widget of the pane under the pane's layout at its current place,
  // anchored by the region it sits in.
  void Anchor(QWidget* widget);
  [[nodiscard]] QRect TreePlace() const;
  void Register(WindowControl id, QWidget* widget, const QString& accessibleName);
  // Sets the value of the panel row whose caption is `label`.
  void SetPanelValue(std::string_view label, std::string_view value);
  void OnTreeItemClicked(TreeKind kind, QTreeWidgetItem* item);
  void OnNext();
  void RebuildDiskTree();
  void OnDriveItemAdded(QTreeWidgetItem* item, const QString& text);
  [[nodiscard]] std::optional<std::string> ChosenDriveProblem() const;
  [[nodiscard]] QIcon IconForFile(const QString& name) const;
  [[nodiscard]] TreeSlot& Slot(TreeKind kind) { return trees_[static_cast<std::size_t>(kind)]; }
  [[nodiscard]] const TreeSlot& Slot(TreeKind kind) const {
    return trees_[static_cast<std::size_t>(kind)];
  }

  Session& session_;
  DriveSources& driveSources_;
  DialogUnits units_;
  QWidget* pane_ = nullptr;  // everything below the menu bar
  AnchoredLayout* paneLayout_ = nullptr;
  QHash<int, QWidget*> controls_;
  std::array<PanelRowWidgets, 5> panelRows_{};
  std::array<TreeSlot, 3> trees_{};
  CImageButton* next_ = nullptr;
  CImageButton* back_ = nullptr;
  CImageButton* stop_ = nullptr;
  CColorButton* usePartitionTable_ = nullptr;
  CColorButton* searchPartition_ = nullptr;
  QLineEdit* startField_ = nullptr;
  QLineEdit* endField_ = nullptr;
  CTextProgressCtrl* progress_ = nullptr;
  CTransparentStatic* statusLine_ = nullptr;
  CTransparentStatic* quickHelp_ = nullptr;
  CHoverButton* homeLink_ = nullptr;
  CHtmlTooltip* quickHelpTooltip_ = nullptr;
  QStackedWidget* list_ = nullptr;
  QTreeView* listDetails_ = nullptr;
  QListView* listIcons_ = nullptr;
  EntryListModel* entries_ = nullptr;
  EntrySortProxy* sortedEntries_ = nullptr;
  CRecoveryModeDialog* modeDialog_ = nullptr;
  QPointer<SavingDialog> savingDialog_;
  QPointer<RestoreCompressedDialog> restoreDialog_;
  QAction* openImageAction_ = nullptr;
  QHash<int, QPointer<QAction>> commandActions_;
  QHash<int, bool> commandStates_;
  mutable QHash<QString, QIcon> fileIcons_;

  Messenger messenger_{this};
  ModeAnswerer modeAnswerer_;
  DocumentOpener documentOpener_;
  ProcessEnder processEnder_;
  std::function<QString()> folderChooser_;
  std::string homePage_;
  bool closeApproved_ = false;
  bool runsAsRoot_ = false;

  // Declared last: destroyed first, after the workers have been joined.
  QtDispatcher dispatcher_;
  ThreadWorkerStarter workers_;
  std::unique_ptr<WizardController> controller_;
};

}  // namespace tolvar::gui
