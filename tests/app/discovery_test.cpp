#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/wizard_steps.hpp"
#include "tests/app/volume_test_rig.hpp"
#include "tests/support/disk_builder.hpp"

namespace tolvar {
namespace {

using ::testing::Contains;
using testing::DiskBuilder;
using testing::NextOutcome;
using testing::VolumeRig;
using testing::WatchedSource;

const std::string kDiskHelp =
    "\r\n                1. Select the disk to scan from left pane.\r\n                2. Select "
    "the "
    "scan type.\r\n                3. Click Next Button.";
const std::string kSearchingHelp =
    "\r\n                Please Wait, Tolvar is searching for partitions. Once this process is "
    "completed, it will show you all the Partitions.";

TEST(SectorFieldTest, AcceptsUnsignedDecimalOnly) {
  EXPECT_EQ(ParseSectorField("0"), 0u);
  EXPECT_EQ(ParseSectorField("007"), 7u);
  EXPECT_EQ(ParseSectorField("4294967295"), 4294967295u);
  for (const char* bad :
       {"", "4294967296", "99999999999999999999", "-1", "+5", " 5", "5 ", "1e3", "0x10", "12a"}) {
    EXPECT_FALSE(ParseSectorField(bad)) << '"' << bad << '"';
  }
}

TEST(DiskStepNextTest, RangeFieldsAreCheckedInOrder) {
  struct Case {
    const char* start;
    const char* end;
    std::string_view message;
  };
  const Case cases[] = {
      {"", "100", kBadStartMessage},         {"abc", "", kBadStartMessage},
      {"4294967296", "5", kBadStartMessage}, {"5", "", kBadEndMessage},
      {"5", "1x", kBadEndMessage},           {"5", "5", kEndNotAboveStartMessage},
      {"6", "5", kEndNotAboveStartMessage},
  };
  for (const Case& c : cases) {
    VolumeRig rig;
    rig.Attach(DiskBuilder(200).Take());
    EXPECT_EQ(rig.Next(IdentifyOption::kSearchPartition, c.start, c.end),
              NextOutcome::kInvalidRange);
    const auto& messages = rig.view.messages;
    ASSERT_EQ(messages.size(), 1u) << c.start << ".." << c.end;
    EXPECT_EQ(messages[0].text, c.message);
    EXPECT_EQ(messages[0].kind, MessageKind::kError);
    EXPECT_FALSE(rig.drives.IsOpen()) << "a refused range reads nothing";
    EXPECT_EQ(rig.VolumeTreesMade(), 0);
    EXPECT_TRUE(rig.view.Shown(WizardButton::kNext)) << "Next is offered again";
    EXPECT_EQ(rig.state.step, WizardStep::kDisk);
  }
  EXPECT_EQ(kBadStartMessage.substr(0, 7), "      S");
}

TEST(DiskStepNextTest, ValidRangeStartsTheSearchDisplay) {
  VolumeRig rig;
  rig.Attach(DiskBuilder(200).Take());
  // What the window shows while the search runs, seen at its first status.
  std::string endRow;
  std::string help;
  std::optional<PanelMode> mode;
  rig.view.hook = [&](std::string_view call, std::string_view) {
    if (call != "SetStatusText" || mode) return;
    endRow = rig.view.PanelValue("End Sector     ");
    help = rig.view.quickHelp;
    mode = rig.PanelMode();
  };
  ASSERT_EQ(rig.Next(IdentifyOption::kSearchPartition, "10", "150"), NextOutcome::kStartWorker);
  EXPECT_EQ(rig.state.rangeStart, 10u);
  EXPECT_EQ(rig.state.rangeEnd, 150u);
  EXPECT_EQ(mode, PanelMode::kRangeSearch);
  EXPECT_EQ(endRow, "150");
  EXPECT_EQ(help, kSearchingHelp);
  EXPECT_EQ(rig.VolumeTreesMade(), 1);
}

TEST(DiskStepNextTest, PartitionTableNeedsTheMark) {
  VolumeRig rig;
  rig.Attach(DiskBuilder(200).PartitionRecord({{0, 10}}, 0x1235).Take());
  EXPECT_EQ(rig.Next(IdentifyOption::kUsePartitionTable), NextOutcome::kNoRecord);
  EXPECT_EQ(rig.Messages(), std::vector<std::string>{std::string(kNoRecordMessage)});
  EXPECT_EQ(rig.view.messages[0].kind, MessageKind::kInformation);
  EXPECT_TRUE(rig.drives.IsOpen());
  EXPECT_EQ(rig.VolumeTreesMade(), 0);

  VolumeRig marked;
  marked.Attach(DiskBuilder(200).PartitionRecord({}).Take());
  ASSERT_EQ(marked.Next(IdentifyOption::kUsePartitionTable), NextOutcome::kStartWorker);
  EXPECT_THAT(marked.view.panelModes, Contains(PanelMode::kRecordSearch));
  EXPECT_THAT(marked.view.quickHelpHistory, Contains(kSearchingHelp));
  EXPECT_EQ(marked.VolumeTreesMade(), 1);
}

TEST(PartitionTableTest, AllZeroLengthsFindNothing) {
  VolumeRig rig;
  // A superblock at sector 1 that a zero-length entry must not reach.
  rig.Attach(DiskBuilder(200).PartitionRecord({{0, 0}, {0, 0}}).EafsSuperblock(1, 8).Take());
  ASSERT_EQ(rig.Next(IdentifyOption::kUsePartitionTable), NextOutcome::kStartWorker);
  EXPECT_EQ(rig.volumes.volumeCount, 0u);
  EXPECT_TRUE(rig.StatusTexts().empty());
  EXPECT_EQ(rig.Messages(), std::vector<std::string>{std::string(kNothingFromRecordMessage)});
  EXPECT_EQ(rig.state.step, WizardStep::kDisk);
  EXPECT_FALSE(rig.state.Busy());
  EXPECT_EQ(rig.view.quickHelp, kDiskHelp);
  EXPECT_EQ(rig.PanelMode(), PanelMode::kDrive);
}

TEST(PartitionTableTest, EntryScansTwiceItsLengthInWholeRuns) {
  // Entry: start 1000, 50 KB = 100 sectors. With runs of 60 the runs are
  // 1000-1059 and 1060-1119, so 1119 is the last sector tested.
  for (const auto& [superblock, found] : std::vector<std::pair<std::uint32_t, bool>>{
           {1001, true}, {1099, true}, {1119, true}, {1120, false}, {1000, true}, {999, false}}) {
    VolumeRig rig(60);
    rig.Attach(
        DiskBuilder(1300).PartitionRecord({{1000, 50}}).HtfsSuperblock(superblock, 64, 4).Take());
    rig.Next(IdentifyOption::kUsePartitionTable);
    ASSERT_EQ(rig.volumes.volumeCount, found ? 1u : 0u) << superblock;
    if (found) {
      EXPECT_EQ(rig.volumes.entries[0].startSector, superblock - 1);
    }
  }
}

TEST(PartitionTableTest, ProgressCurrentSectorAndStatusPerRange) {
  VolumeRig rig(60);
  rig.Attach(DiskBuilder(1300)
                 .PartitionRecord({{1000, 90}, {0, 0}, {200, 10}})
                 .EafsSuperblock(1150, 64)
                 .RootFolder(1150, false)  // a volume, not a stray signature
                 .Take());
  rig.Next(IdentifyOption::kUsePartitionTable);
  ASSERT_EQ(rig.volumes.volumeCount, 1u);
  EXPECT_EQ(rig.volumes.entries[0].startSector, 1149u);
  EXPECT_EQ(rig.StatusTexts(), (std::vector<std::string>{
                                   "Searching for partition - 1  . This may take some time...",
                                   "Searching for partition - 2  . This may take some time..."}));
  // 180 sectors from 1000: runs at 1000, 1060 and 1120, which holds the
  // superblock and ends the range before its Current Sector update; then
  // the 20-sector range at 200.
  // The display starts at 0; then (r - first) x 100 / count per run.
  EXPECT_EQ(rig.ProgressPositions(), (std::vector<int>{0, 0, 33, 66, 0}));
  EXPECT_EQ(rig.RowUpdates(std::string(kSearchCurrentSectorLabel)),
            (std::vector<std::string>{"1000", "1060", "200"}));
  EXPECT_EQ(rig.RowUpdates(std::string(kSearchFoundLabel)), std::vector<std::string>{"1"});
  EXPECT_EQ(rig.state.step, WizardStep::kVolume);
  EXPECT_EQ(rig.PanelMode(), PanelMode::kVolume);
  EXPECT_TRUE(rig.Messages().empty());
}

TEST(PartitionTableTest, OnlyTheFirstFileSystemOfARangeAndDuplicatesAcrossEntries) {
  VolumeRig rig(8);
  rig.Attach(DiskBuilder(400)
                 .PartitionRecord({{10, 50}, {10, 50}, {300, 10}})
                 .HtfsSuperblock(11, 64, 4)
                 .RootFolder(11, true)  // a volume, not a stray signature
                 .EafsSuperblock(40, 64)
                 .EafsSuperblock(301, 16)
                 .RootFolder(301, false)
                 .Take());
  rig.Next(IdentifyOption::kUsePartitionTable);
  EXPECT_EQ(rig.Starts(), (std::vector<std::uint32_t>{10, 300}));
  EXPECT_EQ(rig.volumes.entries[1].volumeName, "EAFS Partition - 2");
  // The second entry ended at the duplicate after one run.
  EXPECT_EQ(rig.RowUpdates(std::string(kSearchCurrentSectorLabel)).size(), 0u);
  EXPECT_EQ(rig.VolumeItemCount(), 2u);
}

TEST(PartitionTableTest, StopSkipsTheRemainingEntries) {
  VolumeRig rig(8);
  rig.Attach(DiskBuilder(400)
                 .PartitionRecord({{10, 50}, {200, 50}, {300, 10}})
                 .HtfsSuperblock(11, 64, 4)
                 .EafsSuperblock(201, 64)
                 .Take());
  rig.view.hook = [&](std::string_view call, std::string_view text) {
    if (call == "SetRowValue" && text == "Partition(s) Found  =1") rig.state.RequestStop();
  };
  rig.Next(IdentifyOption::kUsePartitionTable);
  EXPECT_EQ(rig.Starts(), std::vector<std::uint32_t>{10});
  EXPECT_EQ(rig.StatusTexts().size(), 1u);
  EXPECT_EQ(rig.state.step, WizardStep::kVolume);
  EXPECT_FALSE(rig.state.StopRequested());  // the switch to the volume step clears it
  EXPECT_TRUE(rig.Messages().empty());
}

TEST(PartitionTableTest, RangeEndingAtTheTopOfTheSectorSpaceEnds) {
  // 255 sectors up to 0xFFFFFFFF: runs of 100 whose next start passes 2^32.
  VolumeRig rig(100);
  rig.Attach(DiskBuilder(200).PartitionRecord({{0xFFFFFF00u, 0x7F}}).Take());
  rig.Next(IdentifyOption::kUsePartitionTable);
  EXPECT_EQ(rig.RowUpdates(std::string(kSearchCurrentSectorLabel)),
            (std::vector<std::string>{"4294967040", "4294967140", "4294967240"}));
  EXPECT_EQ(rig.state.step, WizardStep::kDisk);
}

TEST(PartitionTableTest, RecordThatNoLongerReadsStillCompletes) {
  // The record reads when Next checks it, then never again.
  int recordReads = 0;
  auto bytes = DiskBuilder(300).PartitionRecord({{0, 50}}).EafsSuperblock(1, 64).Take();
  auto source = std::make_shared<WatchedSource>(std::move(bytes),
                                                [&](std::uint64_t sector, std::uint64_t count) {
                                                  if (sector <= 105 && 105 < sector + count)
                                                    return ++recordReads == 1;
                                                  return true;
                                                });
  VolumeRig rig;
  rig.Attach(source);
  ASSERT_EQ(rig.Next(IdentifyOption::kUsePartitionTable), NextOutcome::kStartWorker);
  EXPECT_GT(recordReads, 1);
  EXPECT_EQ(rig.volumes.volumeCount, 0u);
  EXPECT_EQ(rig.state.step, WizardStep::kDisk);
  EXPECT_FALSE(rig.state.Busy());
  EXPECT_EQ(rig.Messages(), std::vector<std::string>{std::string(kNothingFromRecordMessage)});
}

TEST(CompletionTest, VolumesReadyThenVolumeRows) {
  VolumeRig rig(100);
  rig.Attach(DiskBuilder(300)
                 .PartitionRecord({{10, 10}, {100, 10}})
                 .EafsSuperblock(11, 1023)      // 2046 sectors
                 .HtfsSuperblock(101, 1024, 8)  // 2048 sectors
                 .Take());
  rig.Next(IdentifyOption::kUsePartitionTable);
  ASSERT_EQ(rig.volumes.volumeCount, 2u);
  EXPECT_EQ(rig.state.step, WizardStep::kVolume);
  EXPECT_FALSE(rig.state.Busy());
  EXPECT_TRUE(rig.VolumeTreeEnabled());
  EXPECT_EQ(rig.PanelMode(), PanelMode::kVolume);
  EXPECT_EQ(rig.view.quickHelp,
            "\r\n                1. Select the Partition to recover from left pane.\r\n           "
            "     2. Click Next Button.");

  const ViewItem second = rig.VolumeItem(1);
  rig.ClickVolume(second);
  EXPECT_EQ(rig.volumes.currentVolume, 1);
  EXPECT_EQ(rig.view.PanelValue("Volume Type  "), "HTFS");
  EXPECT_EQ(rig.view.PanelValue("Volume Name    "), "HTFS Partition - 2");
  EXPECT_EQ(rig.view.PanelValue("Volume Start      "), "100");
  EXPECT_EQ(rig.view.PanelValue("Volume Size     "), "1 MB ( Approx )");

  rig.ClickVolume(rig.VolumeItem(0));
  EXPECT_EQ(rig.volumes.currentVolume, 0);
  EXPECT_EQ(rig.view.PanelValue("Volume Type  "), "EAFS");
  EXPECT_EQ(rig.view.PanelValue("Volume Size     "), "0 MB ( Approx )");

  rig.ClickVolume(9999);
  EXPECT_EQ(rig.volumes.currentVolume, 0) << "an unknown item selects nothing";
  rig.controller.Back();
  rig.ClickVolume(second);
  EXPECT_EQ(rig.volumes.currentVolume, 0) << "the disk step ignores volume items";
}

TEST(CompletionTest, SizesShowInWholeMegabytes) {
  EXPECT_EQ(MegabytesText(2047), "0 MB ( Approx )");
  EXPECT_EQ(MegabytesText(2048), "1 MB ( Approx )");
}

}  // namespace
}  // namespace tolvar
