#pragma once

// The wizard's halves of discovery and mounting: the checks of Next on the
// disk step, the displays around the engine's long operations and the texts
// their events turn into. The engine (FindVolumes, MountInto) does the work
// and reports numbers; everything here is what the window shows of it.

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "app/browse_view.hpp"
#include "app/feedback.hpp"
#include "app/volume_tree_sink.hpp"
#include "app/wizard_state.hpp"
#include "disk/drive_table.hpp"
#include "fs/file_tree.hpp"
#include "fs/mount.hpp"
#include "tools/file_filter_list.hpp"
#include "volumes/discovery.hpp"
#include "volumes/volume_table.hpp"

namespace tolvar {

// Window changes that go with the discovery's step switches beyond the
// feedback surface and the volume tree (buttons, menus). Front ends that
// have none can leave it out.
class DiscoveryLayoutSink {
 public:
  virtual ~DiscoveryLayoutSink() = default;
  virtual void SearchStarted() = 0;
  virtual void VolumesReady() = 0;
  virtual void BackToDisk() = 0;
};

// Everything one discovery run reads and writes.
struct DiscoveryContext {
  DriveTable& drives;
  VolumeTable& volumes;
  WizardState& state;
  const RecoverySettings& settings;
  Feedback& feedback;
  VolumeTreeSink& tree;
  DiscoveryLayoutSink* layout = nullptr;
  // The volume tree's item of each volume, by table index.
  std::array<VolumeTreeSink::ItemHandle, VolumeTable::kCapacity> volumeItems{};
};

// An unsigned decimal sector number as typed: digits only, at least one, at
// most 4294967295.
[[nodiscard]] std::optional<std::uint32_t> ParseSectorField(std::string_view text);

enum class NextOutcome {
  kStartWorker,   // the discovery display is up; run RunDiscoveryWorker next
  kNoRecord,      // "Use Partition Table" found no mark at the record sector
  kInvalidRange,  // "Search Partition" fields rejected; Next is offered again
};

// The volume side of Next on the disk step: opens the current drive, then
// checks the partition record's mark (identifyOption 1) or the range fields
// (identifyOption 2) and, when they pass, switches to the search display and
// makes a fresh volume tree.
[[nodiscard]] NextOutcome DiskStepNext(DiscoveryContext& ctx, std::string_view startField = {},
                                       std::string_view endField = {});

// Runs the discovery the identify option names (FindVolumes), showing its
// events on the panel and the volume tree, without the completion.
void RunDiscovery(DiscoveryContext& ctx);

// The end of either discovery: switches to the volume step, or back to the
// disk step with a message when nothing was found.
void CompleteDiscovery(DiscoveryContext& ctx);

// The discovery worker's body: marks the worker busy, runs the discovery and
// completes it. Synchronous; callers pick the thread.
void RunDiscoveryWorker(DiscoveryContext& ctx);

// "HTFS" or "EAFS".
[[nodiscard]] std::string_view VolumeTypeText(FsType type);

// Fills the four volume rows of the panel for `volume`.
void ShowVolumeRows(Feedback& feedback, const VolumeInfo& volume);

// A click on a volume tree item: on the volume step, makes the volume whose
// item it is current and shows its rows. Returns whether it did.
bool SelectVolumeItem(DiscoveryContext& ctx, VolumeTreeSink::ItemHandle item);

// The window controls a mount switches. Every hook defaults to nothing.
class MountWindow {
 public:
  virtual ~MountWindow() = default;
  virtual void SetBackButton(bool /*shownAndEnabled*/) {}
  virtual void SetStopButton(bool /*shownAndEnabled*/) {}
  // The browse step's layout with the six list columns.
  virtual void ShowBrowseLayout() {}
  // Tree enabled, list shown, menus in their browse state.
  virtual void ShowBrowseControls() {}
};

struct MountViews {
  MountWindow& window;
  FolderTreeSink& tree;
  TreeItemId rootItem = kNoTreeItem;
  BrowseListSink& list;
  const FileFilterList* filters = nullptr;
  FolderTreeItems& items;
};

// Turns a mount's events into the panel values of mode 2: the folder count
// and last name on every folder, the file count on every 10th file and its
// name on every 100th, the sector being read, the phase's status text and
// the progress.
class MountFeedback final : public MountObserver {
 public:
  explicit MountFeedback(Feedback& feedback) : feedback_(feedback) {}
  void PhaseStarted(MountPhase phase) override;
  void SectorReading(std::uint64_t sector) override;
  void FolderFound(std::uint32_t folderCount, std::string_view name) override;
  void FileFound(std::uint32_t fileCount, std::string_view name) override;
  void Progress(int position) override;

 private:
  Feedback& feedback_;
};

// The mount worker's steps in order: the mounting display, the engine's
// mount (MountInto), then the tree build and the root's list. A stop
// shortens the walk but the tree and list are always built. The only error
// is running out of memory, after its message has been shown.
[[nodiscard]] MountResult MountWorker(DriveTable& drives, const VolumeInfo& volume,
                                      FileTree& tree, WizardState& state, Feedback& feedback,
                                      MountViews& views);

}  // namespace tolvar
