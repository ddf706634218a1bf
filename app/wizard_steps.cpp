#include "app/wizard_steps.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <iterator>

#include "fs/format.hpp"

namespace tolvar {

namespace {

const std::string kSearchingHelp = QuickHelpText(
    {"Please Wait, Tolvar is searching for partitions. Once this process is completed, it will "
     "show you all the Partitions."});
const std::string kVolumesReadyHelp =
    QuickHelpText({"1. Select the Partition to recover from left pane.", "2. Click Next Button."});
const std::string kDiskStepHelp =
    QuickHelpText({"1. Select the disk to scan from left pane.", "2. Select the scan type.",
                   "3. Click Next Button."});

// Texts that change once per run are formatted on the stack: the search
// should cost little more than its reads.
void ShowNumber(Feedback& feedback, std::string_view label, std::uint64_t value) {
  const fmt::format_int text(value);
  feedback.SetRowValue(label, std::string_view(text.data(), text.size()));
}

void ShowScanningStatus(Feedback& feedback, std::uint64_t done, std::uint64_t total) {
  fmt::basic_memory_buffer<char, 64> text;
  fmt::format_to(std::back_inserter(text), "Scanning sector {} Of {}", done, total);
  feedback.SetStatusText(std::string_view(text.data(), text.size()));
}

int Percent(std::uint64_t done, std::uint64_t total) {
  // done < total <= 2^32, so the product fits in 64 bits.
  return static_cast<int>(done * 100 / total);
}

void BeginSearchDisplay(DiscoveryContext& ctx, int panelMode) {
  if (ctx.layout != nullptr) ctx.layout->SearchStarted();
  ctx.feedback.ShowProgress(true);
  ctx.feedback.SetProgress(0);
  ctx.feedback.SetPanelMode(panelMode, ctx.state.rangeEnd);
  ctx.feedback.SetQuickHelp(kSearchingHelp);
  ctx.tree.Fresh();
}

// The discovery's events as the search display shows them.
class DiscoveryFeedback final : public DiscoveryObserver {
 public:
  DiscoveryFeedback(DiscoveryContext& ctx, bool range) : ctx_(ctx), range_(range) {}

  void RecordRangeStarted(std::uint32_t volumesSoFar) override {
    ctx_.feedback.SetStatusText(SearchingForPartitionText(volumesSoFar + 1));
  }
  void RunStarted(std::uint64_t done, std::uint64_t total, std::uint64_t sector) override {
    if (range_) {
      ShowNumber(ctx_.feedback, kSearchCurrentSectorLabel, sector);
      ShowScanningStatus(ctx_.feedback, done, total);
    }
    ctx_.feedback.SetProgress(Percent(done, total));
  }
  void RunFinished(std::uint64_t sector) override {
    ShowNumber(ctx_.feedback, kSearchCurrentSectorLabel, sector);
  }
  void VolumeAccepted(const VolumeInfo& volume, std::uint32_t volumesFound,
                      bool limitReached) override {
    const std::uint32_t index = volumesFound - 1;
    const auto item = ctx_.tree.AddItem(volume.volumeName);
    if (index < ctx_.volumeItems.size()) ctx_.volumeItems[index] = item;
    ctx_.tree.ExpandRoot();
    // The volume that reaches the limit ends the search before it is counted.
    if (!limitReached) ShowNumber(ctx_.feedback, kSearchFoundLabel, volumesFound);
  }

 private:
  DiscoveryContext& ctx_;
  bool range_;
};

}  // namespace

std::optional<std::uint32_t> ParseSectorField(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > 0xFFFFFFFFu) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

NextOutcome DiskStepNext(DiscoveryContext& ctx, std::string_view startField,
                         std::string_view endField) {
  ctx.state.SetBusy(false);
  // A drive that does not open reads as failures; the checks below then
  // find nothing, as on a blank disk.
  (void)ctx.drives.OpenCurrentDrive();

  if (ctx.state.identifyOption == IdentifyOption::kSearchPartition) {
    const auto start = ParseSectorField(startField);
    if (!start) {
      ctx.feedback.ShowMessage(kBadStartMessage, MessageKind::kError);
      return NextOutcome::kInvalidRange;
    }
    const auto end = ParseSectorField(endField);
    if (!end) {
      ctx.feedback.ShowMessage(kBadEndMessage, MessageKind::kError);
      return NextOutcome::kInvalidRange;
    }
    if (*end <= *start) {
      ctx.feedback.ShowMessage(kEndNotAboveStartMessage, MessageKind::kError);
      return NextOutcome::kInvalidRange;
    }
    ctx.state.rangeStart = *start;
    ctx.state.rangeEnd = *end;
    BeginSearchDisplay(ctx, 1);
    return NextOutcome::kStartWorker;
  }

  if (!HasPartitionRecordMark(ctx.drives)) {
    ctx.feedback.ShowMessage(kNoRecordMessage, MessageKind::kInformation);
    return NextOutcome::kNoRecord;
  }
  BeginSearchDisplay(ctx, 44);
  return NextOutcome::kStartWorker;
}

void RunDiscovery(DiscoveryContext& ctx) {
  const bool range = ctx.state.identifyOption == IdentifyOption::kSearchPartition;
  ctx.tree.SetEnabled(false);
  DiscoveryRequest request;
  request.method = range ? DiscoveryMethod::kRange : DiscoveryMethod::kPartitionRecord;
  request.rangeStart = ctx.state.rangeStart;
  request.rangeEnd = ctx.state.rangeEnd;
  request.sectorsPerRead = ctx.settings.sectorsPerRead;
  DiscoveryFeedback observer(ctx, range);
  (void)FindVolumes(ctx.drives, ctx.volumes, request, observer, ctx.state.Stop());
}

void CompleteDiscovery(DiscoveryContext& ctx) {
  // Volumes ready; switching the display clears a pending stop.
  if (ctx.layout != nullptr) ctx.layout->VolumesReady();
  ctx.tree.SetEnabled(true);
  ctx.state.ClearStop();
  ctx.feedback.ShowProgress(false);
  ctx.feedback.ShowStatus(false);
  ctx.feedback.SetPanelMode(6);
  ctx.feedback.SetQuickHelp(kVolumesReadyHelp);
  ctx.state.step += 1;
  ctx.state.SetBusy(false);
  if (ctx.volumes.volumeCount != 0) return;

  if (ctx.layout != nullptr) ctx.layout->BackToDisk();
  ctx.tree.SetEnabled(false);
  ctx.feedback.SetPanelMode(0);
  ctx.feedback.SetQuickHelp(kDiskStepHelp);
  ctx.state.step -= 1;
  ctx.feedback.ShowMessage(ctx.state.identifyOption == IdentifyOption::kSearchPartition
                               ? kNothingFromSearchMessage
                               : kNothingFromRecordMessage,
                           MessageKind::kInformation);
}

void RunDiscoveryWorker(DiscoveryContext& ctx) {
  ctx.state.SetBusy(true);
  RunDiscovery(ctx);
  CompleteDiscovery(ctx);
}

std::string_view VolumeTypeText(FsType type) { return FsTypeName(type); }

void ShowVolumeRows(Feedback& feedback, const VolumeInfo& volume) {
  feedback.SetRowValue("Volume Type  ", VolumeTypeText(volume.fsType));
  feedback.SetRowValue("Volume Name    ", volume.volumeName);
  ShowNumber(feedback, "Volume Start      ", volume.startSector);
  feedback.SetRowValue("Volume Size     ", MegabytesText(volume.sizeSectors));
}

bool SelectVolumeItem(DiscoveryContext& ctx, VolumeTreeSink::ItemHandle item) {
  if (ctx.state.step != 1) return false;
  const std::uint32_t count = std::min(ctx.volumes.volumeCount, VolumeTable::kCapacity);
  for (std::uint32_t i = 0; i < count; ++i) {
    if (ctx.volumeItems[i] != item) continue;
    ctx.volumes.currentVolume = static_cast<std::uint16_t>(i);
    ShowVolumeRows(ctx.feedback, ctx.volumes.entries[i]);
    return true;
  }
  return false;
}

void MountFeedback::PhaseStarted(MountPhase phase) {
  switch (phase) {
    case MountPhase::kWalk:
    case MountPhase::kInodeScan:
      break;
    case MountPhase::kFinalizingNames:
      feedback_.SetStatusText(kFinalizingStatus);
      break;
    case MountPhase::kGatheringLostFolders:
      feedback_.SetStatusText(kLostDataStatus);
      feedback_.SetProgress(0);
      break;
  }
}

void MountFeedback::SectorReading(std::uint64_t sector) {
  ShowNumber(feedback_, kCurrentSectorLabel, sector);
}

void MountFeedback::FolderFound(std::uint32_t folderCount, std::string_view name) {
  ShowNumber(feedback_, kFoldersFoundLabel, folderCount);
  feedback_.SetRowValue(kLastEntryLabel, name);
}

void MountFeedback::FileFound(std::uint32_t fileCount, std::string_view name) {
  if (fileCount % 10 == 0) ShowNumber(feedback_, kFilesFoundLabel, fileCount);
  if (fileCount % 100 == 0) feedback_.SetRowValue(kLastEntryLabel, name);
}

void MountFeedback::Progress(int position) { feedback_.SetProgress(position); }

MountResult MountWorker(DriveTable& drives, const VolumeInfo& volume, FileTree& tree,
                        WizardState& state, Feedback& feedback, MountViews& views) {
  state.SetBusy(true);
  feedback.SetQuickHelp(kMountingHelp);
  tree.ClearFileTree();
  views.items.Clear();
  feedback.ShowStatus(true);
  feedback.ShowProgress(true);
  feedback.SetProgress(0);
  views.window.SetBackButton(false);
  views.window.SetStopButton(false);
  feedback.SetPanelMode(2);
  views.window.SetStopButton(true);
  feedback.SetStatusText(kMountingStatus);

  MountFeedback observer(feedback);
  if (auto mounted = MountInto(tree, drives, volume, state.recoveryMode, observer, state.Stop());
      !mounted) {
    if (mounted.error().code == ErrorCode::kOutOfMemory) {
      feedback.ShowMessage(kOutOfMemoryMessage, MessageKind::kError);
    }
    return mounted;
  }

  views.window.SetStopButton(false);
  state.step += 1;
  views.window.ShowBrowseLayout();

  feedback.SetProgress(0);
  feedback.SetStatusText(kTreeStatus);
  BuildFolderTree(tree, views.items, views.tree, views.rootItem, kRootInode, feedback);
  FillFolderList(tree, views.items, kRootInode, views.filters, views.list, state);

  views.window.ShowBrowseControls();
  feedback.SetPanelMode(-1);
  views.window.SetBackButton(true);
  feedback.ShowProgress(false);
  state.SetBusy(false);
  feedback.SetQuickHelp(kBrowseHelp);
  return {};
}

}  // namespace tolvar
