#include "app/feedback.hpp"

#include <gtest/gtest.h>

#include <thread>

#include "app/wizard_state.hpp"
#include "tests/support/recording_feedback.hpp"

namespace tolvar {
namespace {

TEST(WizardStateTest, FreshStartValues) {
  WizardState state;
  EXPECT_EQ(state.step, WizardStep::kDisk);
  EXPECT_EQ(state.identifyOption, IdentifyOption::kUsePartitionTable);
  EXPECT_EQ(state.recoveryMode, RecoveryMode::kNormal);
  EXPECT_FALSE(state.StopRequested());
  EXPECT_FALSE(state.Busy());

  auto nt = RecoverySettings::DefaultsFor(DiskRoute::kNtFamily);
  EXPECT_EQ(nt.sectorsPerRead, 60u);
  EXPECT_EQ(nt.duplicatePolicy, DuplicatePolicy::kSkip);
  EXPECT_EQ(nt.deletedPolicy, DeletedPolicy::kInclude);
  EXPECT_EQ(nt.badSectorRetries, 3);
  EXPECT_EQ(RecoverySettings::DefaultsFor(DiskRoute::kLegacyBios).sectorsPerRead, 8u);
}

TEST(PanelModeTest, RowsAndLabelsOfEachMode) {
  auto m44 = DescribePanelMode(PanelMode::kRecordSearch);
  ASSERT_EQ(m44.rows.size(), 2u);
  EXPECT_EQ(m44.rows[0].label, "Partition(s) Found  ");
  EXPECT_EQ(m44.statusText, "Searching for partitions. This may take some time. Pleae wait");

  auto m1 = DescribePanelMode(PanelMode::kRangeSearch, 123456);
  ASSERT_EQ(m1.rows.size(), 3u);
  EXPECT_EQ(m1.rows[2].label, "End Sector     ");
  EXPECT_EQ(m1.rows[2].value, "123456");
  EXPECT_EQ(m1.statusText, "Searching for partitions. This may take long time. Pleae wait");

  auto m6 = DescribePanelMode(PanelMode::kVolume);
  ASSERT_EQ(m6.rows.size(), 4u);
  EXPECT_EQ(m6.rows[3].label, "Volume Size     ");
  EXPECT_FALSE(m6.statusShown);

  auto m0 = DescribePanelMode(PanelMode::kDrive);
  EXPECT_FALSE(m0.clearsFirst);
  ASSERT_EQ(m0.rows.size(), 5u);
  EXPECT_EQ(m0.rows[4].label, "Sectors Per Track ");

  auto m2 = DescribePanelMode(PanelMode::kMounting);
  EXPECT_EQ(m2.rows[3].label, "Last File/Folder       ");
  EXPECT_EQ(m2.statusText, "Mounting volume, please wait...");

  auto m7 = DescribePanelMode(PanelMode::kVolumeOnReturn);
  EXPECT_EQ(m7.quickHelp,
            "\r\n                1. Select the Volume to recover from left pane."
            "\r\n                2. Click Next Button.");
  EXPECT_EQ(DescribePanelMode(PanelMode::kCleared).rows.size(), 0u);
}

TEST(PanelModeTest, MegabytesRoundDown) {
  EXPECT_EQ(MegabytesText(2047), "0 MB ( Approx )");
  EXPECT_EQ(MegabytesText(2048), "1 MB ( Approx )");
  EXPECT_EQ(MegabytesText(16514064), "8063 MB ( Approx )");
}

TEST(RecordingFeedbackTest, KeepsOrderAcrossThreadsAndPanelState) {
  RecordingFeedback feedback;
  feedback.SetPanelMode(PanelMode::kRangeSearch, 99);
  std::thread worker([&] {
    for (int i = 0; i <= 100; ++i) feedback.SetProgress(i);
    feedback.SetRowValue("Current Sector", "42");
  });
  worker.join();
  auto progress = feedback.EventsOf("SetProgress");
  ASSERT_EQ(progress.size(), 101u);
  for (int i = 0; i <= 100; ++i) EXPECT_EQ(progress[i].number, i);
  EXPECT_EQ(feedback.RowValue("Current Sector"), "42");
  EXPECT_EQ(feedback.RowValue("End Sector     "), "99");

  feedback.QueueAnswer(Answer::kYes);
  EXPECT_EQ(feedback.AskYesNo("?", MessageKind::kQuestion), Answer::kYes);
  EXPECT_EQ(feedback.AskYesNo("?", MessageKind::kQuestion), Answer::kNo);
}

}  // namespace
}  // namespace tolvar
