#include "app/wizard_controller.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "app/browse_view.hpp"
#include "app/drive_list.hpp"
#include "app/engine_runs.hpp"
#include "app/wizard_steps.hpp"
#include "app/wizard_texts.hpp"
#include "fs/timestamp.hpp"
#include "volumes/discovery.hpp"

namespace tolvar {

namespace {

// Next on a drive that would not open: which drive, and the system's reason.
std::string DriveNotOpenedMessage(std::uint16_t drive, std::string_view reason) {
  return fmt::format(
      "{} could not be opened: {}\r\n\r\nTo read disks, add your user to the disk group "
      "(sudo usermod -aG disk $USER, then log out and in again), or start Tolvar as "
      "administrator with: pkexec tolvar-gui",
      DriveItemText(drive), reason);
}

std::string JoinHelp(std::span<const std::string_view> lines) {
  return QuickHelpText(std::vector<std::string>(lines.begin(), lines.end()));
}

constexpr std::array kBrowseCommands = {
    MenuCommand::kRecoverSelected, MenuCommand::kRecoverAll,
    MenuCommand::kIcons,           MenuCommand::kList,
    MenuCommand::kDetails,         MenuCommand::kFindFiles,
    MenuCommand::kFileFilters,     MenuCommand::kDriveInformation};

}  // namespace

// Everything the controller keeps besides the session. UI-thread fields are
// marked; the rest is written by a worker before it posts its completion and
// read on the UI thread after it.
struct WizardController::Impl {
  Impl(Session& s, WizardView& v, Dispatcher& d, WorkerStarter& w, ControllerOptions o)
      : session(s), view(v), dispatcher(d), workers(w), options(std::move(o)) {
    if (!options.fileTypeName) options.fileTypeName = DefaultFileTypeName;
  }

  Session& session;
  WizardView& view;
  Dispatcher& dispatcher;
  WorkerStarter& workers;
  ControllerOptions options;
  // Cleared when the controller goes; posted calls that arrive later do nothing.
  std::shared_ptr<bool> alive = std::make_shared<bool>(true);

  std::atomic<ViewItem> nextItem{1};
  std::array<ViewItem, 3> roots{};                           // by TreeKind
  std::vector<ViewItem> driveItems;                          // by drive index
  std::vector<ViewItem> volumeItems;                         // by volume index (worker, then UI)
  std::vector<ViewItem> folderItems;                         // by folder index (worker, then UI)
  std::unordered_map<ViewItem, std::uint32_t> folderByItem;  // item -> folder index
  std::unordered_map<ViewItem, ViewItem> parentOfItem;       // file tree item -> its parent
  std::uint32_t treeItemCount = 0;  // tree items of every build since start

  // UI thread.
  bool workerActive = false;
  bool closePending = false;
  bool ended = false;
  bool driveChosen = false;
  bool leaving = false;
  bool restoreDeclined = false;
  std::map<MenuCommand, bool> menuEnabled;
  SaveControl saveControl;           // the saving run's stop and skip requests
  std::atomic<bool> closing{false};  // read by the mount worker to skip the tree build

  WizardState& state() { return session.state; }
  ViewItem NewItem() { return nextItem.fetch_add(1, std::memory_order_relaxed); }

  // Runs `call` on the view's thread, in order with every other posted call.
  void Post(std::function<void()> call) {
    dispatcher.Post([weak = std::weak_ptr<bool>(alive), this, call = std::move(call)] {
      if (weak.expired() || ended) return;
      call();
    });
  }

  // Runs `call` on the view's thread unless a later call of `channel` comes
  // before it runs; in order with every call posted after it.
  void PostLatest(std::string_view channel, std::function<void()> call) {
    dispatcher.PostLatest(channel,
                          [weak = std::weak_ptr<bool>(alive), this, call = std::move(call)] {
                            if (weak.expired() || ended) return;
                            call();
                          });
  }

  engine::ViewProgressCall ProgressCall() {
    return [this](std::string_view channel, std::function<void(WizardView&)> call) {
      PostLatest(channel, [this, call = std::move(call)] { call(view); });
    };
  }

  // ---- feedback surface (UI thread) ----

  void Panel(PanelMode mode) {
    const PanelLayout layout = DescribePanelMode(mode, state().rangeEnd);
    view.SetPanel(layout);
    if (!layout.quickHelp.empty()) view.SetQuickHelp(layout.quickHelp);
    if (mode == PanelMode::kRangeSearch || mode == PanelMode::kRecordSearch) {
      view.ShowSection(PaneSection::kSectorRange, false);
    }
  }

  void QuickHelp(std::span<const std::string_view> lines) { view.SetQuickHelp(JoinHelp(lines)); }

  void EnableMenu(MenuCommand command, bool enabled) {
    menuEnabled[command] = enabled;
    view.EnableMenuCommand(command, enabled);
  }

  void MenuState(int menu) {
    const bool browse = menu == 3;
    for (const MenuCommand c : kBrowseCommands) EnableMenu(c, browse);
    EnableMenu(MenuCommand::kSettings, menu != 0 || state().step == WizardStep::kDisk);
    for (const MenuCommand c :
         {MenuCommand::kExit, MenuCommand::kLiveUpdate, MenuCommand::kContents,
          MenuCommand::kBuyOnline, MenuCommand::kAbout}) {
      EnableMenu(c, true);
    }
  }

  [[nodiscard]] bool MenuEnabled(MenuCommand command) const {
    const auto it = menuEnabled.find(command);
    return it != menuEnabled.end() && it->second;
  }

  void Settings() {
    if (ended || !MenuEnabled(MenuCommand::kSettings)) return;
    if (auto chosen = view.AskRecoverySettings(session.settings)) session.settings = *chosen;
  }

  void FileFilters() {
    if (ended || !MenuEnabled(MenuCommand::kFileFilters)) return;
    auto patterns = view.AskFileFilters(session.filters.Patterns());
    if (!patterns) return;
    session.filters.Store(*patterns);
    state().treeHasFocus = 1;
    const ViewItem root = roots[static_cast<std::size_t>(TreeKind::kFile)];
    view.SelectTreeItem(TreeKind::kFile, root);
    FillList(kRootFolderInode);
  }

  void ShowRangeControls(bool shown) { view.ShowSection(PaneSection::kSectorRange, shown); }

  void ResetRangeFields() {
    view.SetSectorRange({"0", fmt::format("{}", DefaultRangeEnd(session.drives.Current()))});
  }

  void DetailsColumn() {
    const ListColumn column{std::string(kDetailsColumn), 500, false};
    view.SetListColumns(std::span(&column, 1));
  }

  // ---- the five pane layouts (UI thread) ----

  void LayoutSearchStart() {
    view.ShowTree(TreeKind::kDisk, false);
    view.EnableTree(TreeKind::kDisk, false);
    view.ClearList();
    view.ShowSection(PaneSection::kIdentifyOptions, false);
    view.ShowButton(WizardButton::kNext, false);
    view.ShowButton(WizardButton::kBack, false);
    view.ShowButton(WizardButton::kStop, true);
    view.SetProgress(0);
    view.ShowSection(PaneSection::kProgress, true);
  }

  void LayoutBackToDisk() {
    view.ShowTree(TreeKind::kDisk, true);
    view.EnableTree(TreeKind::kDisk, true);
    view.ShowTree(TreeKind::kVolume, false);
    view.EnableTree(TreeKind::kVolume, false);
    view.ClearList();
    view.ShowSection(PaneSection::kIdentifyOptions, true);
    view.ShowButton(WizardButton::kBack, false);
    if (state().identifyOption == IdentifyOption::kSearchPartition) ShowRangeControls(true);
  }

  void LayoutVolumesReady() {
    view.EnableTree(TreeKind::kVolume, true);
    state().ClearStop();
    view.ShowSection(PaneSection::kProgress, false);
    view.ShowSection(PaneSection::kStatusLine, false);
    view.ShowButton(WizardButton::kStop, false);
    view.ShowButton(WizardButton::kBack, true);
    MenuState(1);
    Panel(PanelMode::kVolume);
    QuickHelp(kVolumesReadyHelpLines);
  }

  void LayoutFilesReady() {
    view.ShowTree(TreeKind::kFile, true);
    view.EnableTree(TreeKind::kFile, false);
    view.ClearList();
    static const std::array<ListColumn, 6> kColumns = {{{"Name", 150, false},
                                                        {"Type", 100, false},
                                                        {"Size", 70, true},
                                                        {"Date", 100, false},
                                                        {"Time", 70, false},
                                                        {"Sector", 70, false}}};
    view.SetListColumns(kColumns);
    view.SetListGridAndFullRow();
    view.SetStatusText(kTreeStatus);
  }

  void LayoutBackToVolumes() {
    view.ShowTree(TreeKind::kVolume, true);
    view.EnableTree(TreeKind::kVolume, true);
    view.ShowTree(TreeKind::kFile, false);
    view.EnableTree(TreeKind::kFile, false);
    view.ClearList();
    DetailsColumn();
  }

  void DiskStep(int menu) {
    LayoutBackToDisk();
    MenuState(menu);
    Panel(PanelMode::kDrive);
  }

  // ---- trees ----

  ViewItem CreateTree(TreeKind kind, std::string_view rootText, TreeImage image) {
    const ViewItem root = NewItem();
    roots[static_cast<std::size_t>(kind)] = root;
    view.CreateTree(kind, root, rootText, image);
    return root;
  }

  // ---- browse list (any thread; returns the rows) ----

  FolderListing Listing(std::uint32_t folderInode) const {
    const FileFilterList* filters = session.filters.Count() > 0 ? &session.filters : nullptr;
    return FolderListing(session.fileTree, folderInode, filters, folderItems, options.fileTypeName);
  }

  // The list fill: workerBusy drops, the folder's rows replace the list's.
  void FillList(std::uint32_t folderInode) {
    state().SetBusy(false);
    view.ClearList();
    view.ShowListEntries(Listing(folderInode));
  }

  // The view's folder tree over the finished file tree.
  FolderTreeSource Folders() const {
    return {&session.fileTree, folderItems, [this](ViewItem item) -> std::optional<std::uint32_t> {
              const auto found = folderByItem.find(item);
              if (found == folderByItem.end()) return std::nullopt;
              return found->second;
            }};
  }

  // ---- operations ----

  void Startup(std::string_view startDirectory) {
    std::string dir(startDirectory);
    if (dir.empty() || dir.back() != '/') dir += '/';
    state().startDirectory = dir;
    state().identifyOption = IdentifyOption::kUsePartitionTable;
    state().recoveryMode = RecoveryMode::kNormal;
    state().ClearStop();
    state().SetBusy(false);

    state().step = WizardStep::kStarting;
    MakeDiskTree();
    state().step = WizardStep::kDisk;

    MenuState(0);
    ShowRangeControls(false);
    Panel(PanelMode::kDrive);
    QuickHelp(kStartHelpLines);
    view.CheckIdentifyOption(IdentifyOption::kUsePartitionTable);
    view.ShowSection(PaneSection::kProgress, false);
    view.ShowButton(WizardButton::kBack, false);
    view.ShowButton(WizardButton::kNext, false);
    view.ShowButton(WizardButton::kStop, false);
    view.ShowList(false);
    DetailsColumn();
    session.settings = RecoverySettings::DefaultsFor(session.drives.Route());
  }

  // "My Computer" with one item per listed drive.
  void MakeDiskTree() {
    const ViewItem root = CreateTree(TreeKind::kDisk, kDiskTreeRootText, TreeImage::kRoot);
    view.EnableTree(TreeKind::kDisk, true);
    driveItems.clear();
    driveChosen = false;
    for (unsigned i = 0; i < session.drives.listedCount; ++i) {
      const ViewItem item = NewItem();
      driveItems.push_back(item);
      view.AddTreeItem(TreeKind::kDisk, root, item, fmt::format("{}{}", kDriveItemPrefix, i),
                       TreeImage::kDrive, TreeImage::kDrive);
    }
    view.ExpandTreeItem(TreeKind::kDisk, root);
  }

  bool DrivesChanged() {
    if (ended || workerActive || state().step != WizardStep::kDisk) return false;
    MakeDiskTree();
    view.ShowButton(WizardButton::kNext, false);
    Panel(PanelMode::kDrive);
    return true;
  }

  void TreeClicked(TreeKind kind, ViewItem item) {
    if (ended) return;
    state().treeHasFocus = 1;
    const ViewItem root = roots[static_cast<std::size_t>(kind)];
    if (item == kNoViewItem) item = root;
    if (item == root || workerActive) {
      view.SelectTreeItem(kind, item);
      if (item == root && kind == TreeKind::kFile && state().step == WizardStep::kFiles &&
          !workerActive) {
        state().openWith = 0;
        OpenFolder(item);
      }
      return;
    }
    if (kind == TreeKind::kDisk && state().step == WizardStep::kDisk) {
      const auto it = std::find(driveItems.begin(), driveItems.end(), item);
      if (it == driveItems.end()) return;
      view.SelectTreeItem(kind, item);
      session.drives.currentDrive = static_cast<std::uint16_t>(it - driveItems.begin());
      driveChosen = true;
      ResetRangeFields();
      const DriveInfo& drive = session.drives.Current();
      view.ShowDriveFigures(
          {drive.model, drive.totalSectors, drive.cylinders, drive.heads, drive.sectorsPerTrack});
      view.ShowButton(WizardButton::kNext, true);
    } else if (kind == TreeKind::kVolume && state().step == WizardStep::kVolume) {
      const auto it = std::find(volumeItems.begin(), volumeItems.end(), item);
      if (it == volumeItems.end()) return;
      view.SelectTreeItem(kind, item);
      const auto index = static_cast<std::uint16_t>(it - volumeItems.begin());
      session.volumes.currentVolume = index;
      const VolumeInfo& volume = session.volumes.entries[index];
      view.ShowVolumeFigures({std::string(FsTypeName(volume.fsType)), volume.volumeName,
                              volume.startSector, volume.sizeSectors});
      view.ShowButton(WizardButton::kNext, true);
    } else if (kind == TreeKind::kFile && state().step == WizardStep::kFiles) {
      state().openWith = 0;
      view.ClearList();
      view.SelectTreeItem(kind, item);
      OpenFolder(item);
    }
  }

  void IdentifyOptionChosen(IdentifyOption option) {
    if (ended || state().step != WizardStep::kDisk || workerActive) return;
    state().identifyOption = option;
    view.CheckIdentifyOption(option);
    if (option == IdentifyOption::kSearchPartition) {
      ShowRangeControls(true);
      ResetRangeFields();
    } else {
      ShowRangeControls(false);
    }
  }

  void Next() {
    if (ended || workerActive) return;
    view.SetListGridAndFullRow();
    session.filters.Reset();
    state().SetBusy(false);
    view.ShowButton(WizardButton::kNext, false);
    view.SetListViewMode(ListViewMode::kDetails);

    if (state().step == WizardStep::kDisk) {
      if (!driveChosen) return;
      if (state().identifyOption == IdentifyOption::kSearchPartition) {
        const SectorRangeText typed = view.ReadSectorRange();
        const auto start = ParseSectorField(typed.start);
        const auto end = start ? ParseSectorField(typed.end) : std::optional<std::uint32_t>{};
        std::string_view refusal;
        if (!start) {
          refusal = kBadStartMessage;
        } else if (!end) {
          refusal = kBadEndMessage;
        } else if (*end <= *start) {
          refusal = kEndNotAboveStartMessage;
        }
        if (!refusal.empty()) {
          view.ShowMessage(refusal, MessageKind::kError);
          view.ShowButton(WizardButton::kNext, true);
          return;
        }
        state().rangeStart = *start;
        state().rangeEnd = *end;
      }
      StartOpenWorker(state().identifyOption == IdentifyOption::kSearchPartition);
    } else if (state().step == WizardStep::kVolume) {
      const std::optional<RecoveryMode> mode = view.AskRecoveryMode();
      if (!mode) return;
      state().recoveryMode = *mode;
      view.ShowTree(TreeKind::kVolume, false);
      view.EnableTree(TreeKind::kVolume, false);
      const VolumeInfo& volume = session.volumes.Current();
      CreateTree(TreeKind::kFile,
                 volume.volumeName.empty() ? kUnnamedVolumeRootText : volume.volumeName,
                 TreeImage::kRoot);
      view.ShowTree(TreeKind::kFile, true);
      view.EnableTree(TreeKind::kFile, false);
      StartMountWorker();
    }
  }

  // Opens the chosen drive and, for the partition table, looks for its
  // record, off the view's thread: a failing disk retries every read. A
  // drive that does not open reads as failures, so the search finds
  // nothing, as on a blank disk.
  void StartOpenWorker(bool rangeSearch) {
    workerActive = true;
    workers.Start([this, rangeSearch] {
      std::string openProblem;
      if (!session.drives.OpenCurrentDrive() && session.drives.LastOpenError()) {
        openProblem = session.drives.LastOpenError()->message;
      }
      const bool hasRecord =
          openProblem.empty() && (rangeSearch || HasPartitionInformation(session.drives));
      Post([this, rangeSearch, hasRecord, openProblem = std::move(openProblem)] {
        workerActive = false;
        if (!openProblem.empty()) {
          // The reason, not an empty search: the user can mend it and retry.
          view.ShowMessage(DriveNotOpenedMessage(session.drives.currentDrive, openProblem),
                           MessageKind::kError);
          view.ShowButton(WizardButton::kNext, true);
          return;
        }
        if (!hasRecord) {
          view.ShowMessage(kNoRecordMessage, MessageKind::kInformation);
          return;
        }
        BeginSearch(rangeSearch ? PanelMode::kRangeSearch : PanelMode::kRecordSearch);
      });
    });
  }

  void BeginSearch(PanelMode panelMode) {
    LayoutSearchStart();
    MenuState(1);
    Panel(panelMode);
    QuickHelp(kSearchingHelpLines);
    CreateTree(TreeKind::kVolume, kVolumeTreeRootText, TreeImage::kDrive);
    StartSearchWorker();
  }

  void Back() {
    if (ended || workerActive) return;
    view.SetListViewMode(ListViewMode::kDetails);
    view.ShowButton(WizardButton::kNext, false);
    view.ClearList();
    view.ShowList(false);
    if (state().step == WizardStep::kVolume) {
      session.drives.CloseDrive();
      DiskStep(4);
      state().step = WizardStep::kDisk;
      QuickHelp(kBackToDiskHelpLines);
      driveChosen = false;
    } else if (state().step == WizardStep::kFiles) {
      FreeFileTree();
      LayoutBackToVolumes();
      state().step = WizardStep::kVolume;
      MenuState(1);
      Panel(PanelMode::kVolumeOnReturn);
      QuickHelp(kBackToVolumesHelpLines);
      view.ShowSection(PaneSection::kStatusLine, false);
      view.SetStatusText("");
    }
  }

  void Stop() {
    if (ended) return;
    if (view.AskYesNo(kStopQuestion, MessageKind::kQuestion) == Answer::kYes) {
      state().RequestStop();
    }
  }

  void Exit() {
    if (ended) return;
    if (view.AskYesNo(kExitQuestion, MessageKind::kQuestion) != Answer::kYes) return;
    leaving = true;
    view.OpenDocument(options.homePage, true);
    EndNow();
  }

  // The process ends; a worker still running is asked to stop so that a host
  // that outlives this call (a test) can wait for it.
  void EndNow() {
    ended = true;
    state().RequestStop();
    saveControl.PressStopSaving();
    view.EndProcess();
  }

  CloseDecision CloseRequested() {
    if (ended || closePending) return CloseDecision::kKeepOpen;
    if (view.AskYesNo(kExitQuestion, MessageKind::kQuestion) != Answer::kYes) {
      return CloseDecision::kKeepOpen;
    }
    if (workerActive) {
      // The worker still fills or reads the file tree: stop it, let it end,
      // and close from its completion.
      closePending = true;
      closing.store(true, std::memory_order_relaxed);
      state().RequestStop();
      saveControl.PressStopSaving();
      return CloseDecision::kKeepOpen;
    }
    FinishClose();
    return CloseDecision::kClose;
  }

  void FinishClose() {
    leaving = true;
    FreeFileTree();
    view.OpenDocument(options.homePage, true);
    ended = true;
  }

  // Runs at the end of every worker's completion, on the UI thread.
  void WorkerEnded() {
    workerActive = false;
    if (closePending) {
      FinishClose();
      view.CloseWindow();
    }
  }

  // The view lets go of the tree's listing and folders first: it reads them
  // as it draws.
  void FreeFileTree() {
    view.ClearList();
    view.ShowFolders({});
    session.fileTree.ClearFileTree();
    folderItems.clear();
    folderByItem.clear();
    parentOfItem.clear();
  }

  void OpenFolder(ViewItem target) {
    if (ended || state().step != WizardStep::kFiles || workerActive || target == kNoViewItem)
      return;
    const auto found = folderByItem.find(target);
    const FileTree& tree = session.fileTree;
    FillList(found == folderByItem.end() ? kRootFolderInode : tree.Folders()[found->second].inode);
    view.SelectTreeItem(TreeKind::kFile, target);
    state().treeHasFocus = 1;
    // Expand the target and each ancestor up to the root. Every item was
    // inserted after its parent, so the chain ends at the root.
    for (ViewItem item = target; item != kNoViewItem;) {
      view.ExpandTreeItem(TreeKind::kFile, item);
      const auto parent = parentOfItem.find(item);
      item = parent == parentOfItem.end() ? kNoViewItem : parent->second;
    }
  }

  // ---- workers ----

  bool Save(engine::SavingRequest request, WizardController::SavingEnded onEnded) {
    if (ended || workerActive || state().step != WizardStep::kFiles) return false;
    workerActive = true;
    saveControl.StartRun();
    view.OpenSavingDialog();
    workers.Start([this, request = std::move(request), onEnded = std::move(onEnded)] {
      auto run = std::make_shared<engine::SavingRun>(
          engine::Save(session, request, saveControl, ProgressCall()));
      Post([this, run, onEnded] {
        view.CloseSavingDialog();
        // Properties shows these digests for the files from now on.
        const std::string volumeKey =
            SavedDigests::VolumeKey(session.drives.Current(), session.volumes.Current());
        for (const auto& [inode, digests] : run->written.byInode) {
          session.savedDigests.Record(volumeKey, inode, digests);
        }
        if (!closePending && onEnded) onEnded(*run);
        WorkerEnded();
      });
    });
    return true;
  }

  void RestoreCompressed(std::string folder) {
    if (ended || workerActive) return;
    if (view.AskYesNo(kRestoreQuestion, MessageKind::kQuestion) != Answer::kYes) {
      // Kept for the record only: a later Yes still restores.
      restoreDeclined = true;
      return;
    }
    workerActive = true;
    state().ClearStop();
    view.OpenRestoreDialog();
    workers.Start([this, folder = std::move(folder)] {
      auto report = engine::Restore(folder, state().Stop(), ProgressCall());
      Post([this, report = std::move(report)] {
        // A host failure that ended the work is said first; "Finish" always
        // comes, whatever happened.
        if (report && !report->summary.stopMessage.empty()) {
          view.ShowMessage(report->summary.stopMessage, MessageKind::kError);
        }
        view.RestoreEnded(report ? RestoreSummaryLine(report->summary) : report.error().message);
        WorkerEnded();
      });
    });
  }

  void StartSearchWorker() {
    workerActive = true;
    const bool fromRecord = state().identifyOption != IdentifyOption::kSearchPartition;
    const ViewItem root = roots[static_cast<std::size_t>(TreeKind::kVolume)];
    volumeItems.clear();
    workers.Start([this, fromRecord, root] { SearchWorker(fromRecord, root); });
  }

  // Worker thread.
  void SearchWorker(bool fromRecord, ViewItem root) {
    state().SetBusy(true);
    Post([this] { view.EnableTree(TreeKind::kVolume, false); });
    engine::DiscoveryHooks hooks{
        .feedback =
            [this](std::function<void(WizardView&)> call) {
              Post([this, call = std::move(call)] { call(view); });
            },
        .progress = ProgressCall(),
        .volumeAccepted =
            [this, root](std::string_view volumeName) {
              const ViewItem item = NewItem();
              volumeItems.push_back(item);
              Post([this, root, item, name = std::string(volumeName)] {
                view.AddTreeItem(TreeKind::kVolume, root, item, name, TreeImage::kDrive,
                                 TreeImage::kDrive);
                view.ExpandTreeItem(TreeKind::kVolume, root);
              });
            },
        .volumesCleared =
            [this, root] {
              volumeItems.clear();
              Post([this, root] {
                view.CreateTree(TreeKind::kVolume, root, kVolumeTreeRootText, TreeImage::kDrive);
              });
            },
    };
    engine::Discover(session, hooks);
    Post([this, fromRecord] { SearchCompleted(fromRecord); });
  }

  void SearchCompleted(bool fromRecord) {
    LayoutVolumesReady();
    state().step = WizardStep::kVolume;
    state().SetBusy(false);
    if (session.volumes.volumeCount == 0) {
      DiskStep(4);
      QuickHelp(kBackToDiskHelpLines);
      state().step = WizardStep::kDisk;
      driveChosen = false;
      view.ShowMessage(fromRecord ? kNothingFromRecordMessage : kNothingFromSearchMessage,
                       MessageKind::kInformation);
    } else if (const auto unrescued = engine::UnrescuedVolumeLines(session); !unrescued.empty()) {
      view.ShowMessage(fmt::format("{}", fmt::join(unrescued, "\r\n")), MessageKind::kInformation);
    }
    WorkerEnded();
  }

  void StartMountWorker() {
    workerActive = true;
    const ViewItem root = roots[static_cast<std::size_t>(TreeKind::kFile)];
    workers.Start([this, root] { MountWorker(root); });
  }

  // Worker thread.
  void MountWorker(ViewItem root) {
    WizardState& st = state();
    st.SetBusy(true);
    Post([this] { view.SetQuickHelp(kMountingHelp); });
    session.fileTree.ClearFileTree();
    folderItems.clear();
    folderByItem.clear();
    parentOfItem.clear();
    Post([this] {
      view.ShowSection(PaneSection::kStatusLine, true);
      view.SetProgress(0);
      view.ShowSection(PaneSection::kProgress, true);
      view.ShowButton(WizardButton::kBack, false);
      view.ShowButton(WizardButton::kStop, false);
      Panel(PanelMode::kMounting);
      view.ShowButton(WizardButton::kStop, true);
      view.SetStatusText(kMountingStatus);
    });
    st.ClearStop();

    engine::MountHooks hooks{.feedback =
                                 [this](std::function<void(WizardView&)> call) {
                                   Post([this, call = std::move(call)] { call(view); });
                                 },
                             .progress = ProgressCall()};
    const bool mounted = engine::Mount(session, session.volumes.Current(), st.recoveryMode, hooks);
    if (!mounted) {
      // Out of memory: the message, then the process ends.
      Post([this] {
        view.ShowMessage(kOutOfMemoryMessage, MessageKind::kInformation);
        EndNow();
      });
      return;
    }

    st.ClearStop();
    Post([this] {
      view.ShowButton(WizardButton::kStop, false);
      state().step = WizardStep::kFiles;
      LayoutFilesReady();
      view.SetProgress(0);
      view.SetStatusText(kTreeStatus);
    });
    // From here the file tree stays as it is until the view lets go of it.
    std::optional<FolderListing> listing;
    if (!closing.load(std::memory_order_relaxed)) {
      BuildFolderTree(root);
      listing = Listing(kRootFolderInode);
    }
    st.SetBusy(false);  // the list fill
    Post([this, listing = std::move(listing)] {
      view.ClearList();
      if (listing) view.ShowListEntries(*listing);
      view.EnableTree(TreeKind::kFile, true);
      Panel(PanelMode::kCleared);
      view.ShowList(true);
      view.ShowButton(WizardButton::kBack, true);
      view.ShowSection(PaneSection::kProgress, false);
      MenuState(3);
      state().SetBusy(false);
      view.SetQuickHelp(kBrowseHelp);
      WorkerEnded();
    });
  }

  // Gives the folders below the root their tree items depth first, each
  // after its parent's earlier children, in list order (no recursion: a chain
  // of nested folders is as deep as the disk says), then hands the view the
  // finished tree in one call: it reads the folders as it draws them, so no
  // item travels through the queue. Worker thread.
  void BuildFolderTree(ViewItem root) {
    const FileTree& tree = session.fileTree;
    folderItems.assign(tree.Folders().size(), kNoViewItem);
    const std::uint64_t folders = std::max<std::uint32_t>(tree.FolderCount(), 1);
    int shown = -1;
    auto progress = [&] {
      const auto position = static_cast<int>(
          std::min<std::uint64_t>(std::uint64_t{treeItemCount} * 100 / folders, 99));
      if (position != shown)
        PostLatest("progress", [this, position] { view.SetProgress(position); });
      shown = position;
    };
    progress();
    VisitFolderTree(tree, kRootFolderInode, [&](std::uint32_t index, std::uint32_t parentIndex) {
      const ViewItem item = NewItem();
      const ViewItem parent = parentIndex == kNoFolderIndex ? root : folderItems[parentIndex];
      folderItems[index] = item;
      folderByItem.emplace(item, index);
      parentOfItem.emplace(item, parent);
      ++treeItemCount;
      progress();
    });
    Post([this, root] {
      view.ShowFolders(Folders());
      view.ExpandTreeItem(TreeKind::kFile, root);
    });
  }
};

WizardController::WizardController(Session& session, WizardView& view, Dispatcher& dispatcher,
                                   WorkerStarter& workers, ControllerOptions options)
    : session_(session),
      impl_(std::make_unique<Impl>(session, view, dispatcher, workers, std::move(options))) {}

WizardController::~WizardController() {
  session_.state.RequestStop();
  impl_->saveControl.PressStopSaving();
}

void WizardController::Startup(std::string_view startDirectory) { impl_->Startup(startDirectory); }
bool WizardController::DrivesChanged() { return impl_->DrivesChanged(); }
void WizardController::TreeClicked(TreeKind kind, ViewItem item) { impl_->TreeClicked(kind, item); }
void WizardController::ListClicked() { session_.state.treeHasFocus = 0; }
void WizardController::IdentifyOptionChosen(IdentifyOption option) {
  impl_->IdentifyOptionChosen(option);
}
void WizardController::Next() { impl_->Next(); }
void WizardController::Back() { impl_->Back(); }
void WizardController::Stop() { impl_->Stop(); }
void WizardController::Exit() { impl_->Exit(); }
CloseDecision WizardController::CloseRequested() { return impl_->CloseRequested(); }
void WizardController::OpenFolder(ViewItem folderItem) {
  impl_->state().openWith = 0;
  impl_->OpenFolder(folderItem);
}
void WizardController::SetListViewMode(ListViewMode mode) { impl_->view.SetListViewMode(mode); }
void WizardController::Settings() { impl_->Settings(); }
void WizardController::FileFilters() { impl_->FileFilters(); }
bool WizardController::Save(engine::SavingRequest request, SavingEnded ended) {
  return impl_->Save(std::move(request), std::move(ended));
}
void WizardController::StopSaving() { impl_->saveControl.PressStopSaving(); }
void WizardController::SkipFile() { impl_->saveControl.PressSkipFile(); }
void WizardController::RestoreCompressed(std::string folder) {
  impl_->RestoreCompressed(std::move(folder));
}
bool WizardController::RestoreDeclined() const { return impl_->restoreDeclined; }
bool WizardController::MenuCommandEnabled(MenuCommand command) const {
  return impl_->MenuEnabled(command);
}
bool WizardController::Leaving() const { return impl_->leaving; }

bool WizardController::WorkerRunning() const { return impl_->workerActive; }
ViewItem WizardController::RootItem(TreeKind kind) const {
  return impl_->roots[static_cast<std::size_t>(kind)];
}

std::optional<std::size_t> WizardController::FolderIndexOfItem(ViewItem item) const {
  const auto found = impl_->folderByItem.find(item);
  if (found == impl_->folderByItem.end()) return std::nullopt;
  return found->second;
}

ViewItem WizardController::FolderItemOfInode(std::uint32_t inode) const {
  const ViewItem root = RootItem(TreeKind::kFile);
  const FolderNode* folder = session_.fileTree.FindFolder(inode);
  if (folder == nullptr) return root;
  const auto index = static_cast<std::size_t>(folder - session_.fileTree.Folders().data());
  return index < impl_->folderItems.size() && impl_->folderItems[index] != kNoViewItem
             ? impl_->folderItems[index]
             : root;
}

}  // namespace tolvar
