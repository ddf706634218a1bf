#pragma once

// The engine calls of the wizard's workers, in one place: each runs one long
// operation over the session's tables and hands what it reports to the view
// through `ViewCall`, which carries the call to the view's thread.

#include <functional>
#include <string_view>

#include "app/session.hpp"
#include "app/wizard_view.hpp"

namespace tolvar::engine {

using ViewCall = std::function<void(std::function<void(WizardView&)>)>;

struct DiscoveryHooks {
  ViewCall feedback;
  // A volume joined the table (its name); called on the worker thread.
  std::function<void(std::string_view volumeName)> volumeAccepted;
};

struct MountHooks {
  ViewCall feedback;
};

// Whether the partition record's mark stands at its sector of the open drive.
[[nodiscard]] bool HasPartitionRecord(DriveTable& drives);

// Both discoveries refill the session's volume table.
void DiscoverFromRecord(Session& session, const DiscoveryHooks& hooks);
void SearchRange(Session& session, const DiscoveryHooks& hooks);

// Fills the session's file tree from `volume` in `mode`. A stop shortens the
// walk; false only when memory ran out.
[[nodiscard]] bool Mount(Session& session, const VolumeInfo& volume, RecoveryMode mode,
                         const MountHooks& hooks);

}  // namespace tolvar::engine
