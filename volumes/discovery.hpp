#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/state/feedback.hpp"
#include "app/state/wizard_state.hpp"
#include "disk/drive_table.hpp"
#include "volumes/volume_table.hpp"
#include "volumes/volume_tree_sink.hpp"

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
};

// Texts the discovery shows.
inline constexpr std::string_view kNoRecordMessage =
    "No HTFS/EAFS Partition Found  !! \r\nSelect Search Partition and then Click Next.";
inline constexpr std::string_view kNothingFromRecordMessage =
    "No HTFS/EAFS Partition Found  !! \r\nUser stopped the search process.";
inline constexpr std::string_view kNothingFromSearchMessage = "No HTFS/EAFS Partition Found  !!";
inline constexpr std::string_view kBadStartMessage =
    "      Start sector value is not valid, It should be a positive number";
inline constexpr std::string_view kBadEndMessage =
    "      End sector value is not valid, It should be a positive number";
inline constexpr std::string_view kEndNotAboveStartMessage =
    "      End sector should be bigger than start sector";

// Panel labels the discovery writes values to.
inline constexpr std::string_view kSearchFoundLabel = "Partition(s) Found  ";
inline constexpr std::string_view kSearchCurrentSectorLabel = "Current Sector";

// Sizes of the scans' read buffer.
inline constexpr std::uint32_t kScanBufferSectors = 100;

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

// Finds the first file system in each range of the partition record, then
// the volumes of every SCO partition's division table; with an SCO
// partition on the disk both make one list in disk order, numbered anew.
void DiscoverFromPartitionTable(DiscoveryContext& ctx);

// Scans `count` sectors from `first` for their first file system; returns
// when one is found or counted as a duplicate, at the end, or on a stop.
void ScanEntryRange(DiscoveryContext& ctx, std::uint32_t first, std::uint32_t count);

// Tests every sector of [rangeStart, rangeEnd) of the wizard state, in whole
// runs, and collects every file system, up to 99.
void SearchPartitionRange(DiscoveryContext& ctx);

// The end of either discovery: switches to the volume step, or back to the
// disk step with a message when nothing was found.
void CompleteDiscovery(DiscoveryContext& ctx);

// The discovery worker's body: marks the worker busy, runs the discovery the
// identify option names and completes it. Synchronous; callers pick the
// thread.
void RunDiscoveryWorker(DiscoveryContext& ctx);

// "HTFS", "EAFS" or "AFS".
[[nodiscard]] std::string_view VolumeTypeText(FsType type);

// How a volume was found: "partition 2, division 3", "the record at sector
// 105" or "the sector search".
[[nodiscard]] std::string VolumeOriginText(const VolumeOrigin& origin);

// Fills the four volume rows of the panel for `volume`.
void ShowVolumeRows(Feedback& feedback, const VolumeInfo& volume);

// A click on a volume tree item: on the volume step, makes the volume whose
// item it is current and shows its rows. Returns whether it did.
bool SelectVolumeItem(DiscoveryContext& ctx, VolumeTreeSink::ItemHandle item);

}  // namespace tolvar
