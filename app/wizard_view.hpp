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

#include "app/wizard_state.hpp"
#include "app/wizard_texts.hpp"
#include "base/settings.hpp"

namespace tolvar {

class FolderListing;      // app/browse_view.hpp
struct FolderTreeSource;  // app/browse_view.hpp

// The window's controls by their numeric ids.
enum class ControlId : int {
  kBrowseList = 1000,
  kSearchPartition = 1001,    // radio button "Search Partition"
  kUsePartitionTable = 1002,  // radio button "Use Partition Table"
  kNext = 1003,
  kBack = 1004,
  kIdentifyGroup = 1007,
  kProgress = 1008,
  kStartField = 1011,
  kEndField = 1012,
  kStartLabel = 1014,
  kEndLabel = 1015,
  kStop = 1017,
  kPanelLabel1 = 1018,
  kPanelValue1 = 1019,
  kStatusLine = 1020,
  kToolRecoverSelected = 1049,
  kToolRecoverAll = 1050,
  kToolSaveSnapshot = 1051,
  kToolLoadSnapshot = 1052,
  kToolFindFiles = 1053,
  kToolSettings = 1054,
  kToolLiveUpdate = 1055,
  kListFrame = 1056,
  kPanelLabel2 = 1058,
  kPanelValue2 = 1059,
  kPanelLabel3 = 1060,
  kPanelValue3 = 1061,
  kPanelLabel4 = 1062,
  kPanelValue4 = 1063,
  kPanelLabel5 = 1064,
  kPanelValue5 = 1065,
  kHomePageLink = 1072,
  kIdentifyHelp = 1097,
  kRangeHelp = 1098,
  kQuickHelp = 1100,
  kIdentifyTitle = 1101,
  kSecondLink = 1102,
  kRangeGroup = 1106,
  kRangeTitle = 1107,
};

// The five rows of the information panel, label and value ids, in order.
struct PanelRowControls {
  ControlId label;
  ControlId value;
};
inline constexpr PanelRowControls kPanelRowControls[5] = {
    {ControlId::kPanelLabel1, ControlId::kPanelValue1},
    {ControlId::kPanelLabel2, ControlId::kPanelValue2},
    {ControlId::kPanelLabel3, ControlId::kPanelValue3},
    {ControlId::kPanelLabel4, ControlId::kPanelValue4},
    {ControlId::kPanelLabel5, ControlId::kPanelValue5},
};

// Menu-bar commands by their numeric ids.
enum class MenuCommand : int {
  kExit = 32774,
  kRecoverSelected = 32806,
  kRecoverAll = 32807,
  kIcons = 32808,
  kFindFiles = 32813,
  kFileFilters = 32814,
  kSettings = 32815,
  kContents = 32816,
  kAbout = 32817,
  kDriveInformation = 32840,
  kBuyOnline = 32841,
  kLiveUpdate = 32842,
  kList = 59410,
  kDetails = 59411,
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

class WizardView {
 public:
  virtual ~WizardView() = default;

  // Controls.
  virtual void ShowControl(ControlId control, bool shown) = 0;
  virtual void EnableControl(ControlId control, bool enabled) = 0;
  virtual void SetControlText(ControlId control, std::string_view text) = 0;  // labels, fields
  virtual void SetStatusText(std::string_view text) = 0;                      // 1020
  virtual void SetQuickHelp(std::string_view text) = 0;                       // 1100
  virtual void SetProgress(int position) = 0;                                 // 0 to 100
  virtual void CheckRadio(ControlId radio) = 0;  // checks it, unchecks the other
  // The two range fields as typed.
  [[nodiscard]] virtual std::string ReadField(ControlId field) = 0;

  // The information panel: `rows` are the label and value texts of rows 1
  // to n in order; rows past n are hidden. Status line shown or hidden.
  virtual void SetPanel(const PanelLayout& layout) = 0;
  virtual void SetPanelValue(std::string_view label, std::string_view value) = 0;

  // Trees. CreateTree destroys the previous tree of that kind and makes a new
  // one holding only `root` with `text`. Items are appended after the
  // existing children of `parent`.
  virtual void CreateTree(TreeKind kind, ViewItem root, std::string_view text, TreeImage image) = 0;
  virtual void AddTreeItem(TreeKind kind, ViewItem parent, ViewItem item, std::string_view text,
                           TreeImage image, TreeImage selectedImage) = 0;
  virtual void SetTreeItemText(TreeKind kind, ViewItem item, std::string_view text) = 0;
  virtual void ExpandTreeItem(TreeKind kind, ViewItem item) = 0;
  virtual void SelectTreeItem(TreeKind kind, ViewItem item) = 0;
  // The folders of a finished file tree below the file tree's root, read
  // from the tree on demand; an empty source leaves the root alone. The
  // view keeps the source until the next call or CreateTree of the file tree.
  virtual void ShowFolders(const FolderTreeSource& folders) = 0;
  virtual void ShowTree(TreeKind kind, bool shown) = 0;
  virtual void EnableTree(TreeKind kind, bool enabled) = 0;

  // The browse list.
  virtual void ClearList() = 0;  // all rows; the view lets go of the listing
  virtual void SetListColumns(std::span<const ListColumn> columns) = 0;
  // The rows of one folder, in the disk's order, replacing the list's. The
  // view reads them from the listing as it draws them and keeps it until
  // ClearList or the next listing.
  virtual void ShowListEntries(const FolderListing& listing) = 0;
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
  // Saving progress, find files, properties, drive information and restore are
  // added by the issues that build those dialogs.

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
