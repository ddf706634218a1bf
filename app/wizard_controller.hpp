#pragma once

// The wizard: three steps (disk, volume, files), the search and mount workers
// between them, and every text the window shows on the way. It drives a
// `WizardView` and owns no widget, so it runs the same under a window and
// under a test.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/engine_runs.hpp"
#include "app/session.hpp"
#include "app/wizard_view.hpp"

namespace tolvar {

// What Close asks of the window.
enum class CloseDecision {
  kKeepOpen,  // answered No, or waiting for a worker to stop (CloseWindow follows)
  kClose,     // close now; the controller has already done its part
};

struct ControllerOptions {
  // The product's home page, opened at exit and close.
  std::string homePage = "https://tolvar.example.org/";
  // The type name shown for a file in the browse list. Called on the worker
  // thread too, so it must not touch a window. Empty: the extension in upper
  // case followed by " File", or "File".
  std::function<std::string(std::string_view fileName)> fileTypeName;
};

// Lives on the view's thread. A worker it started must have ended before it
// is destroyed (the window closes only after the worker's completion, and
// Exit ends the process).
class WizardController {
 public:
  WizardController(Session& session, WizardView& view, Dispatcher& dispatcher,
                   WorkerStarter& workers, ControllerOptions options = {});
  ~WizardController();
  WizardController(const WizardController&) = delete;
  WizardController& operator=(const WizardController&) = delete;

  // The window's initialisation, after the drives are enumerated into the
  // session's drive table. `startDirectory` is the working directory.
  void Startup(std::string_view startDirectory);

  // The session's drive table was enumerated again (a disk image was added):
  // at the disk step with no worker running, the disk tree is made anew and
  // no drive is chosen. Returns false and changes nothing at other times.
  bool DrivesChanged();

  // A click in the left tree: `item` is the item hit, kNoViewItem for empty
  // space (the root is selected then).
  void TreeClicked(TreeKind kind, ViewItem item);
  // A click in the browse list (any row or none).
  void ListClicked();
  void IdentifyOptionChosen(IdentifyOption option);

  void Next();
  void Back();
  void Stop();
  void Exit();
  // The window's close request (title bar, system menu, Alt+F4). On kKeepOpen
  // after a Yes, the controller calls WizardView::CloseWindow once the running
  // worker has stopped; the window then closes without asking again.
  [[nodiscard]] CloseDecision CloseRequested();

  // Opens a folder of the file tree in the list (step 2): its tree item, or the
  // root's item for the root.
  void OpenFolder(ViewItem folderItem);
  void SetListViewMode(ListViewMode mode);

  // Menu commands that ask a dialog for a value. Each does nothing while its
  // command is greyed (its tool button included).
  void Settings();     // the recovery settings
  void FileFilters();  // the patterns; then the root folder is listed with them

  // Copies entries out on a worker (Recover Selected, Recover All, and the
  // copy Open and Open With make), shown by the view's saving dialog.
  // `ended` runs on the view's thread once the dialog has closed, unless
  // the window is closing. Refused (false) away from the files step or
  // while a worker runs.
  // The files' digests are recorded in the session before `ended` runs.
  using SavingEnded = std::function<void(const engine::SavingRun& run)>;
  bool Save(engine::SavingRequest request, SavingEnded ended);
  // The saving dialog's buttons: each sets its request and nothing more.
  void StopSaving();
  void SkipFile();

  // Restores the compressed files below `folder` on a worker, after the
  // question; shown by the view's restore dialog. A No starts nothing.
  void RestoreCompressed(std::string folder);
  // Whether the restore question was ever answered No.
  [[nodiscard]] bool RestoreDeclined() const;

  [[nodiscard]] bool MenuCommandEnabled(MenuCommand command) const;

  [[nodiscard]] bool WorkerRunning() const;
  // Whether the user confirmed Exit or closing: the window is on its way out.
  [[nodiscard]] bool Leaving() const;
  [[nodiscard]] const Session& GetSession() const { return session_; }
  [[nodiscard]] Session& GetSession() { return session_; }
  // The root item of each tree (kNoViewItem before it exists).
  [[nodiscard]] ViewItem RootItem(TreeKind kind) const;
  // The folder record (its index in the file tree) a file-tree item stands
  // for; nothing for the root and unknown items.
  [[nodiscard]] std::optional<std::size_t> FolderIndexOfItem(ViewItem item) const;
  // The file-tree item of folder `inode`; the root's item for the root and
  // for a folder without an item.
  [[nodiscard]] ViewItem FolderItemOfInode(std::uint32_t inode) const;

 private:
  struct Impl;
  Session& session_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tolvar
