// Saving and restoring through the controller, as the window runs them: the
// command goes to the controller, which opens the view's dialog, starts the
// worker and, from the worker's completion, closes or finishes the dialog.

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <fstream>

#include "app/progress_coalescer.hpp"
#include "tests/app/wizard_rig.hpp"
#include "tests/support/temp_dir.hpp"

namespace tolvar::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::vector<std::shared_ptr<BlockDeviceSource>> RecordDisk() {
  ik::DiskDescription description;
  description.volumes = {HtfsVolume()};
  return {AsDrive(BuildDisk(description).bytes)};
}

// Workers are held until the test runs them, so it can act while one waits.
using Rig = WizardRig<QueueDispatcher, HeldWorkers>;

// Runs held workers and their posts until none is left.
void Settle(Rig& rig) {
  while (!rig.workers.held.empty() || rig.dispatcher.Pending() != 0) {
    rig.workers.RunAll();
    rig.dispatcher.DrainAll();
  }
}

void ToFilesStep(Rig& rig) {
  rig.ChooseDrive(0);
  rig.controller.Next();
  Settle(rig);
  rig.ChooseVolume(0);
  rig.view.QueueMode(RecoveryMode::kNormal);
  rig.controller.Next();
  Settle(rig);
  ASSERT_EQ(rig.Step(), WizardStep::kFiles);
}

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// What the completion saw: the result, and whether the dialog was still open.
struct Ended {
  int calls = 0;
  bool dialogWasOpen = false;
  std::optional<std::expected<SavingResult, Error>> result;
  std::size_t written = 0;  // files with digests
};

WizardController::SavingEnded Recorder(Ended& ended, const RecordingView& view) {
  return [&ended, &view](const engine::SavingRun& run) {
    ++ended.calls;
    ended.dialogWasOpen = view.savingDialogOpen;
    ended.result = run.result;
    ended.written = run.written.count;
  };
}

TEST(WizardSaving, RecoverAllRunsOnAWorkerShownByTheDialogThenEnds) {
  Rig rig(RecordDisk());
  TempDir out;
  Ended ended;
  // Away from the files step nothing starts.
  EXPECT_FALSE(rig.controller.Save({Selection::All(), out.Path().string(), true},
                                   Recorder(ended, rig.view)));
  EXPECT_EQ(rig.view.CallCount("OpenSavingDialog"), 0u);
  ToFilesStep(rig);

  ASSERT_TRUE(rig.controller.Save({Selection::All(), out.Path().string(), true},
                                  Recorder(ended, rig.view)));
  // The dialog is up and the worker holds the run; a second command waits.
  EXPECT_TRUE(rig.view.savingDialogOpen);
  EXPECT_TRUE(rig.controller.WorkerRunning());
  EXPECT_FALSE(rig.controller.Save({Selection::All(), out.Path().string(), true}, {}));
  ASSERT_EQ(rig.workers.held.size(), 1u);
  rig.workers.RunAll();
  EXPECT_EQ(ended.calls, 0);  // the completion runs on the view's thread
  rig.dispatcher.DrainAll();

  ASSERT_EQ(ended.calls, 1);
  EXPECT_FALSE(ended.dialogWasOpen);  // closed before the caller hears of the end
  EXPECT_FALSE(rig.controller.WorkerRunning());
  ASSERT_TRUE(ended.result->has_value());
  EXPECT_EQ((*ended.result)->report.summary.files, 6u);
  EXPECT_EQ(Slurp(out / "src/lib/x.h"), "x");
  EXPECT_EQ(Slurp(out / "readme.txt"), "hello");
  EXPECT_TRUE(fs::exists(out / std::string(kReportTextName)));
  // Each file's digests reach the caller and the session, for Properties.
  EXPECT_EQ(ended.written, 6u);
  // Drawn from snapshots: the last one shows the last entry of all and 100.
  ASSERT_FALSE(rig.view.savingSnapshots.empty());
  const SavingSnapshot& last = rig.view.savingSnapshots.back();
  EXPECT_EQ(last.position, 100);
  EXPECT_THAT(last.count, HasSubstr(" of "));
  EXPECT_EQ(last.count.substr(0, last.count.find(' ')),
            last.count.substr(last.count.rfind(' ') + 1));
}

TEST(WizardSaving, StopAndCloseReachTheRun) {
  for (const bool closing : {false, true}) {
    Rig rig(RecordDisk());
    ToFilesStep(rig);
    TempDir out;
    Ended ended;
    WizardController& controller = rig.controller;
    ASSERT_TRUE(
        controller.Save({Selection::All(), out.Path().string(), false}, Recorder(ended, rig.view)));
    if (closing) {
      rig.view.QueueAnswer(Answer::kYes);
      EXPECT_EQ(controller.CloseRequested(), CloseDecision::kKeepOpen);
    } else {
      controller.StopSaving();
    }
    Settle(rig);
    EXPECT_FALSE(rig.view.savingDialogOpen);
    EXPECT_FALSE(controller.WorkerRunning());
    if (closing) {
      // No summary on the way out; the window closes once the run is over.
      EXPECT_EQ(ended.calls, 0);
      EXPECT_EQ(rig.view.closedWindow, 1);
    } else {
      ASSERT_EQ(ended.calls, 1);
      ASSERT_TRUE(ended.result->has_value());
      EXPECT_TRUE((*ended.result)->report.summary.stoppedByUser);
      EXPECT_FALSE(fs::exists(out / "readme.txt"));
    }
  }
}

TEST(WizardRestore, AskedFirstAndFinishAlwaysComes) {
  TempDir data;
  {
    // A gzip header with a broken stream: examined, found damaged, left.
    std::ofstream damaged(data / "broken.gz", std::ios::binary);
    const unsigned char header[] = {0x1F, 0x8B, 0x08, 0x00, 0, 0, 0, 0, 0, 0x03, 0xFF, 0xFF, 0x12};
    damaged.write(reinterpret_cast<const char*>(header), sizeof header);
  }
  Rig rig(RecordDisk());

  // No: nothing starts, and the No is kept.
  rig.view.QueueAnswer(Answer::kNo);
  rig.controller.RestoreCompressed(data.Path().string());
  EXPECT_THAT(rig.view.questions, ElementsAre(std::string(kRestoreQuestion)));
  EXPECT_FALSE(rig.view.restoreDialogOpen);
  EXPECT_TRUE(rig.workers.held.empty());
  EXPECT_TRUE(rig.controller.RestoreDeclined());

  // A later Yes restores; and a folder that cannot be opened still finishes.
  struct Case {
    fs::path folder;
    std::vector<std::string> status;
  };
  const Case cases[] = {
      {data.Path(), {"Restoring broken.gz", "1 files examined, 0 restored, 1 damaged, 0 failed"}},
      {data / "missing", {}},
  };
  for (const Case& c : cases) {
    rig.view.QueueAnswer(Answer::kYes);
    rig.controller.RestoreCompressed(c.folder.string());
    EXPECT_TRUE(rig.view.restoreDialogOpen);
    EXPECT_FALSE(rig.view.restoreFinished);
    Settle(rig);
    EXPECT_TRUE(rig.view.restoreFinished) << c.folder;
    EXPECT_FALSE(rig.controller.WorkerRunning());
    if (!c.status.empty()) {
      EXPECT_EQ(rig.view.restoreStatus, c.status);
    } else {
      ASSERT_EQ(rig.view.restoreStatus.size(), 1u);
      EXPECT_THAT(rig.view.restoreStatus.back(), HasSubstr("missing"));
    }
  }
  EXPECT_EQ(Slurp(data / "broken.gz").size(), 13u);
}

// Coalesces progress as the window's dispatcher does: of the progress calls
// of a channel not yet run only the latest runs, before any later call.
class CoalescingQueue final : public Dispatcher {
 public:
  void Post(std::function<void()> call) override {
    TakeProgress();
    queue_.push_back(std::move(call));
  }
  void PostLatest(std::string_view channel, std::function<void()> call) override {
    (void)progress_.Store(channel, std::move(call));
  }
  void DrainAll() {
    for (TakeProgress(); !queue_.empty(); TakeProgress()) {
      auto call = std::move(queue_.front());
      queue_.pop_front();
      call();
    }
  }

 private:
  void TakeProgress() {
    for (auto& call : progress_.Take()) queue_.push_back(std::move(call));
  }
  ProgressCoalescer progress_;
  std::deque<std::function<void()>> queue_;
};

std::vector<std::shared_ptr<BlockDeviceSource>> TwoBareVolumes() {
  ik::DiskDescription description;
  description.layout = ik::PartitionLayout::kNone;
  description.volumes = {HtfsVolume(), HtfsVolume()};
  return {AsDrive(BuildDisk(description).bytes)};
}

// A range search read one sector at a time: every snapshot holds all the
// worker has shown, so the window that draws only the latest ends where the
// one that draws every event ends, having drawn far fewer.
TEST(WizardProgress, CoalescedSnapshotsEndWhereEveryEventEnds) {
  const auto search = [](auto& rig) {
    rig.session.settings.sectorsPerRead = 1;
    rig.ChooseDrive(0);
    rig.controller.IdentifyOptionChosen(IdentifyOption::kSearchPartition);
    rig.controller.Next();
    rig.dispatcher.DrainAll();
    ASSERT_EQ(rig.Step(), WizardStep::kVolume);
  };
  WizardRig<QueueDispatcher, InlineWorkers> every(TwoBareVolumes());
  search(every);
  WizardRig<CoalescingQueue, InlineWorkers> latest(TwoBareVolumes());
  search(latest);

  EXPECT_EQ(latest.session.volumes.volumeCount, 2u);
  EXPECT_THAT(
      latest.view.TreeOf(TreeKind::kVolume).ChildTexts(latest.view.TreeOf(TreeKind::kVolume).root),
      ElementsAre("HTFS Partition - 1", "HTFS Partition - 2"));
  // The last search display, before the volume step replaced it.
  const auto lastValue = [](const RecordingView& view, std::string_view label) {
    const std::string prefix = fmt::format("Value({}=", label);
    std::string last;
    for (const std::string& call : view.calls) {
      if (call.starts_with(prefix)) last = call;
    }
    return last;
  };
  for (const std::string_view label : {kSearchFoundLabel, kSearchCurrentSectorLabel}) {
    EXPECT_EQ(lastValue(latest.view, label), lastValue(every.view, label)) << label;
    EXPECT_FALSE(lastValue(latest.view, label).empty()) << label;
  }
  EXPECT_LT(latest.view.CallCount("Value(") * 20, every.view.CallCount("Value("));
}

}  // namespace
}  // namespace tolvar::testing
