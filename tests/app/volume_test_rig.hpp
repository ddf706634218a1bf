#pragma once

// The wizard's disk and volume steps over one drive built in memory: the
// controller with a recording view that also keeps the history of panel
// values, status texts and progress, and lets a test react to a call as the
// worker makes it (for instance, press Stop when the first volume is
// counted). Workers and posted calls run at once, on the test's thread.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/session.hpp"
#include "app/wizard_controller.hpp"
#include "app/wizard_texts.hpp"
#include "disk/block_device_source.hpp"
#include "disk/drive_table.hpp"
#include "tests/support/recording_view.hpp"

namespace tolvar::testing {

// Runs every posted call at once: with workers that run inline, the view sees
// each call while the worker is still inside the engine.
class InlineDispatcher final : public Dispatcher {
 public:
  void Post(std::function<void()> call) override { call(); }
};

class HookedView final : public RecordingView {
 public:
  // Called after the view took a value, a status text or a message; `text`
  // is "label=value" for panel values.
  using Hook = std::function<void(std::string_view call, std::string_view text)>;

  void SetPanel(const PanelLayout& layout) override {
    RecordingView::SetPanel(layout);
    panelModes.push_back(layout.mode);
  }
  void SetStatusText(std::string_view text) override {
    RecordingView::SetStatusText(text);
    statusHistory.emplace_back(text);
    Fire("SetStatusText", text);
  }
  void SetProgress(int position) override {
    RecordingView::SetProgress(position);
    progressHistory.push_back(position);
  }
  void SetQuickHelp(std::string_view text) override {
    RecordingView::SetQuickHelp(text);
    quickHelpHistory.emplace_back(text);
  }
  void ShowMessage(std::string_view text, MessageKind kind) override {
    RecordingView::ShowMessage(text, kind);
    Fire("ShowMessage", text);
  }

  Hook hook;
  std::vector<PanelMode> panelModes;
  std::vector<std::string> valueHistory;
  std::vector<std::string> statusHistory;
  std::vector<int> progressHistory;
  std::vector<std::string> quickHelpHistory;

 protected:
  void ValueShown(std::string_view label, std::string_view value) override {
    const std::string text = std::string(label) + "=" + std::string(value);
    valueHistory.push_back(text);
    Fire("SetRowValue", text);
  }

 private:
  void Fire(std::string_view call, std::string_view text) {
    if (hook) hook(call, text);
  }
};

// A drive over bytes in memory whose reads a test can watch or fail.
class WatchedSource final : public BlockDeviceSource {
 public:
  // Called before each read with its first sector and sector count; return
  // false to fail the read.
  using Hook = std::function<bool(std::uint64_t sector, std::uint64_t count)>;

  WatchedSource(std::vector<std::byte> bytes, Hook hook)
      : inner_(MakeMemorySource(std::move(bytes))), hook_(std::move(hook)) {}

  DeviceDescription Describe() const override { return inner_->Describe(); }
  std::uint64_t LengthBytes() const override { return inner_->LengthBytes(); }
  std::expected<void, Error> ReadAt(std::uint64_t offset, std::span<std::byte> out) override {
    if (hook_ && !hook_(offset / kSectorSize, out.size() / kSectorSize)) {
      return std::unexpected(Error{ErrorCode::kIoError, "refused by the test", offset / 512});
    }
    return inner_->ReadAt(offset, out);
  }

 private:
  std::unique_ptr<BlockDeviceSource> inner_;
  Hook hook_;
};

// What Next on the disk step did.
enum class NextOutcome {
  kStartWorker,   // the search ran
  kNoRecord,      // "Use Partition Table" found nothing that says where volumes are
  kInvalidRange,  // the range fields were refused
};

// One drive and the wizard over it, started up, with the drive chosen.
struct VolumeRig {
  explicit VolumeRig(std::uint32_t sectorsPerRead = 60) : sectorsPerRead_(sectorsPerRead) {}

  void Attach(std::shared_ptr<BlockDeviceSource> source) {
    session.drives.EnumerateDrives(MakeFixedProvider({std::move(source)}));
    controller.Startup("/tmp/start");
    // Start-up puts the route's defaults in place; the rig's run length wins.
    session.settings.sectorsPerRead = sectorsPerRead_;
    volumeTreesAtStart_ = view.TreeOf(TreeKind::kVolume).created;
  }
  void Attach(std::vector<std::byte> bytes) {
    Attach(std::shared_ptr<BlockDeviceSource>(MakeMemorySource(std::move(bytes))));
  }

  // Chooses the drive (going back from the volume step if need be), the
  // identify option and, for a search, types the range; then Next.
  NextOutcome Next(IdentifyOption option, std::string_view start = {}, std::string_view end = {}) {
    if (state.step == WizardStep::kVolume) controller.Back();
    controller.TreeClicked(TreeKind::kDisk, view.TreeOf(TreeKind::kDisk).nodes.at(1).item);
    controller.IdentifyOptionChosen(option);
    if (option == IdentifyOption::kSearchPartition) {
      view.TypeRange(std::string(start), std::string(end));
    }
    const int treesBefore = VolumeTreesMade();
    const std::size_t messagesBefore = view.messages.size();
    controller.Next();
    if (view.messages.size() != messagesBefore && view.messages.back().text == kNoRecordMessage) {
      return NextOutcome::kNoRecord;
    }
    // A search starts with a volume tree of its own.
    if (VolumeTreesMade() != treesBefore) return NextOutcome::kStartWorker;
    return NextOutcome::kInvalidRange;
  }

  // Clicks a volume tree item.
  void ClickVolume(ViewItem item) { controller.TreeClicked(TreeKind::kVolume, item); }
  // The volume tree's item of volume `index`.
  [[nodiscard]] ViewItem VolumeItem(std::size_t index) const {
    return view.TreeOf(TreeKind::kVolume).nodes.at(index + 1).item;
  }
  // The volume tree's items below its root.
  [[nodiscard]] std::size_t VolumeItemCount() const {
    const auto& nodes = view.TreeOf(TreeKind::kVolume).nodes;
    return nodes.empty() ? 0 : nodes.size() - 1;
  }
  // How many volume trees the searches since Attach made.
  [[nodiscard]] int VolumeTreesMade() const {
    return view.TreeOf(TreeKind::kVolume).created - volumeTreesAtStart_;
  }
  [[nodiscard]] bool VolumeTreeEnabled() const { return view.TreeOf(TreeKind::kVolume).enabled; }
  [[nodiscard]] std::optional<tolvar::PanelMode> PanelMode() const {
    if (view.panelModes.empty()) return std::nullopt;
    return view.panelModes.back();
  }
  [[nodiscard]] std::vector<std::string> Messages() const { return view.MessageTexts(); }
  [[nodiscard]] const std::vector<std::string>& StatusTexts() const { return view.statusHistory; }
  [[nodiscard]] std::vector<std::string> RowUpdates(std::string_view label) const {
    std::vector<std::string> values;
    const std::string prefix = std::string(label) + "=";
    for (const std::string& text : view.valueHistory) {
      if (text.starts_with(prefix)) values.push_back(text.substr(prefix.size()));
    }
    return values;
  }
  [[nodiscard]] const std::vector<int>& ProgressPositions() const { return view.progressHistory; }
  [[nodiscard]] std::vector<std::uint32_t> Starts() const {
    std::vector<std::uint32_t> starts;
    for (std::uint32_t i = 0; i < volumes.volumeCount; ++i)
      starts.push_back(static_cast<std::uint32_t>(volumes.entries[i].startSector));
    return starts;
  }

  Session session;
  RecoverySettings& settings = session.settings;
  DriveTable& drives = session.drives;
  VolumeTable& volumes = session.volumes;
  WizardState& state = session.state;
  HookedView view;
  InlineDispatcher dispatcher;
  InlineWorkers workers;
  WizardController controller{session, view, dispatcher, workers};

 private:
  std::uint32_t sectorsPerRead_;
  int volumeTreesAtStart_ = 0;
};

}  // namespace tolvar::testing
