#include "app/engine_runs.hpp"

#include <array>
#include <string>

#include "fs/extensive.hpp"
#include "fs/mount.hpp"
#include "volumes/discovery.hpp"
#include "volumes/partition_record.hpp"

namespace tolvar::engine {

namespace {

// Carries the engine's reports to the view. Messages are the controller's to
// show, so the engine's are dropped here.
class ViewFeedback final : public Feedback {
 public:
  explicit ViewFeedback(const ViewCall& call) : call_(call) {}

  void ShowMessage(std::string_view, MessageKind) override {}
  Answer AskYesNo(std::string_view, MessageKind) override { return Answer::kNo; }
  void SetPanelMode(const PanelLayout& layout) override {
    call_([layout](WizardView& view) { view.SetPanel(layout); });
  }
  void SetRowValue(std::string_view label, std::string_view value) override {
    call_([label = std::string(label), value = std::string(value)](WizardView& view) {
      view.SetPanelValue(label, value);
    });
  }
  void SetStatusText(std::string_view text) override {
    call_([text = std::string(text)](WizardView& view) { view.SetStatusText(text); });
  }
  void ShowStatus(bool shown) override {
    call_([shown](WizardView& view) { view.ShowControl(ControlId::kStatusLine, shown); });
  }
  void SetProgress(int position) override {
    call_([position](WizardView& view) { view.SetProgress(position); });
  }
  void ShowProgress(bool shown) override {
    call_([shown](WizardView& view) { view.ShowControl(ControlId::kProgress, shown); });
  }
  void SetQuickHelp(std::string_view text) override {
    call_([text = std::string(text)](WizardView& view) { view.SetQuickHelp(text); });
  }
  using Feedback::SetPanelMode;

 private:
  const ViewCall& call_;
};

// Hands each accepted volume's name to the controller, which makes its item.
class AcceptedVolumes final : public VolumeTreeSink {
 public:
  AcceptedVolumes(const DiscoveryHooks& hooks, const VolumeTable& volumes)
      : hooks_(hooks), volumes_(volumes) {}
  void Fresh() override {}
  ItemHandle AddItem(std::string_view text) override {
    hooks_.volumeAccepted(text);
    return static_cast<ItemHandle>(volumes_.volumeCount + 1);
  }
  void ExpandRoot() override {}
  void SetEnabled(bool) override {}

 private:
  const DiscoveryHooks& hooks_;
  const VolumeTable& volumes_;
};

template <typename Run>
void Discover(Session& session, const DiscoveryHooks& hooks, Run run) {
  ViewFeedback feedback(hooks.feedback);
  AcceptedVolumes tree(hooks, session.volumes);
  DiscoveryContext context{session.drives, session.volumes, session.state,
                           session.settings, feedback, tree};
  run(context);
}

}  // namespace

bool HasPartitionRecord(DriveTable& drives) {
  std::array<std::byte, 512> sector{};
  (void)drives.ReadSectors(kPartitionRecordSector, 1, sector);
  return DecodePartitionRecord(sector).has_value();
}

void DiscoverFromRecord(Session& session, const DiscoveryHooks& hooks) {
  Discover(session, hooks, [](DiscoveryContext& c) { DiscoverFromPartitionTable(c); });
}

void SearchRange(Session& session, const DiscoveryHooks& hooks) {
  Discover(session, hooks, [](DiscoveryContext& c) { SearchPartitionRange(c); });
}

bool Mount(Session& session, const VolumeInfo& volume, RecoveryMode mode, const MountHooks& hooks) {
  ViewFeedback feedback(hooks.feedback);
  MountContext context{session.drives, volume, session.fileTree, session.state, feedback};
  MountResult walked;
  if (mode == RecoveryMode::kNormal) {
    walked = NormalWalk(context);
  } else {
    walked = ExtensiveScan(context);
    session.state.ClearStop();
    if (walked) {
      FinalizeFolderNames(context);
      session.state.ClearStop();
      walked = GatherLostFolders(context);
    }
  }
  return walked.has_value();
}

}  // namespace tolvar::engine
