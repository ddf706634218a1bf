#include <gtest/gtest.h>

#include "app/wizard_steps.hpp"
#include "tests/app/volume_test_rig.hpp"
#include "tests/support/disk_builder.hpp"
#include "tests/support/recording_volume_tree_sink.hpp"

namespace tolvar {
namespace {

using testing::DiskBuilder;
using testing::NextOutcome;
using testing::VolumeRig;
using testing::WatchedSource;

constexpr auto kSearch = IdentifyOption::kSearchPartition;

TEST(RangeSearchTest, RunsAreTestedWholePastTheEnd) {
  VolumeRig rig(60);
  rig.Attach(DiskBuilder(300).HtfsSuperblock(110, 64, 4).EafsSuperblock(120, 64).Take());
  ASSERT_EQ(rig.Next(kSearch, "0", "100"), NextOutcome::kStartWorker);
  // Runs 0-59 and 60-119: 110 is tested, 120 is not.
  EXPECT_EQ(rig.Starts(), std::vector<std::uint32_t>{109});
  EXPECT_EQ(rig.RowUpdates(std::string(kSearchCurrentSectorLabel)),
            (std::vector<std::string>{"0", "60"}));
  EXPECT_EQ(rig.StatusTexts(),
            (std::vector<std::string>{"Scanning sector 0 Of 100", "Scanning sector 60 Of 100"}));
  EXPECT_EQ(rig.RowUpdates(std::string(kSearchFoundLabel)), std::vector<std::string>{"1"});
  EXPECT_EQ(rig.state.step, WizardStep::kVolume);
}

TEST(RangeSearchTest, StatusAndProgressPerRun) {
  VolumeRig rig(100);
  rig.Attach(DiskBuilder(10100).EafsSuperblock(9999, 8).Take());
  rig.Next(kSearch, "100", "10100");
  const auto texts = rig.StatusTexts();
  ASSERT_EQ(texts.size(), 100u);
  EXPECT_EQ(texts[2], "Scanning sector 200 Of 10000");
  const auto positions = rig.ProgressPositions();
  ASSERT_EQ(positions.size(), 101u);  // the display's 0, then one per run
  EXPECT_EQ(positions[3], 2);
  EXPECT_EQ(positions.back(), 99);
  EXPECT_EQ(rig.RowUpdates(std::string(kSearchCurrentSectorLabel))[2], "300");
  EXPECT_EQ(rig.Starts(), std::vector<std::uint32_t>{9998});
}

TEST(RangeSearchTest, CollectsEveryCopyAndEachSearchStartsAfresh) {
  VolumeRig rig(8);
  rig.Attach(DiskBuilder(100).HtfsSuperblock(20, 64, 4).HtfsSuperblock(50, 64, 4).Take());
  rig.Next(kSearch, "0", "100");
  EXPECT_EQ(rig.Starts(), (std::vector<std::uint32_t>{19, 49}));
  rig.Next(kSearch, "0", "100");  // Back, then the same search again
  EXPECT_EQ(rig.Starts(), (std::vector<std::uint32_t>{19, 49}));
  EXPECT_EQ(rig.volumes.entries[1].volumeName, "HTFS Partition - 2");
  EXPECT_EQ(rig.VolumeTreesMade(), 2);
  EXPECT_EQ(rig.VolumeItemCount(), 2u);
}

TEST(RangeSearchTest, NinetyNinthVolumeEndsTheSearch) {
  DiskBuilder disk(400);
  for (std::uint32_t s = 1; s <= 150; ++s) disk.EafsSuperblock(s, 8);
  VolumeRig rig(100);
  rig.Attach(disk.Take());
  rig.Next(kSearch, "0", "400");
  ASSERT_EQ(rig.volumes.volumeCount, 99u);
  EXPECT_EQ(rig.volumes.entries[98].startSector, 98u);
  // The count shown stays at the value before the limit was reached.
  EXPECT_EQ(rig.RowUpdates(std::string(kSearchFoundLabel)).back(), "98");
  EXPECT_EQ(rig.StatusTexts().size(), 1u);
  EXPECT_EQ(rig.state.step, WizardStep::kVolume);
  EXPECT_FALSE(rig.state.StopRequested());
}

TEST(RangeSearchTest, StopDuringTheFirstRunTestsNoMoreSectors) {
  VolumeRig rig(60);
  auto bytes = DiskBuilder(200).EafsSuperblock(5, 8).Take();
  rig.Attach(std::make_shared<WatchedSource>(std::move(bytes), [&](std::uint64_t, std::uint64_t) {
    rig.state.RequestStop();
    return true;
  }));
  rig.Next(kSearch, "0", "200");
  EXPECT_EQ(rig.volumes.volumeCount, 0u);
  EXPECT_EQ(rig.StatusTexts().size(), 1u);
  EXPECT_EQ(rig.Messages(), std::vector<std::string>{std::string(kNothingFromSearchMessage)});
  EXPECT_EQ(rig.state.step, WizardStep::kDisk);
  EXPECT_EQ(rig.PanelMode(), PanelMode::kDrive);
  EXPECT_FALSE(rig.state.StopRequested());
  EXPECT_FALSE(rig.state.Busy());
  EXPECT_FALSE(rig.VolumeTreeEnabled());
}

TEST(RangeSearchTest, StopKeepsWhatWasFound) {
  VolumeRig rig(60);
  rig.Attach(DiskBuilder(200).EafsSuperblock(5, 8).EafsSuperblock(10, 8).Take());
  rig.view.hook = [&](std::string_view call, std::string_view text) {
    if (call == "SetRowValue" && text == "Partition(s) Found  =1") rig.state.RequestStop();
  };
  rig.Next(kSearch, "0", "200");
  EXPECT_EQ(rig.Starts(), std::vector<std::uint32_t>{4});
  EXPECT_EQ(rig.state.step, WizardStep::kVolume);
  EXPECT_TRUE(rig.Messages().empty());
}

TEST(RangeSearchTest, SearchClearsAStopLeftFromBefore) {
  VolumeRig rig(60);
  rig.Attach(DiskBuilder(200).EafsSuperblock(5, 8).Take());
  rig.state.RequestStop();
  ASSERT_EQ(rig.Next(kSearch, "0", "200"), NextOutcome::kStartWorker);
  EXPECT_EQ(rig.volumes.volumeCount, 1u);
}

TEST(RangeSearchTest, RunsPastTheCapacityNeverRepeatAnEarlierRun) {
  // 250 sectors; the run at 300 starts past the capacity and is refused
  // without a read. It must not be tested as the run at 200 again.
  VolumeRig rig(100);
  rig.Attach(DiskBuilder(250).EafsSuperblock(240, 8).Take());
  ASSERT_EQ(rig.drives.Current().totalSectors, 250u);
  rig.Next(kSearch, "0", "400");
  EXPECT_EQ(rig.Starts(), std::vector<std::uint32_t>{239});
}

TEST(RangeSearchTest, ProgressIsExactOnTheWidestRange) {
  // done x 100 passes 2^32 after 42,949,673 sectors; stop soon after. The
  // feedback here keeps only what the test needs, for speed.
  struct LastProgress final : Feedback {
    void ShowMessage(std::string_view, MessageKind) override {}
    Answer AskYesNo(std::string_view, MessageKind) override { return Answer::kNo; }
    void SetPanelMode(const PanelLayout&) override {}
    void SetRowValue(std::string_view, std::string_view) override {}
    void ShowStatus(bool) override {}
    void ShowProgress(bool) override {}
    void SetQuickHelp(std::string_view) override {}
    void SetStatusText(std::string_view text) override {
      if (text == "Scanning sector 42950000 Of 4294967295") state->RequestStop();
    }
    void SetProgress(int position) override { last = position; }
    WizardState* state = nullptr;
    int last = -1;
  };
  VolumeRig rig(100);
  rig.Attach(DiskBuilder(1).Take());
  LastProgress feedback;
  feedback.state = &rig.state;
  RecordingVolumeTreeSink tree;
  DiscoveryContext ctx{rig.drives, rig.volumes, rig.state, rig.settings, feedback, tree};
  rig.state.identifyOption = kSearch;
  rig.state.rangeStart = 0;
  rig.state.rangeEnd = 4294967295u;
  rig.drives.currentDrive = 0;
  ASSERT_TRUE(rig.drives.OpenCurrentDrive());
  RunDiscovery(ctx);
  EXPECT_EQ(feedback.last, 1);
}

}  // namespace
}  // namespace tolvar
