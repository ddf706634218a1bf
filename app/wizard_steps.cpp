#include "app/wizard_steps.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <iterator>

#include "fs/format.hpp"

namespace tolvar {

namespace {

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
    (void)ctx_.tree.AddItem(volume.volumeName);
    ctx_.tree.ExpandRoot();
    // The volume that reaches the limit ends the search before it is counted.
    if (!limitReached) ShowNumber(ctx_.feedback, kSearchFoundLabel, volumesFound);
  }
  void VolumesReordered(const VolumeTable& volumes) override {
    ctx_.tree.Fresh();
    const std::uint32_t count = std::min(volumes.volumeCount, VolumeTable::kCapacity);
    for (std::uint32_t i = 0; i < count; ++i) {
      (void)ctx_.tree.AddItem(volumes.entries[i].volumeName);
    }
    if (count != 0) ctx_.tree.ExpandRoot();
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

}  // namespace tolvar
