#include "app/engine_runs.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <string>
#include <utility>

#include "app/feedback.hpp"
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
  void SetRowValue(std::string_view label, std::string_view value) override {
    Progress(label, [label = std::string(label), value = std::string(value)](WizardView& view) {
      view.SetPanelValue(label, value);
    });
  }
  void SetStatusText(std::string_view text) override {
    Progress("status", [text = std::string(text)](WizardView& view) { view.SetStatusText(text); });
  }
  void ShowStatus(bool shown) override {
    call_([shown](WizardView& view) { view.ShowControl(ControlId::kStatusLine, shown); });
  }
  void SetProgress(int position) override {
    Progress("progress", [position](WizardView& view) { view.SetProgress(position); });
  }
  void ShowProgress(bool shown) override {
    call_([shown](WizardView& view) { view.ShowControl(ControlId::kProgress, shown); });
  }
  void SetQuickHelp(std::string_view text) override {
    call_([text = std::string(text)](WizardView& view) { view.SetQuickHelp(text); });
  }
  using Feedback::SetPanelMode;

 private:
  void Progress(std::string_view channel, std::function<void(WizardView&)> call) {
    if (progress_) {
      progress_(channel, std::move(call));
    } else {
      call_(std::move(call));
    }
  }

  const ViewCall& call_;
  const ViewProgressCall& progress_;
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

}  // namespace tolvar::engine
