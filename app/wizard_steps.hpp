#pragma once

// The wizard's halves of discovery and mounting: the texts and panel values
// the engine's events turn into while FindVolumes and MountInto run. The
// engine does the work and reports numbers; the controller decides the steps.

#include <cstdint>
#include <optional>
#include <string_view>

#include "app/feedback.hpp"
#include "app/volume_tree_sink.hpp"
#include "app/wizard_state.hpp"
#include "disk/drive_table.hpp"
#include "fs/mount.hpp"
#include "volumes/discovery.hpp"
#include "volumes/volume_table.hpp"

namespace tolvar {

// Everything one discovery run reads and writes.
struct DiscoveryContext {
  DriveTable& drives;
  VolumeTable& volumes;
  WizardState& state;
  const RecoverySettings& settings;
  Feedback& feedback;
  VolumeTreeSink& tree;
};

// An unsigned decimal sector number as typed: digits only, at least one, at
// most 4294967295.
[[nodiscard]] std::optional<std::uint32_t> ParseSectorField(std::string_view text);

// Runs the discovery the identify option names (FindVolumes), showing its
// events on the panel and the volume tree, without the completion.
void RunDiscovery(DiscoveryContext& ctx);

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

}  // namespace tolvar
