#include "app/engine_runs.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <string>
#include <utility>

#include "app/feedback.hpp"
#include "app/saving_display.hpp"
#include "app/volume_tree_sink.hpp"
#include "app/wizard_steps.hpp"
#include "fs/mount.hpp"
#include "tools/rescue_warnings.hpp"

namespace tolvar::engine {

namespace {

// The feedback surface over the view, reached through the dispatcher: the
// texts the events turn into (wizard_steps) go to the window in order.
// Messages and questions are the controller's own, never a worker's.
class ViewFeedback final : public Feedback {
 public:
  ViewFeedback(const ViewCall& call, const ViewProgressCall& progress)
      : call_(call), progress_(progress) {}

  void ShowMessage(std::string_view, MessageKind) override {}
  Answer AskYesNo(std::string_view, MessageKind) override { return Answer::kNo; }
  void SetPanelMode(const PanelLayout& layout) override {
    call_([layout](WizardView& view) { view.SetPanel(layout); });
  }
  // The worker's values, status and progress travel as one snapshot: each
  // change sends the whole of it, and only the latest waiting is drawn.
  void SetRowValue(std::string_view label, std::string_view value) override {
    const auto row = std::find_if(snapshot_.values.begin(), snapshot_.values.end(),
                                  [&](const PanelRow& r) { return r.label == label; });
    if (row != snapshot_.values.end()) {
      row->value.assign(value);
    } else {
      snapshot_.values.push_back({std::string(label), std::string(value)});
    }
    SendSnapshot();
  }
  void SetStatusText(std::string_view text) override {
    snapshot_.status.emplace(text);
    SendSnapshot();
  }
  void ShowStatus(bool shown) override {
    call_([shown](WizardView& view) { view.ShowSection(PaneSection::kStatusLine, shown); });
  }
  void SetProgress(int position) override {
    snapshot_.position = position;
    SendSnapshot();
  }
  void ShowProgress(bool shown) override {
    call_([shown](WizardView& view) { view.ShowSection(PaneSection::kProgress, shown); });
  }
  void SetQuickHelp(std::string_view text) override {
    call_([text = std::string(text)](WizardView& view) { view.SetQuickHelp(text); });
  }
  using Feedback::SetPanelMode;

 private:
  void SendSnapshot() {
    auto draw = [snapshot = snapshot_](WizardView& view) { view.ShowProgress(snapshot); };
    if (progress_) {
      progress_("panel", std::move(draw));
    } else {
      call_(std::move(draw));
    }
  }

  const ViewCall& call_;
  const ViewProgressCall& progress_;
  ProgressSnapshot snapshot_;
};

// Hands each accepted volume's name to the controller, which makes its tree
// item; enabling the tree is the controller's layouts' business.
class AcceptedVolumes final : public VolumeTreeSink {
 public:
  explicit AcceptedVolumes(const DiscoveryHooks& hooks) : hooks_(hooks) {}
  void Fresh() override {
    count_ = 0;
    if (hooks_.volumesCleared) hooks_.volumesCleared();
  }
  ItemHandle AddItem(std::string_view text) override {
    hooks_.volumeAccepted(text);
    return ++count_;
  }
  void ExpandRoot() override {}
  void SetEnabled(bool) override {}

 private:
  const DiscoveryHooks& hooks_;
  ItemHandle count_ = 0;
};

// The saving dialog's fields as one snapshot: every change hands the whole
// snapshot over, and only the latest one waiting needs drawing.
class SavingSnapshots final : public SavingDisplay {
 public:
  explicit SavingSnapshots(const ViewProgressCall& progress) : progress_(progress) {}
  void SetPath(std::string_view path) override { snapshot_.path = std::string(path); }
  void SetFileName(std::string_view name) override { snapshot_.fileName = std::string(name); }
  void SetCount(std::string_view count) override {
    // The count is the last of an entry's three fields.
    snapshot_.count = std::string(count);
    Send();
  }
  void SetProgress(int position) override {
    snapshot_.position = position;
    Send();
  }

 private:
  void Send() {
    progress_("saving",
              [snapshot = snapshot_](WizardView& view) { view.ShowSavingProgress(snapshot); });
  }
  const ViewProgressCall& progress_;
  SavingSnapshot snapshot_;
};

// The restore dialog's status line: "Restoring <path>" per file.
class RestoreStatus final : public RestoreObserver {
 public:
  explicit RestoreStatus(const ViewProgressCall& progress) : progress_(progress) {}
  void FileStarted(std::string_view relativePath) override {
    progress_("restore", [text = fmt::format("Restoring {}", relativePath)](WizardView& view) {
      view.ShowRestoreStatus(text);
    });
  }

 private:
  const ViewProgressCall& progress_;
};

// Each found volume's index with each line the current drive's mapfile
// gives it, in volume order.
std::vector<std::pair<std::uint32_t, std::string>> UnrescuedByVolume(const Session& session) {
  std::vector<std::pair<std::uint32_t, std::string>> lines;
  const DriveRescueMap* rescue = CurrentRescueMap(session);
  if (rescue == nullptr) return lines;
  const std::uint32_t found = std::min(session.volumes.volumeCount, VolumeTable::kCapacity);
  for (std::uint32_t i = 0; i < found; ++i) {
    for (std::string& line : UnrescuedVolumeWarnings(*rescue->map, session.volumes.entries[i])) {
      lines.emplace_back(i, std::move(line));
    }
  }
  return lines;
}

}  // namespace

void Discover(Session& session, const DiscoveryHooks& hooks) {
  ViewFeedback feedback(hooks.feedback, hooks.progress);
  AcceptedVolumes tree(hooks);
  DiscoveryContext context{session.drives,   session.volumes, session.state,
                           session.settings, feedback,        tree};
  RunDiscovery(context);
  // What the rescue left out of a volume goes with it into the report.
  for (auto& [index, line] : UnrescuedByVolume(session)) {
    VolumeInfo& volume = session.volumes.entries[index];
    session.volumes.warnings.push_back(
        fmt::format("volume {} ({}): {}", index + 1, volume.volumeName, line));
    volume.assumptions.push_back(std::move(line));
  }
}

const DriveRescueMap* CurrentRescueMap(const Session& session) {
  if (session.drives.listedCount == 0) return nullptr;
  const auto found = session.rescueMaps.find(session.drives.Current().devicePath);
  if (found == session.rescueMaps.end() || !found->second.map) return nullptr;
  return &found->second;
}

std::vector<std::string> UnrescuedVolumeLines(const Session& session) {
  std::vector<std::string> lines;
  for (const auto& [index, line] : UnrescuedByVolume(session)) {
    lines.push_back(fmt::format("warning: volume {} ({}): {}", index + 1,
                                session.volumes.entries[index].volumeName, line));
  }
  return lines;
}

bool Mount(Session& session, const VolumeInfo& volume, RecoveryMode mode, const MountHooks& hooks) {
  ViewFeedback feedback(hooks.feedback, hooks.progress);
  MountFeedback observer(feedback);
  return MountInto(session.fileTree, session.drives, volume, mode, observer, session.state.Stop())
      .has_value();
}

SavingRun Save(Session& session, const SavingRequest& request, SaveControl& control,
               const ViewProgressCall& progress) {
  SavingOptions options;
  options.destination = request.destination;
  options.sourcePath = session.drives.Current().devicePath;
  options.volumeName = session.volumes.Current().volumeName;
  options.volumeWarnings = session.volumes.Current().assumptions;
  if (const DriveRescueMap* rescue = CurrentRescueMap(session)) options.mapfile = rescue->mapfile;
  options.mode = session.state.recoveryMode;
  options.writeReport = request.writeReport;
  SavingSnapshots display(progress);
  SavingDisplayObserver observer(display);
  auto result = RunSaving(session.drives, session.volumes.Current(), session.fileTree,
                          request.selection, session.settings, control, observer, options);
  return {std::move(result), std::move(observer.written)};
}

std::expected<RestoreReport, Error> Restore(const std::string& folder, StopToken stop,
                                            const ViewProgressCall& progress) {
  RestoreStatus status(progress);
  try {
    return RestoreCompressedFiles(folder, status, stop);
  } catch (...) {
    // The dialog's "Finish" waits for this run's end: nothing may keep it
    // from coming, and the failure is what the dialog then says.
    return std::unexpected(
        Error{ErrorCode::kIoError, "The restore ended with an unexpected failure.", std::nullopt});
  }
}

}  // namespace tolvar::engine
