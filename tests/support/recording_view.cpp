#include "tests/support/recording_view.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>

namespace tolvar::testing {

const RecordingView::TreeNode* RecordingView::Tree::Find(ViewItem item) const {
  const auto it = std::find_if(nodes.begin(), nodes.end(),
                               [&](const TreeNode& node) { return node.item == item; });
  return it == nodes.end() ? nullptr : &*it;
}

std::vector<std::string> RecordingView::Tree::ChildTexts(ViewItem parent) const {
  std::vector<std::string> out;
  for (const TreeNode& node : nodes) {
    if (node.parent == parent && node.item != root) out.push_back(node.text);
  }
  return out;
}

void RecordingView::Call(std::string text) { calls.push_back(std::move(text)); }

namespace {

std::string_view ButtonName(WizardButton button) {
  switch (button) {
    case WizardButton::kNext:
      return "Next";
    case WizardButton::kBack:
      return "Back";
    case WizardButton::kStop:
      return "Stop";
  }
  return "?";
}

std::string_view SectionName(PaneSection section) {
  switch (section) {
    case PaneSection::kIdentifyOptions:
      return "IdentifyOptions";
    case PaneSection::kSectorRange:
      return "SectorRange";
    case PaneSection::kProgress:
      return "Progress";
    case PaneSection::kStatusLine:
      return "StatusLine";
  }
  return "?";
}

}  // namespace

void RecordingView::ShowButton(WizardButton button, bool shown) {
  buttons[button] = shown;
  Call(fmt::format("Button({},{})", ButtonName(button), shown));
}

void RecordingView::ShowSection(PaneSection section, bool shown) {
  sections[section] = shown;
  Call(fmt::format("Section({},{})", SectionName(section), shown));
}

void RecordingView::SetStatusText(std::string_view text) {
  status = std::string(text);
  Call(fmt::format("Status({})", text));
}

void RecordingView::SetQuickHelp(std::string_view text) {
  quickHelp = std::string(text);
  Call("QuickHelp");
}

void RecordingView::SetProgress(int position) {
  progress = position;
  Call(fmt::format("Progress({})", position));
}

void RecordingView::CheckIdentifyOption(IdentifyOption option) {
  checkedOption = option;
  Call(fmt::format("Check({})", static_cast<int>(option)));
}

void RecordingView::SetSectorRange(const SectorRangeText& newRange) { range = newRange; }

SectorRangeText RecordingView::ReadSectorRange() { return range; }

void RecordingView::SetPanel(const PanelLayout& layout) {
  panel = layout.rows;
  lastSnapshot_ = {};  // a new layout: the next worker's snapshots start afresh
  sections[PaneSection::kStatusLine] = layout.statusShown;
  status = layout.statusText;
  Call(fmt::format("Panel({})", PanelModeName(layout.mode)));
}

void RecordingView::SetValue(std::string_view label, std::string_view value, bool always) {
  for (PanelRow& row : panel) {
    if (row.label != label || (row.value == value && !always)) continue;
    row.value = std::string(value);
    Call(fmt::format("Value({}={})", label, value));
    ValueShown(label, value);
  }
}

void RecordingView::ShowDriveFigures(const DriveFigures& figures) {
  for (const PanelRow& row : PanelRowsOf(figures)) SetValue(row.label, row.value);
}

void RecordingView::ShowVolumeFigures(const VolumeFigures& figures) {
  for (const PanelRow& row : PanelRowsOf(figures)) SetValue(row.label, row.value);
}

void RecordingView::ShowProgress(const ProgressSnapshot& snapshot) {
  // Each field the worker set since the snapshot before is drawn as a call
  // of its own, so tests see the worker's events in order.
  for (const PanelRow& row : snapshot.values) {
    const auto before = std::find_if(lastSnapshot_.values.begin(), lastSnapshot_.values.end(),
                                     [&](const PanelRow& r) { return r.label == row.label; });
    if (before == lastSnapshot_.values.end() || before->value != row.value) {
      SetValue(row.label, row.value, true);
    }
  }
  if (snapshot.status && snapshot.status != lastSnapshot_.status) SetStatusText(*snapshot.status);
  if (snapshot.position && snapshot.position != lastSnapshot_.position) {
    SetProgress(*snapshot.position);
  }
  lastSnapshot_ = snapshot;
}

void RecordingView::CreateTree(TreeKind kind, ViewItem root, std::string_view text,
                               TreeImage image) {
  Tree& tree = TreeFor(kind);
  const int created = tree.created + 1;
  tree = Tree{};
  tree.created = created;
  tree.root = root;
  tree.shown = true;
  tree.enabled = true;
  tree.nodes.push_back({root, kNoViewItem, std::string(text), image, false});
  Call(fmt::format("CreateTree({},{})", static_cast<int>(kind), text));
}

void RecordingView::AddTreeItem(TreeKind kind, ViewItem parent, ViewItem item,
                                std::string_view text, TreeImage image, TreeImage) {
  TreeFor(kind).nodes.push_back({item, parent, std::string(text), image, false});
  Call(fmt::format("AddItem({},{})", static_cast<int>(kind), text));
}

void RecordingView::SetTreeItemText(TreeKind kind, ViewItem item, std::string_view text) {
  for (TreeNode& node : TreeFor(kind).nodes) {
    if (node.item == item) node.text = std::string(text);
  }
}

void RecordingView::ExpandTreeItem(TreeKind kind, ViewItem item) {
  for (TreeNode& node : TreeFor(kind).nodes) {
    if (node.item == item) node.expanded = true;
  }
}

void RecordingView::SelectTreeItem(TreeKind kind, ViewItem item) { TreeFor(kind).selected = item; }

void RecordingView::ShowTree(TreeKind kind, bool shown) { TreeFor(kind).shown = shown; }

void RecordingView::EnableTree(TreeKind kind, bool enabled) { TreeFor(kind).enabled = enabled; }

void RecordingView::ClearList() {
  rows.clear();
  Call("ClearList");
}

void RecordingView::SetListColumns(std::span<const ListColumn> newColumns) {
  columns.assign(newColumns.begin(), newColumns.end());
  Call("Columns");
}

void RecordingView::AddListRows(std::span<const ListRow> newRows) {
  rows.insert(rows.end(), newRows.begin(), newRows.end());
  Call("AddRows");
}

void RecordingView::SetListViewMode(ListViewMode mode) { viewMode = mode; }

void RecordingView::SetListGridAndFullRow() {}

void RecordingView::ShowList(bool shown) { listShown = shown; }

void RecordingView::EnableMenuCommand(MenuCommand command, bool enabled) {
  menus[command] = enabled;
}

void RecordingView::ShowMessage(std::string_view text, MessageKind kind) {
  messages.push_back({std::string(text), kind});
  Call(fmt::format("Message({})", text));
}

Answer RecordingView::AskYesNo(std::string_view text, MessageKind) {
  questions.emplace_back(text);
  Call(fmt::format("Ask({})", text));
  if (answers.empty()) return Answer::kNo;
  const Answer answer = answers.front();
  answers.pop_front();
  return answer;
}

std::optional<RecoveryMode> RecordingView::AskRecoveryMode() {
  Call("AskRecoveryMode");
  if (modes.empty()) return std::nullopt;
  const auto mode = modes.front();
  modes.pop_front();
  return mode;
}

std::optional<RecoverySettings> RecordingView::AskRecoverySettings(const RecoverySettings&) {
  ++settingsAsked;
  return settingsAnswer;
}

std::optional<std::vector<std::string>> RecordingView::AskFileFilters(
    std::span<const std::string>) {
  ++filtersAsked;
  return filtersAnswer;
}

std::optional<std::filesystem::path> RecordingView::AskDestinationFolder() { return std::nullopt; }

void RecordingView::OpenSavingDialog() {
  savingDialogOpen = true;
  savingSnapshots.clear();
  Call("OpenSavingDialog");
}

void RecordingView::ShowSavingProgress(const SavingSnapshot& snapshot) {
  savingSnapshots.push_back(snapshot);
}

void RecordingView::CloseSavingDialog() {
  savingDialogOpen = false;
  Call("CloseSavingDialog");
}

void RecordingView::OpenRestoreDialog() {
  restoreDialogOpen = true;
  restoreFinished = false;
  restoreStatus.clear();
  Call("OpenRestoreDialog");
}

void RecordingView::ShowRestoreStatus(std::string_view text) { restoreStatus.emplace_back(text); }

void RecordingView::RestoreEnded(std::string_view summary) {
  restoreFinished = true;
  restoreStatus.emplace_back(summary);
  Call(fmt::format("RestoreEnded({})", summary));
}

void RecordingView::OpenDocument(std::string_view pathOrAddress, bool maximised) {
  opened.emplace_back(pathOrAddress);
  Call(fmt::format("Open({},{})", pathOrAddress, maximised));
}

void RecordingView::CloseWindow() {
  ++closedWindow;
  Call("CloseWindow");
}

void RecordingView::EndProcess() {
  ++endedProcess;
  Call("EndProcess");
}

bool RecordingView::Shown(WizardButton button) const {
  const auto it = buttons.find(button);
  return it == buttons.end() || it->second;
}

bool RecordingView::Shown(PaneSection section) const {
  const auto it = sections.find(section);
  return it == sections.end() || it->second;
}

std::vector<std::string> RecordingView::PanelLabels() const {
  std::vector<std::string> labels;
  for (const PanelRow& row : panel) labels.push_back(row.label);
  return labels;
}

std::string RecordingView::PanelValue(std::string_view label) const {
  for (const PanelRow& row : panel) {
    if (row.label == label) return row.value;
  }
  return "<no row>";
}

bool RecordingView::MenuEnabled(MenuCommand command) const {
  const auto it = menus.find(command);
  return it != menus.end() && it->second;
}

std::vector<std::string> RecordingView::MessageTexts() const {
  std::vector<std::string> texts;
  for (const Message& message : messages) texts.push_back(message.text);
  return texts;
}

std::vector<std::string> RecordingView::ColumnTitles() const {
  std::vector<std::string> titles;
  for (const ListColumn& column : columns) titles.push_back(column.title);
  return titles;
}

std::vector<std::string> RecordingView::RowNames() const {
  std::vector<std::string> names;
  for (const ListRow& row : rows) names.push_back(row.name);
  return names;
}

std::size_t RecordingView::CallCount(std::string_view prefix) const {
  return static_cast<std::size_t>(
      std::count_if(calls.begin(), calls.end(),
                    [&](const std::string& call) { return call.starts_with(prefix); }));
}

void QueueDispatcher::Post(std::function<void()> call) {
  const std::lock_guard lock(mutex_);
  calls_.push_back(std::move(call));
}

std::size_t QueueDispatcher::DrainAll() {
  std::size_t ran = 0;
  for (;;) {
    std::function<void()> call;
    {
      const std::lock_guard lock(mutex_);
      if (calls_.empty()) return ran;
      call = std::move(calls_.front());
      calls_.pop_front();
    }
    call();
    ++ran;
  }
}

std::size_t QueueDispatcher::Pending() const {
  const std::lock_guard lock(mutex_);
  return calls_.size();
}

void LockstepDispatcher::Post(std::function<void()> call) {
  std::unique_lock lock(mutex_);
  auto entry = std::make_shared<Entry>(Entry{std::move(call)});
  calls_.push_back(entry);
  changed_.notify_all();
  // A call the test is running may post too; it must not wait for itself.
  if (!lockstep_ || std::this_thread::get_id() == drainer_) return;
  changed_.wait(lock, [&] { return entry->done; });
}

bool LockstepDispatcher::RunNext() {
  std::unique_lock lock(mutex_);
  drainer_ = std::this_thread::get_id();
  // A guard against a hung test, not a timing assertion.
  if (!changed_.wait_for(lock, std::chrono::seconds(60), [&] { return !calls_.empty(); })) {
    return false;
  }
  const std::shared_ptr<Entry> entry = calls_.front();
  calls_.pop_front();
  lock.unlock();
  entry->call();
  if (afterEach) afterEach();
  lock.lock();
  entry->done = true;
  changed_.notify_all();
  return true;
}

void LockstepDispatcher::StopLockstep() {
  const std::lock_guard lock(mutex_);
  lockstep_ = false;
  for (const auto& entry : calls_) entry->done = true;
  changed_.notify_all();
}

void LockstepDispatcher::DrainQueued() {
  for (;;) {
    std::shared_ptr<Entry> entry;
    {
      const std::lock_guard lock(mutex_);
      if (calls_.empty()) return;
      entry = calls_.front();
      calls_.pop_front();
    }
    entry->call();
  }
}

bool LockstepDispatcher::RunWhile(const std::function<bool()>& more) {
  while (more()) {
    if (!RunNext()) return false;
  }
  return true;
}

}  // namespace tolvar::testing
