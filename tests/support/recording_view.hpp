#pragma once

// Test doubles for the wizard: a view that records every call and keeps what
// a window would show, dispatchers a test drains itself, and worker starters
// that run a body at once, later, or on a thread.

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/wizard_view.hpp"

namespace tolvar::testing {

class RecordingView : public WizardView {
 public:
  struct TreeNode {
    ViewItem item = kNoViewItem;
    ViewItem parent = kNoViewItem;
    std::string text;
    TreeImage image = TreeImage::kDrive;
    bool expanded = false;
  };
  struct Tree {
    int created = 0;  // how many times a tree of this kind was made
    ViewItem root = kNoViewItem;
    std::vector<TreeNode> nodes;  // root first, then items in insertion order
    ViewItem selected = kNoViewItem;
    bool shown = false;
    bool enabled = false;
    [[nodiscard]] const TreeNode* Find(ViewItem item) const;
    [[nodiscard]] std::vector<std::string> ChildTexts(ViewItem parent) const;
  };
  struct Message {
    std::string text;
    MessageKind kind;
  };

  // WizardView.
  void ShowButton(WizardButton button, bool shown) override;
  void ShowSection(PaneSection section, bool shown) override;
  void SetStatusText(std::string_view text) override;
  void SetQuickHelp(std::string_view text) override;
  void SetProgress(int position) override;
  void CheckIdentifyOption(IdentifyOption option) override;
  void SetSectorRange(const SectorRangeText& newRange) override;
  SectorRangeText ReadSectorRange() override;
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
  Answer AskYesNo(std::string_view text, MessageKind kind) override;
  std::optional<RecoveryMode> AskRecoveryMode() override;
  std::optional<RecoverySettings> AskRecoverySettings(const RecoverySettings& current) override;
  std::optional<std::vector<std::string>> AskFileFilters(
      std::span<const std::string> current) override;
  std::optional<std::filesystem::path> AskDestinationFolder() override;
  void OpenSavingDialog() override;
  void ShowSavingProgress(const SavingSnapshot& snapshot) override;
  void CloseSavingDialog() override;
  void OpenRestoreDialog() override;
  void ShowRestoreStatus(std::string_view text) override;
  void RestoreEnded(std::string_view summary) override;
  void OpenDocument(std::string_view pathOrAddress, bool maximised) override;
  void CloseWindow() override;
  void EndProcess() override;

  // What the user types or answers next. Unanswered questions get No and an
  // unanswered mode dialog is cancelled.
  void TypeRange(std::string start, std::string end) { range = {std::move(start), std::move(end)}; }
  void QueueAnswer(Answer answer) { answers.push_back(answer); }
  void QueueMode(std::optional<RecoveryMode> mode) { modes.push_back(mode); }

  // What the window shows. Buttons and sections are shown and enabled
  // together; all are shown until told otherwise.
  [[nodiscard]] bool Shown(WizardButton button) const;
  [[nodiscard]] bool Shown(PaneSection section) const;
  [[nodiscard]] std::vector<std::string> PanelLabels() const;  // the shown rows, in order
  [[nodiscard]] std::string PanelValue(std::string_view label) const;
  [[nodiscard]] bool MenuEnabled(MenuCommand command) const;
  [[nodiscard]] const Tree& TreeOf(TreeKind kind) const { return trees[static_cast<int>(kind)]; }
  [[nodiscard]] std::vector<std::string> MessageTexts() const;
  [[nodiscard]] std::vector<std::string> ColumnTitles() const;
  [[nodiscard]] std::vector<std::string> RowNames() const;
  // Every call in order, as "Name(args)"; tests search it for sequences.
  [[nodiscard]] std::size_t CallCount(std::string_view prefix) const;

  std::map<WizardButton, bool> buttons;
  std::map<PaneSection, bool> sections;
  SectorRangeText range;
  std::map<MenuCommand, bool> menus;
  std::vector<PanelRow> panel;
  std::string status;
  std::string quickHelp;
  int progress = 0;
  IdentifyOption checkedOption = IdentifyOption::kUsePartitionTable;
  Tree trees[3];
  std::vector<ListColumn> columns;
  std::vector<ListRow> rows;
  ListViewMode viewMode = ListViewMode::kDetails;
  bool listShown = false;
  std::vector<Message> messages;
  std::vector<std::string> questions;
  std::vector<std::string> opened;
  int closedWindow = 0;
  int endedProcess = 0;
  std::vector<std::string> calls;
  std::deque<Answer> answers;
  std::deque<std::optional<RecoveryMode>> modes;
  std::optional<RecoverySettings> settingsAnswer;         // what the settings dialog gives
  std::optional<std::vector<std::string>> filtersAnswer;  // what the filters dialog gives
  // The saving and restore dialogs as drawn.
  bool savingDialogOpen = false;
  std::vector<SavingSnapshot> savingSnapshots;
  bool restoreDialogOpen = false;
  bool restoreFinished = false;  // "Finish" enabled
  std::vector<std::string> restoreStatus;
  int settingsAsked = 0;
  int filtersAsked = 0;

 protected:
  // A panel value the view drew (only values that changed are drawn).
  virtual void ValueShown(std::string_view /*label*/, std::string_view /*value*/) {}

 private:
  Tree& TreeFor(TreeKind kind) { return trees[static_cast<int>(kind)]; }
  // Sets the value of the panel row `label`, as a call when it changes (or
  // `always`).
  void SetValue(std::string_view label, std::string_view value, bool always = false);
  ProgressSnapshot lastSnapshot_;
  void Call(std::string text);
};

// Keeps posted calls until the test runs them, on the test's thread.
class QueueDispatcher final : public Dispatcher {
 public:
  void Post(std::function<void()> call) override;
  // Runs queued calls, including those they post, until none is left.
  // Returns how many ran.
  std::size_t DrainAll();
  [[nodiscard]] std::size_t Pending() const;

 private:
  mutable std::mutex mutex_;
  std::deque<std::function<void()>> calls_;
};

// For a worker on its own thread: each Post waits until the test has run
// that call (so the test sees the worker's state as of that call), while the
// test's thread never waits for the worker beyond the next call.
class LockstepDispatcher final : public Dispatcher {
 public:
  // Called after each call has run and before its poster goes on.
  std::function<void()> afterEach;

  void Post(std::function<void()> call) override;
  // Waits for the next call, runs it and releases its poster; false when no
  // call came within a generous guard time (the test has hung).
  bool RunNext();
  // Runs calls while `more` holds.
  bool RunWhile(const std::function<bool()>& more);
  // From now on posters do not wait (for a worker the test stops watching,
  // e.g. after the process "ended"); waiting posters are released.
  void StopLockstep();
  // Runs every queued call without waiting for more.
  void DrainQueued();

 private:
  struct Entry {
    std::function<void()> call;
    bool done = false;
  };
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::shared_ptr<Entry>> calls_;
  std::thread::id drainer_;
  bool lockstep_ = true;
};

// Runs each worker body at once, on the caller's thread.
class InlineWorkers final : public WorkerStarter {
 public:
  void Start(std::function<void()> body) override {
    ++started;
    body();
  }
  int started = 0;
};

// Keeps each body until the test runs it.
class HeldWorkers final : public WorkerStarter {
 public:
  void Start(std::function<void()> body) override { held.push_back(std::move(body)); }
  void RunAll() {
    auto bodies = std::move(held);
    held.clear();
    for (auto& body : bodies) body();
  }
  std::vector<std::function<void()>> held;
};

// Runs each body on its own thread; joins them all at the end.
class ThreadWorkers final : public WorkerStarter {
 public:
  ~ThreadWorkers() override { JoinAll(); }
  void Start(std::function<void()> body) override { threads_.emplace_back(std::move(body)); }
  void JoinAll() {
    for (auto& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }

 private:
  std::vector<std::thread> threads_;
};

}  // namespace tolvar::testing
