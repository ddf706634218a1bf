#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/wizard_steps.hpp"
#include "tests/support/recording_feedback.hpp"
#include "tests/support/recording_volume_tree_sink.hpp"
#include "disk/block_device_source.hpp"
#include "disk/drive_table.hpp"



namespace tolvar::testing {

// Records like RecordingFeedback and lets a test react to a call as it
// happens (for instance, press Stop when the first volume is counted).
class HookedFeedback final : public Feedback {
 public:
  using Hook = std::function<void(std::string_view call, std::string_view text)>;

  void ShowMessage(std::string_view text, MessageKind kind) override {
    inner.ShowMessage(text, kind);
    Fire("ShowMessage", text);
  }
  Answer AskYesNo(std::string_view text, MessageKind kind) override {
    return inner.AskYesNo(text, kind);
  }
  void SetPanelMode(const PanelLayout& layout) override { inner.SetPanelMode(layout); }
  void SetRowValue(std::string_view label, std::string_view value) override {
    inner.SetRowValue(label, value);
    Fire("SetRowValue", std::string(label) + "=" + std::string(value));
  }
  void SetStatusText(std::string_view text) override {
    inner.SetStatusText(text);
    Fire("SetStatusText", text);
  }
  void ShowStatus(bool shown) override { inner.ShowStatus(shown); }
  void SetProgress(int position) override { inner.SetProgress(position); }
  void ShowProgress(bool shown) override { inner.ShowProgress(shown); }
  void SetQuickHelp(std::string_view text) override { inner.SetQuickHelp(text); }
  using Feedback::SetPanelMode;

  RecordingFeedback inner;
  Hook hook;

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

// One drive, the tables and the feedback a discovery run needs.
struct VolumeRig {
  explicit VolumeRig(std::uint32_t sectorsPerRead = 60) {
    settings.sectorsPerRead = sectorsPerRead;
  }

  void Attach(std::shared_ptr<BlockDeviceSource> source) {
    drives.EnumerateDrives(MakeFixedProvider({std::move(source)}));
    drives.currentDrive = 0;
  }
  void Attach(std::vector<std::byte> bytes) {
    Attach(std::shared_ptr<BlockDeviceSource>(MakeMemorySource(std::move(bytes))));
  }
  // Next on the disk step and, when it starts one, the worker.
  NextOutcome Next(IdentifyOption option, std::string_view start = {}, std::string_view end = {}) {
    state.identifyOption = option;
    const NextOutcome outcome = DiskStepNext(ctx, start, end);
    if (outcome == NextOutcome::kStartWorker) RunDiscoveryWorker(ctx);
    return outcome;
  }
  RecordingFeedback& Recorded() { return feedback.inner; }
  std::vector<std::string> StatusTexts() {
    std::vector<std::string> texts;
    for (const auto& e : feedback.inner.EventsOf("SetStatusText")) texts.push_back(e.text);
    return texts;
  }
  std::vector<std::string> RowUpdates(std::string_view label) {
    std::vector<std::string> values;
    const std::string prefix = std::string(label) + "=";
    for (const auto& e : feedback.inner.EventsOf("SetRowValue")) {
      if (e.text.starts_with(prefix)) values.push_back(e.text.substr(prefix.size()));
    }
    return values;
  }
  std::vector<int> ProgressPositions() {
    std::vector<int> positions;
    for (const auto& e : feedback.inner.EventsOf("SetProgress")) positions.push_back(e.number);
    return positions;
  }
  std::vector<std::uint32_t> Starts() const {
    std::vector<std::uint32_t> starts;
    for (std::uint32_t i = 0; i < volumes.volumeCount; ++i)
      starts.push_back(static_cast<std::uint32_t>(volumes.entries[i].startSector));
    return starts;
  }

  RecoverySettings settings;
  DriveTable drives{settings};
  VolumeTable volumes;
  WizardState state;
  HookedFeedback feedback;
  RecordingVolumeTreeSink tree;
  DiscoveryContext ctx{drives, volumes, state, settings, feedback, tree};
};

}  // namespace tolvar::testing
