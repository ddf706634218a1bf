// The workers on threads of their own, reaching the view only through a
// dispatcher that the test drains call by call: Stop, Exit and close while a
// worker runs.

#include <gtest/gtest.h>

#include "tests/app/wizard_rig.hpp"

namespace tolvar::testing {
namespace {

using Rig = WizardRig<LockstepDispatcher, ThreadWorkers>;
using ::testing::ElementsAre;

// Three volumes without partition information, for the range search.
std::vector<std::shared_ptr<BlockDeviceSource>> ThreeVolumeDisk() {
  ik::DiskDescription description;
  description.layout = ik::PartitionLayout::kNone;
  description.volumes = {HtfsVolume(), EafsVolume(), HtfsVolume()};
  return {AsDrive(BuildDisk(description).bytes)};
}

std::vector<std::shared_ptr<BlockDeviceSource>> RecordDisk() {
  ik::DiskDescription description;
  description.volumes = {HtfsVolume(), EafsVolume()};
  return {AsDrive(BuildDisk(description).bytes)};
}

bool Running(Rig& rig) { return rig.controller.WorkerRunning(); }

// Presses Stop, answered `answer`, the first time `when` holds after a call.
void StopWhen(Rig& rig, std::function<bool()> when, Answer answer = Answer::kYes) {
  auto pressed = std::make_shared<bool>(false);
  rig.dispatcher.afterEach = [&rig, when = std::move(when), answer, pressed] {
    if (*pressed || !when()) return;
    *pressed = true;
    rig.view.QueueAnswer(answer);
    rig.controller.Stop();
  };
}

void StartRangeSearch(Rig& rig) {
  rig.ChooseDrive(0);
  rig.controller.IdentifyOptionChosen(IdentifyOption::kSearchPartition);
  rig.controller.Next();
}

TEST(WizardStop, SearchStoppedAfterTwoVolumesReachesTheVolumeStep) {
  Rig rig(ThreeVolumeDisk());
  StopWhen(rig, [&] { return rig.view.PanelValue("Partition(s) Found  ") == "2"; });
  StartRangeSearch(rig);
  ASSERT_TRUE(rig.dispatcher.RunWhile([&] { return Running(rig); }));
  EXPECT_THAT(rig.view.questions, ElementsAre("Do you want to stop the current process ?"));
  EXPECT_EQ(rig.Step(), WizardStep::kVolume);
  EXPECT_EQ(rig.session.volumes.volumeCount, 2u);
  const auto& volumes = rig.view.TreeOf(TreeKind::kVolume);
  EXPECT_THAT(volumes.ChildTexts(volumes.root),
              ElementsAre("HTFS Partition - 1", "EAFS Partition - 2"));
  EXPECT_FALSE(rig.session.state.StopRequested());  // cleared by the volume step's layout
  EXPECT_TRUE(rig.view.messages.empty());
}

TEST(WizardStop, SearchStoppedBeforeAnyVolumeReturnsWithItsMessage) {
  {
    Rig rig(ThreeVolumeDisk());
    StopWhen(rig, [&] { return rig.view.status.starts_with("Scanning sector 0 Of "); });
    StartRangeSearch(rig);
    ASSERT_TRUE(rig.dispatcher.RunWhile([&] { return Running(rig); }));
    EXPECT_EQ(rig.Step(), WizardStep::kDisk);
    EXPECT_EQ(rig.session.volumes.volumeCount, 0u);
    EXPECT_THAT(rig.view.MessageTexts(), ElementsAre("No HTFS/EAFS Partition Found  !!"));
  }
  {
    Rig rig(RecordDisk());
    StopWhen(rig, [&] { return rig.view.status.starts_with("Searching for partition - 1"); });
    rig.ChooseDrive(0);
    rig.controller.Next();
    ASSERT_TRUE(rig.dispatcher.RunWhile([&] { return Running(rig); }));
    EXPECT_EQ(rig.Step(), WizardStep::kDisk);
    EXPECT_THAT(rig.view.MessageTexts(),
                ElementsAre("No HTFS/EAFS Partition Found  !! \r\nUser stopped the search "
                            "process."));
  }
}

TEST(WizardStop, AnsweredNoLetsTheSearchGoOn) {
  Rig rig(ThreeVolumeDisk());
  StopWhen(
      rig, [&] { return rig.view.PanelValue("Partition(s) Found  ") == "1"; }, Answer::kNo);
  StartRangeSearch(rig);
  ASSERT_TRUE(rig.dispatcher.RunWhile([&] { return Running(rig); }));
  EXPECT_EQ(rig.view.questions.size(), 1u);
  EXPECT_EQ(rig.session.volumes.volumeCount, 3u);
}

// Up to the volume step with the record disk, then Next with Normal mode.
void StartMount(Rig& rig) {
  rig.ChooseDrive(0);
  rig.controller.Next();
  ASSERT_TRUE(rig.dispatcher.RunWhile([&] { return Running(rig); }));
  ASSERT_EQ(rig.Step(), WizardStep::kVolume);
  rig.ChooseVolume(0);
  rig.view.QueueMode(RecoveryMode::kNormal);
  rig.controller.Next();
}

TEST(WizardStop, MountStoppedInTheRootStillReachesTheFilesStep) {
  Rig rig(RecordDisk());
  StartMount(rig);
  StopWhen(rig, [&] { return rig.view.PanelValue("Folder(s) Found    ") == "1"; });
  ASSERT_TRUE(rig.dispatcher.RunWhile([&] { return Running(rig); }));
  EXPECT_EQ(rig.Step(), WizardStep::kFiles);
  // The walk ended after the root: its folders are there, theirs are not.
  const auto& files = rig.view.TreeOf(TreeKind::kFile);
  EXPECT_THAT(files.ChildTexts(files.root), ElementsAre("docs", "src"));
  EXPECT_TRUE(files.ChildTexts(rig.FolderItem("src")).empty());
  EXPECT_THAT(rig.view.RowNames(), ElementsAre("docs", "src", "readme.txt", "notes.TXT"));
  EXPECT_FALSE(rig.session.state.StopRequested());
  EXPECT_TRUE(rig.view.Shown(WizardButton::kBack));
}

TEST(WizardExitAndClose, ExitYesWhileMountingEndsAtOnce) {
  Rig rig(RecordDisk());
  StartMount(rig);
  bool asked = false;
  std::size_t callsAtEnd = 0;
  rig.dispatcher.afterEach = [&] {
    if (asked || rig.view.PanelValue("Folder(s) Found    ") != "1") return;
    asked = true;
    rig.view.QueueAnswer(Answer::kYes);
    rig.controller.Exit();
    callsAtEnd = rig.view.calls.size();
  };
  ASSERT_TRUE(rig.dispatcher.RunWhile([&] { return !asked; }));
  EXPECT_EQ(rig.view.endedProcess, 1);
  EXPECT_EQ(rig.view.opened.size(), 1u);
  // The process is gone: nothing the worker still sends reaches the window.
  rig.dispatcher.StopLockstep();
  rig.workers.JoinAll();
  rig.dispatcher.DrainQueued();
  EXPECT_EQ(rig.view.calls.size(), callsAtEnd);
  EXPECT_EQ(rig.Step(), WizardStep::kVolume);
}

TEST(WizardExitAndClose, CloseWhileMountingStopsTheWorkerFirst) {
  Rig rig(RecordDisk());
  StartMount(rig);
  bool asked = false;
  std::uint32_t foldersAtClose = 0;
  rig.dispatcher.afterEach = [&] {
    if (asked || rig.view.PanelValue("Folder(s) Found    ") != "1") return;
    asked = true;
    rig.view.QueueAnswer(Answer::kYes);
    EXPECT_EQ(rig.controller.CloseRequested(), CloseDecision::kKeepOpen);
    // The worker is held inside this call: the tree it fills is still there.
    foldersAtClose = rig.session.fileTree.FolderCount();
    EXPECT_TRUE(rig.session.state.StopRequested());
    EXPECT_EQ(rig.view.closedWindow, 0);
  };
  ASSERT_TRUE(rig.dispatcher.RunWhile([&] { return Running(rig); }));
  EXPECT_EQ(foldersAtClose, 1u);
  EXPECT_EQ(rig.view.closedWindow, 1);
  EXPECT_EQ(rig.view.calls.back(), "CloseWindow");
  EXPECT_EQ(rig.view.opened.size(), 1u);
  EXPECT_EQ(rig.session.fileTree.FolderCount(), 0u);
  EXPECT_EQ(rig.view.endedProcess, 0);
  // A second close request while closing asks nothing more.
  EXPECT_EQ(rig.controller.CloseRequested(), CloseDecision::kKeepOpen);
  EXPECT_EQ(rig.view.questions.size(), 1u);
}

}  // namespace
}  // namespace tolvar::testing
