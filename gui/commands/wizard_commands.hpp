#pragma once

// The wizard window's commands: the menu bar, the tool buttons, the list's
// right-click menu, Open and Open With, Rename, the entry colours, the
// keyboard, help, About, the home and releases pages, and the dialogs the
// commands open. Attached to a window after it is built; the window keeps
// running the steps through the controller.

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/commands.hpp"
#include "gui/dialogs/dialog_frame.hpp"
#include "gui/dialogs/saving_dialog.hpp"
#include "recovery/saving_run.hpp"

class QAbstractItemView;
class QMenu;
class QMenuBar;
class QModelIndex;

namespace tolvar::gui {

class CImageButton;
class CImageMenu;
class CRecoveryWizardDlg;

class WizardCommands : public QObject {
  Q_OBJECT

 public:
  // Builds the menu bar and the tool buttons into `window` and starts
  // watching its list and keys. The window must outlive this object.
  explicit WizardCommands(CRecoveryWizardDlg& window);
  ~WizardCommands() override;

  // Runs a command as its menu item would (greyed items do nothing).
  void Run(commands::Command command);
  // A tool button's click: acts only while its menu command is enabled.
  void ClickToolButton(commands::Command command);

  // Open (openWith 0) or Open With (openWith 1) of the tree's selection or
  // the list's selection mark.
  void Open(bool openWith);
  void Rename();
  // The right-click menu for the list's selection mark, built fresh; nullptr
  // when it may not open. The caller runs or inspects it.
  [[nodiscard]] std::unique_ptr<QMenu> BuildContextMenu();

  // Test and scripting hooks.
  void SetMessageAnswerer(MessageAnswerer answerer) { answerer_ = std::move(answerer); }
  // Replaces running a dialog modally: called with each dialog before it
  // would be shown; the hook may press its buttons and must close it.
  void SetDialogDriver(std::function<void(QDialog&)> driver) { dialogDriver_ = std::move(driver); }
  void SetDestinationChooser(std::function<std::optional<QString>()> chooser) {
    destinationChooser_ = std::move(chooser);
  }
  // Called with the program and arguments instead of starting them.
  void SetLauncher(std::function<void(const QStringList&)> launcher) {
    launcher_ = std::move(launcher);
  }
  void SetManualPath(const QString& path) { manualPath_ = path; }
  [[nodiscard]] QString ManualPath() const { return manualPath_; }

  [[nodiscard]] QMenuBar* MenuBar() const { return menuBar_; }
  [[nodiscard]] CImageMenu* Popup(int index) const {
    return popups_.at(static_cast<std::size_t>(index));
  }
  [[nodiscard]] QAction* Action(commands::Command command) const;
  [[nodiscard]] CImageButton* ToolButton(commands::Command command) const;
  [[nodiscard]] const SavingOutcome& LastSaving() const { return lastSaving_; }
  // How many recoveries have ended (their summary is LastSaving()).
  [[nodiscard]] int SavingsEnded() const { return savingsEnded_; }
  // Where opened files are copied for this session (removed at exit).
  [[nodiscard]] QString TemporaryFolder() const { return temporary_.path(); }
  // Removes the copies now: for an exit that skips destructors.
  void RemoveTemporaryCopies() { (void)temporary_.remove(); }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  class EntryDelegate;

  void BuildMenuBar();
  void BuildToolButtons();
  void WatchList();
  [[nodiscard]] QAbstractItemView* CurrentListView() const;
  [[nodiscard]] std::optional<int> SelectionMarkRow() const;
  void ShowContextMenu(const QPoint& globalPosition);
  void RunDialog(QDialog& dialog);
  [[nodiscard]] MessageAnswerer Answerer() const;
  void ToggleListTreeFocus();

  void Recover(bool everything);
  [[nodiscard]] std::optional<Selection> SelectedRows() const;
  void RestoreCompressed();
  void OpenFile(std::uint32_t fileId, bool openWith);
  void ChooseApplication(const QString& path);
  void FindFiles();
  void ShowFileInWindow(std::uint32_t fileId);
  void Properties();
  void DriveInformation();
  void HelpContents();
  void About();
  void FinishRename(int row, const QString& edited);

  CRecoveryWizardDlg& window_;
  QMenuBar* menuBar_ = nullptr;
  std::vector<CImageMenu*> popups_;
  QHash<int, QAction*> actions_;
  QHash<int, CImageButton*> toolButtons_;
  QString renameOldName_;
  SavingOutcome lastSaving_;
  int savingsEnded_ = 0;
  QString lastDestination_;
  QTemporaryDir temporary_;
  int openedCount_ = 0;
  QString manualPath_;
  MessageAnswerer answerer_;
  std::function<void(QDialog&)> dialogDriver_;
  std::function<std::optional<QString>()> destinationChooser_;
  std::function<void(const QStringList&)> launcher_;
};

}  // namespace tolvar::gui
