#include "app/engine_runs.hpp"

#include <fmt/format.h>

#include <string>

#include "app/wizard_texts.hpp"
#include "base/stop_token.hpp"
#include "fs/mount.hpp"
#include "volumes/discovery.hpp"

namespace tolvar::engine {

namespace {

// The discovery's events as the window shows them.
class DiscoveryDisplay final : public DiscoveryObserver {
 public:
  DiscoveryDisplay(const DiscoveryHooks& hooks, DiscoveryMethod method)
      : hooks_(hooks), method_(method) {}

  void RecordRangeStarted(std::uint32_t volumesSoFar) override {
    Status(SearchingForPartitionText(volumesSoFar + 1));
  }
  void RunStarted(std::uint64_t done, std::uint64_t total, std::uint64_t sector) override {
    if (method_ == DiscoveryMethod::kRange) {
      Value(kSearchCurrentSectorLabel, fmt::format("{}", sector));
      Status(ScanningSectorText(done, total));
    }
    // done < total <= 2^32: the product fits.
    const int position = total == 0 ? 0 : static_cast<int>(done * 100 / total);
    hooks_.feedback([position](WizardView& view) { view.SetProgress(position); });
  }
  void RunFinished(std::uint64_t sector) override {
    if (method_ == DiscoveryMethod::kPartitionRecord) {
      Value(kSearchCurrentSectorLabel, fmt::format("{}", sector));
    }
  }
  void VolumeAccepted(const VolumeInfo& volume, std::uint32_t volumesFound,
                      bool limitReached) override {
    hooks_.volumeAccepted(volume.volumeName);
    // The volume that reaches the search's limit leaves the count as it was.
    if (!limitReached) Value(kSearchFoundLabel, fmt::format("{}", volumesFound));
  }

 private:
  void Status(std::string text) {
    hooks_.feedback([text = std::move(text)](WizardView& view) { view.SetStatusText(text); });
  }
  void Value(std::string_view label, std::string value) {
    hooks_.feedback([label, value = std::move(value)](WizardView& view) {
      view.SetPanelValue(label, value);
    });
  }

  const DiscoveryHooks& hooks_;
  DiscoveryMethod method_;
};

// The mount's events as the window shows them: the folder count and name at
// every folder, the file count at every 10th file and its name at every 100th.
class MountDisplay final : public MountObserver {
 public:
  explicit MountDisplay(const MountHooks& hooks) : hooks_(hooks) {}

  void PhaseStarted(MountPhase phase) override {
    if (phase == MountPhase::kFinalizingNames) {
      Status(kFinalizingStatus);
    } else if (phase == MountPhase::kGatheringLostFolders) {
      Status(kLostDataStatus);
      hooks_.feedback([](WizardView& view) { view.SetProgress(0); });
    }
  }
  void SectorReading(std::uint64_t sector) override {
    Value(kCurrentSectorLabel, fmt::format("{}", sector));
  }
  void FolderFound(std::uint32_t folderCount, std::string_view name) override {
    Value(kFoldersFoundLabel, fmt::format("{}", folderCount));
    Value(kLastEntryLabel, std::string(name));
  }
  void FileFound(std::uint32_t fileCount, std::string_view name) override {
    if (fileCount % 10 != 0) return;
    Value(kFilesFoundLabel, fmt::format("{}", fileCount));
    if (fileCount % 100 == 0) Value(kLastEntryLabel, std::string(name));
  }
  void Progress(int position) override {
    hooks_.feedback([position](WizardView& view) { view.SetProgress(position); });
  }

 private:
  void Status(std::string_view text) {
    hooks_.feedback([text](WizardView& view) { view.SetStatusText(text); });
  }
  void Value(std::string_view label, std::string value) {
    hooks_.feedback([label, value = std::move(value)](WizardView& view) {
      view.SetPanelValue(label, value);
    });
  }

  const MountHooks& hooks_;
};

void Discover(Session& session, const DiscoveryHooks& hooks, DiscoveryRequest request) {
  request.sectorsPerRead = session.settings.sectorsPerRead;
  DiscoveryDisplay display(hooks, request.method);
  (void)FindVolumes(session.drives, session.volumes, request, display,
                    StopToken{session.state.stopRequested});
}

}  // namespace

bool HasPartitionRecord(DriveTable& drives) { return HasPartitionRecordMark(drives); }

void DiscoverFromRecord(Session& session, const DiscoveryHooks& hooks) {
  Discover(session, hooks, {.method = DiscoveryMethod::kPartitionRecord});
}

void SearchRange(Session& session, const DiscoveryHooks& hooks) {
  Discover(session, hooks,
           {.method = DiscoveryMethod::kRange,
            .rangeStart = session.state.rangeStart,
            .rangeEnd = session.state.rangeEnd});
}

bool Mount(Session& session, const VolumeInfo& volume, RecoveryMode mode, const MountHooks& hooks) {
  MountDisplay display(hooks);
  const MountResult mounted = MountInto(session.fileTree, session.drives, volume, mode, display,
                                        StopToken{session.state.stopRequested});
  return mounted.has_value();
}

}  // namespace tolvar::engine
