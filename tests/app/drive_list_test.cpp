#include "app/drive_list.hpp"

#include <gtest/gtest.h>

#include "tests/disk/disk_test_util.hpp"
#include "tests/support/recording_feedback.hpp"

namespace tolvar {
namespace {

TEST(DriveItems, TextAndIndexRoundTrip) {
  EXPECT_EQ(DriveItemText(0), "Storage Device0");
  EXPECT_EQ(DriveItemText(12), "Storage Device12");
  EXPECT_EQ(DriveIndexFromItemText("Storage Device12"), 12);
  EXPECT_EQ(DriveIndexFromItemText(DriveItemText(31)), 31);
  for (std::string_view text : {"My Computer", "", "Storage Device", "Storage Device1x",
                                "Storage Device-1", "Storage Device99999", "Other Device1"}) {
    EXPECT_FALSE(DriveIndexFromItemText(text).has_value()) << text;
  }
}

TEST(DriveItems, PanelRowsCarryTheFiguresUnderTheModeZeroLabels) {
  DriveInfo drive;
  drive.model = "ST3500418AS";
  drive.cylinders = 16'383;
  drive.heads = 16;
  drive.sectorsPerTrack = 63;
  drive.totalSectors = 16'514'064;
  const auto rows = DrivePanelRows(drive);
  const auto labels = DescribePanelMode(PanelMode::kDrive).rows;
  ASSERT_EQ(rows.size(), 5u);
  for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i].label, labels[i].label);
  EXPECT_EQ(rows[0].value, "ST3500418AS");
  EXPECT_EQ(rows[1].value, "8063 MB ( Approx )");
  EXPECT_EQ(rows[2].value, "16383");
  EXPECT_EQ(rows[3].value, "16");
  EXPECT_EQ(rows[4].value, "63");
}

class DriveClick : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<std::shared_ptr<BlockDeviceSource>> sources;
    for (std::uint64_t sectors : {1008u, 4032u}) {
      DeviceDescription description;
      description.productId = "disk" + std::to_string(sectors);
      sources.push_back(MakeMemorySource(testing::PatternBytes(sectors), description));
    }
    table.EnumerateDrives(MakeFixedProvider(sources));
  }

  RecoverySettings settings;
  DriveTable table{settings};
  WizardState state;
  RecordingFeedback feedback;
};

TEST_F(DriveClick, MakesTheDriveCurrentAndFillsRangeAndPanel) {
  feedback.SetPanelMode(PanelMode::kDrive);
  state.rangeStart = 77;
  EXPECT_TRUE(SelectDrive(table, state, feedback, "Storage Device1"));
  EXPECT_EQ(table.currentDrive, 1);
  EXPECT_EQ(state.rangeStart, 0u);
  EXPECT_EQ(state.rangeEnd, 4032u);
  EXPECT_EQ(feedback.RowValue("Model                  "), "disk4032");
  EXPECT_EQ(feedback.RowValue("Capacity              "), "1 MB ( Approx )");
  EXPECT_EQ(feedback.RowValue("Sectors Per Track "), "63");
}

TEST_F(DriveClick, TheRootAndItemsThatAreNoListedDriveChangeNothing) {
  table.currentDrive = 1;
  state.rangeEnd = 5;
  for (std::string_view text : {"My Computer", "", "Storage Device2", "Storage Device31"}) {
    EXPECT_FALSE(SelectDrive(table, state, feedback, text)) << text;
  }
  state.step = WizardStep::kVolume;  // only the disk step takes drive clicks
  EXPECT_FALSE(SelectDrive(table, state, feedback, "Storage Device0"));
  EXPECT_EQ(table.currentDrive, 1);
  EXPECT_EQ(state.rangeEnd, 5u);
  EXPECT_TRUE(feedback.EventsOf("SetRowValue").empty());
}

}  // namespace
}  // namespace tolvar
