#pragma once

// What the wizard controller needs from a window. The desktop front end
// implements it over its widgets; tests implement it with a recorder. Every
// call is made on the view's own thread: the controller calls it directly
// from the operations the view triggers, and workers reach it only through
// the `Dispatcher`. No call may block on a worker.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/commands.hpp"
#include "app/wizard_state.hpp"
#include "app/wizard_texts.hpp"
#include "base/settings.hpp"

namespace tolvar {

// The wizard's three buttons; each is shown and enabled together.
enum class WizardButton { kNext, kBack, kStop };

// Parts of the right pane that come and go as one.
enum class PaneSection {
  kIdentifyOptions,  // "Volume Identify Options": its frame, the two options, their help
  kSectorRange,      // "Select Range": its frame, the start and end fields, their help
  kProgress,         // the progress bar
  kStatusLine,       // the status line under the panel
};

// The sector range fields as typed: the controller checks them.
struct SectorRangeText {
  std::string start;
  std::string end;
};

// The menu bar's commands, by name.
using MenuCommand = commands::Command;

// The drive chosen in the disk tree, as the information panel shows it.
struct DriveFigures {
  std::string model;
  std::uint64_t totalSectors = 0;
  std::uint64_t cylinders = 0;
  std::uint32_t heads = 0;
  std::uint32_t sectorsPerTrack = 0;
};

// The volume chosen in the volume tree, as the information panel shows it.
struct VolumeFigures {
  std::string type;  // "HTFS" or "EAFS"
  std::string name;
  std::uint64_t startSector = 0;
  std::uint64_t sizeSectors = 0;
};

// The panel rows (label and value text) each set of figures fills, in the
// order of the panel's drive and volume layouts.
[[nodiscard]] std::vector<PanelRow> PanelRowsOf(const DriveFigures& figures);
[[nodiscard]] std::vector<PanelRow> PanelRowsOf(const VolumeFigures& figures);

// What a running search or mount shows: the panel values it has set so far
// (by their row's label), the status line and the progress bar. Each
// snapshot holds everything the worker has shown, so only the latest of
// those not yet drawn needs drawing.
struct ProgressSnapshot {
  std::vector<PanelRow> values;
  std::optional<std::string> status;
  std::optional<int> position;  // 0 to 100
};

// The three trees of the left pane; one of each kind exists at a time.
enum class TreeKind { kDisk, kVolume, kFile };

// A tree item. The controller chooses the ids (so a worker knows an item's id
// the moment it asks for it); the view maps them to its own items. 0 is none.
using ViewItem = std::uint64_t;
inline constexpr ViewItem kNoViewItem = 0;

// Images of the trees' shared image list.
enum class TreeImage : int {
  kDrive = 0,  // drives and volumes
  kFolderSelected = 1,
  kFolder = 2,
  kRootAlt = 3,
  kRoot = 4,  // "My Computer" and the file tree's root
};

enum class ListViewMode { kIcons, kList, kDetails };

struct ListColumn {
  std::string title;
  int widthPixels = 0;
  bool rightAligned = false;
};

// One row of the browse list, column texts in order. The view draws the icon
// from the name (a folder icon for folder rows).
struct ListRow {
  std::string name;
  std::string type;
  std::string size;
  std::string date;
  std::string time;
  std::string sector;  // the row key: the folder's tree item or the file's id
  bool isFolder = false;
  // The values behind the texts, for sorting and for commands.
  std::uint64_t key = 0;        // as `sector`
  std::uint64_t sizeValue = 0;  // as `size`
  std::uint32_t timestamp = 0;  // as `date` and `time`
};

// What the saving dialog shows of a running copy: the entry being written
// ("Path" is its host folder, "File Name" its name), "n of m" as "Total
// Files", and the progress.
struct SavingSnapshot {
  std::string path;
  std::string fileName;
  std::string count;
  int position = 0;  // 0 to 100
};

class WizardView {
 public:
  virtual ~WizardView() = default;

  // The right pane.
  virtual void ShowButton(WizardButton button, bool shown) = 0;
  virtual void ShowSection(PaneSection section, bool shown) = 0;
  virtual void SetStatusText(std::string_view text) = 0;
  virtual void SetQuickHelp(std::string_view text) = 0;
  virtual void SetProgress(int position) = 0;  // 0 to 100
  // Checks that option and unchecks the other.
  virtual void CheckIdentifyOption(IdentifyOption option) = 0;
  virtual void SetSectorRange(const SectorRangeText& range) = 0;
  [[nodiscard]] virtual SectorRangeText ReadSectorRange() = 0;

  // The information panel: `rows` are the label and value texts of rows 1
  // to n in order; rows past n are hidden. Status line shown or hidden.
  virtual void SetPanel(const PanelLayout& layout) = 0;
  // The figures fill the values of the drive's or the volume's layout.
  virtual void ShowDriveFigures(const DriveFigures& figures) = 0;
  virtual void ShowVolumeFigures(const VolumeFigures& figures) = 0;
  // A running worker's panel values, status line and progress.
  virtual void ShowProgress(const ProgressSnapshot& snapshot) = 0;

  // Trees. CreateTree destroys the previous tree of that kind and makes a new
  // one holding only `root` with `text`. Items are appended after the
  // existing children of `parent`.
  virtual void CreateTree(TreeKind kind, ViewItem root, std::string_view text, TreeImage image) = 0;
  virtual void AddTreeItem(TreeKind kind, ViewItem parent, ViewItem item, std::string_view text,
                           TreeImage image, TreeImage selectedImage) = 0;
  virtual void SetTreeItemText(TreeKind kind, ViewItem item, std::string_view text) = 0;
  virtual void ExpandTreeItem(TreeKind kind, ViewItem item) = 0;
  virtual void SelectTreeItem(TreeKind kind, ViewItem item) = 0;
  virtual void ShowTree(TreeKind kind, bool shown) = 0;
  virtual void EnableTree(TreeKind kind, bool enabled) = 0;

  // The browse list.
  virtual void ClearList() = 0;  // all rows
  virtual void SetListColumns(std::span<const ListColumn> columns) = 0;
  virtual void AddListRows(std::span<const ListRow> rows) = 0;  // appended in order
  virtual void SetListViewMode(ListViewMode mode) = 0;
  virtual void SetListGridAndFullRow() = 0;  // full-row selection and grid lines
  virtual void ShowList(bool shown) = 0;

  // Menu bar: enable or grey a command (its tool button follows it).
  virtual void EnableMenuCommand(MenuCommand command, bool enabled) = 0;

  // Message boxes with the caption `kCaption`, modal.
  virtual void ShowMessage(std::string_view text, MessageKind kind) = 0;
  [[nodiscard]] virtual Answer AskYesNo(std::string_view text, MessageKind kind) = 0;

  // Dialogs asked for as values; nullopt is Cancel.
  [[nodiscard]] virtual std::optional<RecoveryMode> AskRecoveryMode() = 0;
  [[nodiscard]] virtual std::optional<RecoverySettings> AskRecoverySettings(
      const RecoverySettings& current) = 0;
  // The file filter patterns, in order; the current list is offered to edit.
  [[nodiscard]] virtual std::optional<std::vector<std::string>> AskFileFilters(
      std::span<const std::string> current) = 0;
  // The host folder that receives recovered files.
  [[nodiscard]] virtual std::optional<std::filesystem::path> AskDestinationFolder() = 0;

  // The saving dialog, a view of the controller's saving run: opened as the
  // run starts (modal to the window, without blocking this call), redrawn
  // from each snapshot, closed once the run has ended. Its "Stop Saving" and
  // "Skip File" go to WizardController::StopSaving and SkipFile.
  virtual void OpenSavingDialog() = 0;
  virtual void ShowSavingProgress(const SavingSnapshot& snapshot) = 0;
  virtual void CloseSavingDialog() = 0;

  // The restore dialog, a view of the controller's restore run: opened with
  // "Finish" disabled, its status redrawn, and "Finish" enabled at the end
  // with the summary as the status ("Finish" alone closes it).
  virtual void OpenRestoreDialog() = 0;
  virtual void ShowRestoreStatus(std::string_view text) = 0;
  virtual void RestoreEnded(std::string_view summary) = 0;

  // Shell and process.
  virtual void OpenDocument(std::string_view pathOrAddress, bool maximised) = 0;
  virtual void CloseWindow() = 0;  // the window closes normally; the application ends
  virtual void EndProcess() = 0;   // at once, exit code 0
};

// Carries calls to the view's thread. Post never waits for the view's thread
// to run the call; calls run in the order they were posted. Tests use a queue
// they drain.
//
// PostLatest carries a progress value (a counter, the current sector, the
// status line): of the calls on one channel that have not run yet only the
// latest runs, so a worker that reports faster than the window draws cannot
// fill the queue. A pending progress call still runs before any call posted
// after it. Dispatchers that do not coalesce run every call in order.
class Dispatcher {
 public:
  virtual ~Dispatcher() = default;
  virtual void Post(std::function<void()> call) = 0;
  virtual void PostLatest(std::string_view channel, std::function<void()> call) {
    (void)channel;
    Post(std::move(call));
  }
};

// Starts a worker body. The window front end runs it on a new thread; tests
// may run it at once, hold it, or run it on a thread they join.
class WorkerStarter {
 public:
  virtual ~WorkerStarter() = default;
  virtual void Start(std::function<void()> body) = 0;
};

}  // namespace tolvar
