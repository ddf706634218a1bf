#pragma once

// The engine calls of the wizard's workers, in one place: each runs one long
// operation over the session's tables, turns its events into the window's
// texts (wizard_steps) and hands them to the view through `ViewCall`, which
// carries the call to the view's thread.

#include <expected>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/saved_digests.hpp"
#include "app/session.hpp"
#include "app/wizard_view.hpp"
#include "recovery/restore.hpp"
#include "recovery/saving_run.hpp"

namespace tolvar::engine {

using ViewCall = std::function<void(std::function<void(WizardView&)>)>;
// A progress value for the view: of the calls on one channel not yet run
// only the latest needs to run (see Dispatcher::PostLatest).
using ViewProgressCall =
    std::function<void(std::string_view channel, std::function<void(WizardView&)>)>;

struct DiscoveryHooks {
  ViewCall feedback;
  ViewProgressCall progress;  // empty: progress goes through `feedback`
  // A volume joined the table (its name); called on the worker thread.
  std::function<void(std::string_view volumeName)> volumeAccepted;
  // The volumes were put in disk order: every name handed over so far is
  // void, and each volume is handed over again in its new place.
  std::function<void()> volumesCleared;
};

struct MountHooks {
  ViewCall feedback;
  ViewProgressCall progress;  // empty: progress goes through `feedback`
};

// What a saving run copies and where: the window's selection (or
// everything) into `destination`, with the report or (a copy made for
// opening) without it.
struct SavingRequest {
  Selection selection = Selection::All();
  std::string destination;
  bool writeReport = true;
};

// Refills the session's volume table by the wizard's identify option: from
// the partition record, or by searching its sector range.
void Discover(Session& session, const DiscoveryHooks& hooks);

// The rescue map the current drive is read through; null without one.
[[nodiscard]] const DriveRescueMap* CurrentRescueMap(const Session& session);

// One "warning: volume N (name): ..." line for each structure of a found
// volume the current drive's mapfile marks not rescued, as the command line
// says them; empty without a mapfile or when it covers them all.
[[nodiscard]] std::vector<std::string> UnrescuedVolumeLines(const Session& session);

// Fills the session's file tree from `volume` in `mode`. A stop shortens the
// walk; false only when memory ran out.
[[nodiscard]] bool Mount(Session& session, const VolumeInfo& volume, RecoveryMode mode,
                         const MountHooks& hooks);

// What a saving run came to: the run's result, and the digests of every
// file it wrote.
struct SavingRun {
  std::expected<SavingResult, Error> result;
  WrittenFiles written;
};

// Copies `request.selection` of the session's file tree from its current
// volume, showing each entry on the saving dialog through `progress`. The
// report names what discovery assumed and the mapfile the drive was read
// through.
[[nodiscard]] SavingRun Save(Session& session, const SavingRequest& request, SaveControl& control,
                             const ViewProgressCall& progress);

// Restores the compressed files below `folder`, showing "Restoring <path>"
// for each file looked at through `progress`.
[[nodiscard]] std::expected<RestoreReport, Error> Restore(const std::string& folder, StopToken stop,
                                                          const ViewProgressCall& progress);

}  // namespace tolvar::engine
