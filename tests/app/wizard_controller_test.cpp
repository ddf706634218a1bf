#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/app/wizard_rig.hpp"

namespace tolvar::testing {
namespace {

using Rig = WizardRig<QueueDispatcher, InlineWorkers>;
using ::testing::ElementsAre;

std::string Help(std::initializer_list<std::string_view> lines) {
  std::string text;
  for (const auto line : lines) text += "\r\n                " + std::string(line);
  return text;
}

const std::string kDiskBackHelp = Help({"1. Select the disk to scan from left pane.",
                                        "2. Select the scan type.", "3. Click Next Button."});
const std::string kSearchingHelp =
    Help({"Please Wait, Tolvar is searching for partitions. Once this process is completed, it "
          "will show you all the Partitions."});
const std::string kBrowseHelp =
    Help({"Please select the file(s) and folder(s) to recover from right pane and copy using   "
          "Recover Selected      or                             Recover All options from the "
          "Recovery Menu.",
          "You can open a file by Double Clicking it."});

const std::vector<MenuCommand> kBrowseOnly = {
    MenuCommand::kRecoverSelected, MenuCommand::kRecoverAll,
    MenuCommand::kIcons,           MenuCommand::kList,
    MenuCommand::kDetails,         MenuCommand::kFindFiles,
    MenuCommand::kFileFilters,     MenuCommand::kDriveInformation};
const std::vector<MenuCommand> kAlways = {MenuCommand::kExit, MenuCommand::kLiveUpdate,
                                          MenuCommand::kContents, MenuCommand::kBuyOnline,
                                          MenuCommand::kAbout};

void ExpectMenus(const RecordingView& view, bool browse, bool settings) {
  for (const MenuCommand c : kBrowseOnly) EXPECT_EQ(view.MenuEnabled(c), browse) << int(c);
  for (const MenuCommand c : kAlways) EXPECT_TRUE(view.MenuEnabled(c)) << int(c);
  EXPECT_EQ(view.MenuEnabled(MenuCommand::kSettings), settings);
}

// One disk with an HTFS and an EAFS volume behind a partition record.
std::vector<std::shared_ptr<BlockDeviceSource>> RecordDisk() {
  ik::DiskDescription description;
  description.volumes = {HtfsVolume(), EafsVolume()};
  return {AsDrive(BuildDisk(description).bytes)};
}

// The same volumes without any partition information.
std::vector<std::shared_ptr<BlockDeviceSource>> BareDisk() {
  ik::DiskDescription description;
  description.layout = ik::PartitionLayout::kNone;
  description.volumes = {HtfsVolume(), EafsVolume()};
  return {AsDrive(BuildDisk(description).bytes)};
}

// A record whose seven ranges are all empty.
std::vector<std::shared_ptr<BlockDeviceSource>> EmptyRecordDisk() {
  std::vector<std::byte> bytes(512 * 400);
  bytes[105 * 512] = std::byte{0x34};
  bytes[105 * 512 + 1] = std::byte{0x12};
  return {AsDrive(std::move(bytes))};
}

// Up to the volume step over the record disk.
void ToVolumeStep(Rig& rig) {
  rig.ChooseDrive(0);
  rig.controller.Next();
  rig.dispatcher.DrainAll();
  ASSERT_EQ(rig.Step(), WizardStep::kVolume);
}

// Up to the files step, volume `index`, Normal mode.
void ToFilesStep(Rig& rig, std::size_t index = 0, RecoveryMode mode = RecoveryMode::kNormal) {
  ToVolumeStep(rig);
  rig.ChooseVolume(index);
  rig.view.QueueMode(mode);
  rig.controller.Next();
  rig.dispatcher.DrainAll();
  ASSERT_EQ(rig.Step(), WizardStep::kFiles);
}

TEST(WizardStartup, FreshStateDiskTreeAndControls) {
  std::vector<std::shared_ptr<BlockDeviceSource>> disks = RecordDisk();
  disks.push_back(AsDrive(std::vector<std::byte>(512 * 64), "Second"));
  Rig rig(std::move(disks));
  const WizardState& state = rig.session.state;
  EXPECT_EQ(state.step, WizardStep::kDisk);
  EXPECT_EQ(state.identifyOption, IdentifyOption::kUsePartitionTable);
  EXPECT_EQ(state.recoveryMode, RecoveryMode::kNormal);
  EXPECT_FALSE(state.StopRequested());
  EXPECT_FALSE(state.Busy());
  EXPECT_EQ(state.startDirectory, "/tmp/start/");
  EXPECT_EQ(rig.session.settings.sectorsPerRead, 60u);
  EXPECT_EQ(rig.session.settings.badSectorRetries, 3);
  EXPECT_EQ(rig.session.settings.duplicatePolicy, DuplicatePolicy::kSkip);
  EXPECT_EQ(rig.session.settings.deletedPolicy, DeletedPolicy::kInclude);

  const auto& disk = rig.view.TreeOf(TreeKind::kDisk);
  EXPECT_EQ(disk.nodes[0].text, "My Computer");
  EXPECT_EQ(disk.nodes[0].image, TreeImage::kRoot);
  EXPECT_TRUE(disk.nodes[0].expanded);
  EXPECT_THAT(disk.ChildTexts(disk.root), ElementsAre("Storage Device0", "Storage Device1"));

  for (const WizardButton b : {WizardButton::kNext, WizardButton::kBack, WizardButton::kStop}) {
    EXPECT_FALSE(rig.view.Shown(b)) << int(b);
  }
  EXPECT_FALSE(rig.view.Shown(PaneSection::kProgress));
  EXPECT_FALSE(rig.view.Shown(PaneSection::kSectorRange));
  EXPECT_EQ(rig.view.checkedOption, IdentifyOption::kUsePartitionTable);
  ExpectMenus(rig.view, false, true);
  EXPECT_THAT(
      rig.view.PanelLabels(),
      ElementsAre("Model                  ", "Capacity              ", "Cylinders              ",
                  "Head                   ", "Sectors Per Track "));
  EXPECT_EQ(rig.view.quickHelp,
            Help({"1. Select the disk to recover from left pane.",
                  "2. Select the Volume Identify Option.", "3. Click Next Button."}));
}

TEST(WizardDiskStep, ChoosingDrivesAndTheSearchOption) {
  std::vector<std::shared_ptr<BlockDeviceSource>> disks = RecordDisk();
  disks.push_back(AsDrive(std::vector<std::byte>(512 * 4096 * 3), "Second"));
  Rig rig(std::move(disks));
  const DriveInfo second = rig.session.drives.Slot(1);

  // The root and empty space select the root and change nothing else.
  rig.controller.TreeClicked(TreeKind::kDisk, rig.controller.RootItem(TreeKind::kDisk));
  rig.controller.TreeClicked(TreeKind::kDisk, kNoViewItem);
  EXPECT_EQ(rig.view.TreeOf(TreeKind::kDisk).selected, rig.controller.RootItem(TreeKind::kDisk));
  EXPECT_FALSE(rig.view.Shown(WizardButton::kNext));

  rig.ChooseDrive(1);
  EXPECT_EQ(rig.session.drives.currentDrive, 1);
  EXPECT_TRUE(rig.view.Shown(WizardButton::kNext));
  EXPECT_EQ(rig.view.PanelValue("Model                  "), "Second");
  EXPECT_EQ(rig.view.PanelValue("Capacity              "),
            std::to_string(second.totalSectors >> 11) + " MB ( Approx )");
  EXPECT_EQ(rig.view.PanelValue("Cylinders              "), std::to_string(second.cylinders));
  EXPECT_EQ(rig.view.PanelValue("Head                   "), std::to_string(second.heads));
  EXPECT_EQ(rig.view.PanelValue("Sectors Per Track "), std::to_string(second.sectorsPerTrack));

  rig.controller.IdentifyOptionChosen(IdentifyOption::kSearchPartition);
  EXPECT_EQ(rig.session.state.identifyOption, IdentifyOption::kSearchPartition);
  EXPECT_TRUE(rig.view.Shown(PaneSection::kSectorRange));
  EXPECT_EQ(rig.view.range.start, "0");
  EXPECT_EQ(rig.view.range.end, std::to_string(second.totalSectors));

  rig.view.range.start = "7";
  rig.ChooseDrive(0);  // another drive refills both fields
  EXPECT_EQ(rig.view.range.start, "0");
  EXPECT_EQ(rig.view.range.end, std::to_string(rig.session.drives.Slot(0).totalSectors));

  rig.controller.IdentifyOptionChosen(IdentifyOption::kUsePartitionTable);
  EXPECT_FALSE(rig.view.Shown(PaneSection::kSectorRange));
  EXPECT_FALSE(rig.view.Shown(PaneSection::kSectorRange));
}

TEST(WizardDiskStep, DrivesChangedRebuildsTheDiskTreeOnlyAtTheDiskStep) {
  Rig rig(RecordDisk());
  rig.ChooseDrive(0);
  std::vector<std::shared_ptr<BlockDeviceSource>> disks = RecordDisk();
  disks.push_back(AsDrive(std::vector<std::byte>(512 * 64), "Added"));
  rig.session.drives.EnumerateDrives(MakeFixedProvider(std::move(disks)));
  EXPECT_TRUE(rig.controller.DrivesChanged());
  const auto& disk = rig.view.TreeOf(TreeKind::kDisk);
  EXPECT_EQ(disk.created, 2);
  EXPECT_THAT(disk.ChildTexts(disk.root), ElementsAre("Storage Device0", "Storage Device1"));
  EXPECT_FALSE(rig.view.Shown(WizardButton::kNext));
  rig.controller.Next();  // no drive chosen in the new tree
  EXPECT_EQ(rig.workers.started, 0);
  EXPECT_TRUE(rig.view.messages.empty());

  ToVolumeStep(rig);
  EXPECT_FALSE(rig.controller.DrivesChanged());
  EXPECT_EQ(rig.view.TreeOf(TreeKind::kDisk).created, 2);
}

TEST(WizardTransitions, DiskNextWithRecordSearchesAndReachesTheVolumeStep) {
  WizardRig<QueueDispatcher, HeldWorkers> rig(RecordDisk());
  rig.ChooseDrive(0);
  rig.controller.Next();
  // The drive is opened and its record found on a worker first.
  EXPECT_TRUE(rig.controller.WorkerRunning());
  EXPECT_TRUE(rig.view.TreeOf(TreeKind::kDisk).shown);
  rig.workers.RunAll();
  rig.dispatcher.DrainAll();

  // Searching: the search display, the worker not yet run.
  EXPECT_TRUE(rig.controller.WorkerRunning());
  EXPECT_FALSE(rig.view.TreeOf(TreeKind::kDisk).shown);
  EXPECT_EQ(rig.view.TreeOf(TreeKind::kVolume).nodes[0].text, "Partitions");
  EXPECT_TRUE(rig.view.Shown(WizardButton::kStop));
  EXPECT_FALSE(rig.view.Shown(WizardButton::kNext));
  EXPECT_FALSE(rig.view.Shown(WizardButton::kBack));
  EXPECT_FALSE(rig.view.Shown(PaneSection::kIdentifyOptions));
  EXPECT_THAT(rig.view.PanelLabels(), ElementsAre("Partition(s) Found  ", "Current Sector"));
  EXPECT_EQ(rig.view.status, "Searching for partitions. This may take some time. Pleae wait");
  EXPECT_EQ(rig.view.quickHelp, kSearchingHelp);
  ExpectMenus(rig.view, false, true);

  rig.workers.RunAll();
  rig.dispatcher.DrainAll();
  EXPECT_FALSE(rig.controller.WorkerRunning());
  EXPECT_EQ(rig.Step(), WizardStep::kVolume);
  EXPECT_EQ(rig.session.volumes.volumeCount, 2u);
  const auto& volumes = rig.view.TreeOf(TreeKind::kVolume);
  EXPECT_THAT(volumes.ChildTexts(volumes.root),
              ElementsAre("HTFS Partition - 1", "EAFS Partition - 2"));
  EXPECT_TRUE(volumes.enabled);
  EXPECT_TRUE(volumes.nodes[0].expanded);
  EXPECT_EQ(rig.view.PanelValue("Partition(s) Found  "), "<no row>");  // panel now mode 6
  EXPECT_THAT(rig.view.PanelLabels(), ElementsAre("Volume Type  ", "Volume Name    ",
                                                  "Volume Start      ", "Volume Size     "));
  EXPECT_TRUE(rig.view.Shown(WizardButton::kBack));
  EXPECT_FALSE(rig.view.Shown(WizardButton::kStop));
  EXPECT_FALSE(rig.view.Shown(PaneSection::kProgress));
  EXPECT_FALSE(rig.view.Shown(PaneSection::kStatusLine));
  EXPECT_FALSE(rig.view.Shown(WizardButton::kNext));
  EXPECT_FALSE(rig.session.state.Busy());
  EXPECT_EQ(rig.view.quickHelp,
            Help({"1. Select the Partition to recover from left pane.", "2. Click Next Button."}));
  EXPECT_TRUE(rig.view.messages.empty());
  // One status per range of the record, numbered by the volume sought next.
  EXPECT_GE(rig.view.CallCount("Status(Searching for partition - 1  . This may take some time...)"),
            1u);
  EXPECT_GE(rig.view.CallCount("Status(Searching for partition - 2  . This may take some time...)"),
            1u);
}

// An SCO partition second on the disk at a 64-head, 32-sector translation,
// its divisions listed out of disk order and no record at sector 105.
std::vector<std::shared_ptr<BlockDeviceSource>> ScoLayoutDisk() {
  ik::DiskDescription description;
  description.layout = ik::PartitionLayout::kSco;
  description.geometry = ik::ChsGeometryDescription{64, 32};
  ik::PartitionDescription dos;
  dos.type = 0x06;
  dos.sectors = 20000;
  ik::PartitionDescription sco;
  sco.type = 0x63;
  description.partitions = {dos, sco};
  auto large = HtfsVolume();
  large.sizeBlocks = 4000;
  large.division = 3;
  auto small = EafsVolume();
  small.sizeBlocks = 600;
  small.division = 2;
  description.volumes = {large, small};
  return {AsDrive(BuildDisk(description).bytes)};
}

TEST(WizardTransitions, DivisionTablesAloneLeadToTheVolumesInDiskOrder) {
  Rig rig(ScoLayoutDisk());
  ToVolumeStep(rig);
  EXPECT_TRUE(rig.view.messages.empty());
  ASSERT_EQ(rig.session.volumes.volumeCount, 2u);
  // Found in table order, shown once each in disk order after the reorder.
  const auto& volumes = rig.view.TreeOf(TreeKind::kVolume);
  EXPECT_THAT(volumes.ChildTexts(volumes.root),
              ElementsAre("HTFS Partition - 1", "EAFS Partition - 2"));
  EXPECT_EQ(rig.session.volumes.entries[0].volumeName, "HTFS Partition - 1");
  // Each item chooses the volume it names.
  rig.ChooseVolume(1);
  EXPECT_EQ(rig.session.volumes.currentVolume, 1u);
  EXPECT_EQ(rig.view.PanelValue("Volume Type  "), "EAFS");
}

TEST(WizardTransitions, RangeSearchReportsEachRun) {
  Rig rig(BareDisk());
  rig.session.settings.sectorsPerRead = 100;
  rig.ChooseDrive(0);
  rig.controller.IdentifyOptionChosen(IdentifyOption::kSearchPartition);
  rig.view.range.end = "10000";
  rig.controller.Next();
  rig.dispatcher.DrainAll();
  const auto& calls = rig.view.calls;
  const auto third = std::find(calls.begin(), calls.end(), "Status(Scanning sector 200 Of 10000)");
  ASSERT_NE(third, calls.end());
  EXPECT_EQ(*(third - 1), "Value(Current Sector=200)");
  EXPECT_EQ(*(third + 1), "Progress(2)");
  EXPECT_EQ(rig.view.CallCount("Status(Scanning sector "), 100u);
}

TEST(WizardTransitions, DiskNextWithoutRecordShowsTheMessageAndHidesNext) {
  Rig rig(BareDisk());
  rig.ChooseDrive(0);
  rig.controller.Next();
  // The drive is opened and its record looked for on a worker; no search.
  EXPECT_EQ(rig.workers.started, 1);
  EXPECT_TRUE(rig.view.MessageTexts().empty()) << "the answer comes from the worker";
  rig.dispatcher.DrainAll();
  EXPECT_EQ(rig.view.TreeOf(TreeKind::kVolume).created, 0);
  EXPECT_THAT(rig.view.MessageTexts(),
              ElementsAre("No HTFS/EAFS Partition Found  !! \r\nSelect Search Partition and "
                          "then Click Next."));
  EXPECT_EQ(rig.view.messages[0].kind, MessageKind::kInformation);
  EXPECT_EQ(rig.Step(), WizardStep::kDisk);
  EXPECT_TRUE(rig.session.drives.IsOpen());
  EXPECT_FALSE(rig.view.Shown(WizardButton::kNext));
  rig.ChooseDrive(0);
  EXPECT_TRUE(rig.view.Shown(WizardButton::kNext));
}

TEST(WizardTransitions, RangeSearchFindsEveryVolume) {
  Rig rig(BareDisk());
  rig.ChooseDrive(0);
  rig.controller.IdentifyOptionChosen(IdentifyOption::kSearchPartition);
  rig.controller.Next();
  EXPECT_EQ(rig.session.state.rangeStart, 0u);
  EXPECT_EQ(rig.session.state.rangeEnd, rig.session.drives.Current().totalSectors);
  EXPECT_EQ(rig.Step(), WizardStep::kDisk);  // the worker has posted its completion, not yet run
  rig.dispatcher.DrainAll();
  EXPECT_EQ(rig.Step(), WizardStep::kVolume);
  const auto& volumes = rig.view.TreeOf(TreeKind::kVolume);
  EXPECT_THAT(volumes.ChildTexts(volumes.root),
              ElementsAre("HTFS Partition - 1", "EAFS Partition - 2"));
  // The range display before the completion replaced it.
  EXPECT_GE(rig.view.CallCount("Panel(RangeSearch)"), 1u);
  EXPECT_GE(rig.view.CallCount("Value(Partition(s) Found  =2)"), 1u);
  EXPECT_FALSE(rig.view.Shown(PaneSection::kSectorRange));
}

TEST(WizardTransitions, RangeSearchDisplayHasThreeRows) {
  WizardRig<QueueDispatcher, HeldWorkers> rig(BareDisk());
  rig.ChooseDrive(0);
  rig.controller.IdentifyOptionChosen(IdentifyOption::kSearchPartition);
  rig.view.range.end = "1000";
  rig.controller.Next();
  rig.workers.RunAll();  // the drive's opening
  rig.dispatcher.DrainAll();
  EXPECT_THAT(rig.view.PanelLabels(),
              ElementsAre("Partition(s) Found  ", "Current Sector", "End Sector     "));
  EXPECT_EQ(rig.view.PanelValue("End Sector     "), "1000");
  EXPECT_EQ(rig.view.status, "Searching for partitions. This may take long time. Pleae wait");
  EXPECT_FALSE(rig.view.Shown(PaneSection::kSectorRange));  // hidden by the search display
  rig.workers.RunAll();
  rig.dispatcher.DrainAll();
}

TEST(WizardTransitions, InvalidRangesAreRefusedAndNextReturns) {
  struct Case {
    std::string start, end, message;
  };
  const std::string badStart =
      "      Start sector value is not valid, It should be a positive number";
  const std::string badEnd = "      End sector value is not valid, It should be a positive number";
  const std::string notAbove = "      End sector should be bigger than start sector";
  const std::vector<Case> cases = {
      {"", "100", badStart},         {"-1", "100", badStart}, {"1x", "100", badStart},
      {"4294967296", "5", badStart}, {"0", "", badEnd},       {"0", "-5", badEnd},
      {"0", "4294967296", badEnd},   {"0", "0", notAbove},    {"50", "49", notAbove},
  };
  Rig rig(RecordDisk());
  rig.ChooseDrive(0);
  rig.controller.IdentifyOptionChosen(IdentifyOption::kSearchPartition);
  for (const Case& c : cases) {
    rig.view.messages.clear();
    rig.view.TypeRange(c.start, c.end);
    rig.controller.Next();
    ASSERT_EQ(rig.view.messages.size(), 1u) << c.start << ".." << c.end;
    EXPECT_EQ(rig.view.messages[0].text, c.message) << c.start << ".." << c.end;
    EXPECT_EQ(rig.view.messages[0].kind, MessageKind::kError);
    EXPECT_TRUE(rig.view.Shown(WizardButton::kNext));
    EXPECT_EQ(rig.Step(), WizardStep::kDisk);
  }
  EXPECT_EQ(rig.workers.started, 0);
}

TEST(WizardTransitions, SearchesThatFindNothingReturnToTheDiskStep) {
  {
    Rig rig(EmptyRecordDisk());
    rig.ChooseDrive(0);
    rig.controller.Next();
    rig.dispatcher.DrainAll();
    EXPECT_EQ(rig.Step(), WizardStep::kDisk);
    EXPECT_THAT(rig.view.MessageTexts(),
                ElementsAre("No HTFS/EAFS Partition Found  !! \r\nUser stopped the search "
                            "process."));
    EXPECT_EQ(rig.view.messages[0].kind, MessageKind::kInformation);
    EXPECT_TRUE(rig.view.TreeOf(TreeKind::kDisk).shown);
    EXPECT_TRUE(rig.view.TreeOf(TreeKind::kDisk).enabled);
    EXPECT_FALSE(rig.view.TreeOf(TreeKind::kVolume).shown);
    EXPECT_TRUE(rig.view.Shown(PaneSection::kIdentifyOptions));
    EXPECT_FALSE(rig.view.Shown(WizardButton::kBack));
    EXPECT_FALSE(rig.view.Shown(PaneSection::kSectorRange));
    EXPECT_EQ(rig.view.quickHelp, kDiskBackHelp);
    EXPECT_EQ(rig.view.PanelLabels().front(), "Model                  ");
    ExpectMenus(rig.view, false, true);
    EXPECT_FALSE(rig.controller.WorkerRunning());
  }
  {
    Rig rig({AsDrive(std::vector<std::byte>(512 * 300))});
    rig.ChooseDrive(0);
    rig.controller.IdentifyOptionChosen(IdentifyOption::kSearchPartition);
    rig.controller.Next();
    rig.dispatcher.DrainAll();
    EXPECT_EQ(rig.Step(), WizardStep::kDisk);
    EXPECT_THAT(rig.view.MessageTexts(), ElementsAre("No HTFS/EAFS Partition Found  !!"));
    EXPECT_TRUE(rig.view.Shown(PaneSection::kSectorRange));  // option 2 shows its range again
  }
}

TEST(WizardVolumeStep, ChoosingAVolumeFillsItsRows) {
  Rig rig(RecordDisk());
  ToVolumeStep(rig);
  rig.controller.TreeClicked(TreeKind::kVolume, rig.controller.RootItem(TreeKind::kVolume));
  EXPECT_FALSE(rig.view.Shown(WizardButton::kNext));
  rig.ChooseVolume(1);
  const VolumeInfo& eafs = rig.session.volumes.entries[1];
  EXPECT_EQ(rig.session.volumes.currentVolume, 1);
  EXPECT_EQ(rig.view.PanelValue("Volume Type  "), "EAFS");
  EXPECT_EQ(rig.view.PanelValue("Volume Name    "), "EAFS Partition - 2");
  EXPECT_EQ(rig.view.PanelValue("Volume Start      "), std::to_string(eafs.startSector));
  EXPECT_EQ(rig.view.PanelValue("Volume Size     "),
            std::to_string(eafs.sizeSectors / 2048) + " MB ( Approx )");
  EXPECT_TRUE(rig.view.Shown(WizardButton::kNext));
  rig.ChooseVolume(0);
  EXPECT_EQ(rig.view.PanelValue("Volume Type  "), "HTFS");
}

TEST(WizardVolumeStep, CancelledModeDialogKeepsTheStep) {
  Rig rig(RecordDisk());
  ToVolumeStep(rig);
  rig.ChooseVolume(0);
  rig.view.QueueMode(std::nullopt);
  rig.controller.Next();
  EXPECT_EQ(rig.Step(), WizardStep::kVolume);
  EXPECT_EQ(rig.workers.started, 2);  // the drive's opening and the search
  EXPECT_FALSE(rig.view.Shown(WizardButton::kNext));
  EXPECT_TRUE(rig.view.TreeOf(TreeKind::kVolume).shown);
  rig.ChooseVolume(0);
  EXPECT_TRUE(rig.view.Shown(WizardButton::kNext));
}

TEST(WizardTransitions, MountReachesTheFilesStep) {
  WizardRig<QueueDispatcher, HeldWorkers> rig(RecordDisk());
  rig.ChooseDrive(0);
  rig.controller.Next();
  for (int worker = 0; worker < 2; ++worker) {  // the drive's opening, then the search
    rig.workers.RunAll();
    rig.dispatcher.DrainAll();
  }
  rig.ChooseVolume(0);
  rig.view.QueueMode(RecoveryMode::kNormal);
  rig.controller.Next();

  // Mounting: the file tree shown but disabled, the volume tree hidden.
  EXPECT_TRUE(rig.controller.WorkerRunning());
  EXPECT_EQ(rig.view.TreeOf(TreeKind::kFile).nodes[0].text, "HTFS Partition - 1");
  EXPECT_TRUE(rig.view.TreeOf(TreeKind::kFile).shown);
  EXPECT_FALSE(rig.view.TreeOf(TreeKind::kFile).enabled);
  EXPECT_FALSE(rig.view.TreeOf(TreeKind::kVolume).shown);
  rig.workers.RunAll();
  EXPECT_EQ(rig.Step(), WizardStep::kVolume);  // the worker's updates are still on their way
  rig.dispatcher.DrainAll();

  EXPECT_EQ(rig.Step(), WizardStep::kFiles);
  EXPECT_FALSE(rig.controller.WorkerRunning());
  EXPECT_FALSE(rig.session.state.Busy());
  const auto& files = rig.view.TreeOf(TreeKind::kFile);
  EXPECT_TRUE(files.enabled);
  EXPECT_THAT(files.ChildTexts(files.root), ElementsAre("docs", "src"));
  EXPECT_THAT(files.ChildTexts(rig.FolderItem("src")), ElementsAre("lib"));
  EXPECT_TRUE(files.nodes[0].expanded);
  EXPECT_THAT(rig.view.ColumnTitles(),
              ElementsAre("Name", "Type", "Size", "Date", "Time", "Sector"));
  EXPECT_TRUE(rig.view.columns[2].rightAligned);
  EXPECT_THAT(rig.view.RowNames(), ElementsAre("docs", "src", "readme.txt", "notes.TXT"));
  EXPECT_TRUE(rig.view.listShown);
  EXPECT_TRUE(rig.view.PanelLabels().empty());
  EXPECT_TRUE(rig.view.Shown(WizardButton::kBack));
  EXPECT_FALSE(rig.view.Shown(WizardButton::kStop));
  EXPECT_FALSE(rig.view.Shown(PaneSection::kProgress));
  ExpectMenus(rig.view, true, true);
  EXPECT_EQ(rig.view.quickHelp, kBrowseHelp);
  EXPECT_EQ(rig.view.CallCount("Status(Creating Tree Structure, Please wait)"), 2u);
  EXPECT_EQ(rig.view.status, "");  // the cleared panel empties the status line
  EXPECT_FALSE(rig.view.Shown(PaneSection::kStatusLine));
  EXPECT_GE(rig.view.CallCount("Value(Folder(s) Found    =3)"), 1u);
}

TEST(WizardFilesStep, RowsKeysFoldersAndFilters) {
  Rig rig(RecordDisk());
  ToFilesStep(rig);
  const ListRow& docs = rig.view.rows[0];
  EXPECT_EQ(docs.type, "Folder");
  EXPECT_EQ(docs.size, "0");
  EXPECT_TRUE(docs.isFolder);
  EXPECT_EQ(docs.sector, std::to_string(rig.FolderItem("docs")));
  EXPECT_EQ(docs.date, "07-Dec-2006");
  const ListRow& readme = rig.view.rows[2];
  EXPECT_EQ(readme.type, "TXT File");
  EXPECT_EQ(readme.size, "5");
  EXPECT_FALSE(readme.isFolder);
  EXPECT_NE(readme.sector, rig.view.rows[3].sector);

  // A click on a folder lists it and expands its ancestors.
  rig.controller.TreeClicked(TreeKind::kFile, rig.FolderItem("lib"));
  EXPECT_THAT(rig.view.RowNames(), ElementsAre("x.h"));
  EXPECT_EQ(rig.view.TreeOf(TreeKind::kFile).selected, rig.FolderItem("lib"));
  EXPECT_TRUE(rig.view.TreeOf(TreeKind::kFile).Find(rig.FolderItem("src"))->expanded);
  EXPECT_EQ(rig.session.state.treeHasFocus, 1);

  // Filters compare in upper case and never hide folders.
  const std::vector<std::string> patterns = {"*.txt"};
  rig.session.filters.Store(patterns);
  rig.controller.OpenFolder(rig.controller.RootItem(TreeKind::kFile));
  EXPECT_THAT(rig.view.RowNames(), ElementsAre("docs", "src", "readme.txt", "notes.TXT"));
  const std::vector<std::string> readmeOnly = {"READ*"};
  rig.session.filters.Store(readmeOnly);
  rig.controller.OpenFolder(rig.controller.RootItem(TreeKind::kFile));
  EXPECT_THAT(rig.view.RowNames(), ElementsAre("docs", "src", "readme.txt"));
  rig.session.filters.Reset();

  rig.controller.TreeClicked(TreeKind::kFile, rig.FolderItem("docs"));
  EXPECT_THAT(rig.view.RowNames(), ElementsAre("a.txt", "b.txt"));
}

TEST(WizardCommands, FiltersAndSettingsFollowTheMenuState) {
  Rig rig(RecordDisk());
  RecoverySettings chosen;
  chosen.sectorsPerRead = 7;
  rig.view.settingsAnswer = chosen;
  rig.controller.Settings();  // enabled at the disk step
  EXPECT_EQ(rig.session.settings.sectorsPerRead, 7u);

  rig.view.filtersAnswer = std::vector<std::string>{"*.C"};
  ToVolumeStep(rig);
  rig.controller.FileFilters();  // greyed before the files step
  EXPECT_EQ(rig.view.filtersAsked, 0);
  EXPECT_EQ(rig.session.filters.Count(), 0);

  rig.ChooseVolume(0);
  rig.view.QueueMode(RecoveryMode::kNormal);
  rig.controller.Next();
  rig.dispatcher.DrainAll();
  rig.controller.TreeClicked(TreeKind::kFile, rig.FolderItem("src"));
  rig.controller.FileFilters();
  EXPECT_EQ(rig.view.filtersAsked, 1);
  // The root is listed again, with the filter.
  EXPECT_EQ(rig.view.TreeOf(TreeKind::kFile).selected, rig.controller.RootItem(TreeKind::kFile));
  EXPECT_THAT(rig.view.RowNames(), ElementsAre("docs", "src"));
  rig.controller.TreeClicked(TreeKind::kFile, rig.FolderItem("src"));
  EXPECT_THAT(rig.view.RowNames(), ElementsAre("lib", "main.c"));

  // Next empties the filters: a new mount lists every file.
  rig.controller.Back();
  rig.ChooseVolume(0);
  rig.view.QueueMode(RecoveryMode::kNormal);
  rig.controller.Next();
  rig.dispatcher.DrainAll();
  EXPECT_EQ(rig.session.filters.Count(), 0);
  EXPECT_THAT(rig.view.RowNames(), ElementsAre("docs", "src", "readme.txt", "notes.TXT"));
}

TEST(WizardFilesStep, MountCountsShowEveryFolderAndEveryTenthFile) {
  ik::VolumeDescription volume;
  std::vector<ik::Node> nodes = {ik::Node::Folder("one"), ik::Node::Folder("two")};
  for (int i = 0; i < 25; ++i) nodes.push_back(ik::Node::File(fmt::format("f{:02}", i), "x"));
  volume.root = ik::Node::Folder("", std::move(nodes));
  ik::DiskDescription description;
  description.volumes = {volume};
  Rig rig({AsDrive(BuildDisk(description).bytes)});
  ToFilesStep(rig);
  EXPECT_EQ(rig.view.CallCount("Value(Folder(s) Found    =1)"), 1u);
  EXPECT_EQ(rig.view.CallCount("Value(Folder(s) Found    =2)"), 1u);
  EXPECT_EQ(rig.view.CallCount("Value(File(s) Found      ="), 2u);
  EXPECT_EQ(rig.view.CallCount("Value(File(s) Found      =20)"), 1u);
  EXPECT_EQ(rig.view.CallCount("Value(Last File/Folder       =f"), 0u);  // only every 100th
  EXPECT_EQ(rig.view.rows.size(), 27u);
}

// The calls of the mount worker whose text starts with `prefix`, in order,
// from the moment the volume step's Next was pressed.
std::vector<std::string> MountCalls(const RecordingView& view, std::size_t from,
                                    std::string_view prefix) {
  std::vector<std::string> found;
  for (std::size_t i = from; i < view.calls.size(); ++i) {
    if (view.calls[i].starts_with(prefix)) found.push_back(view.calls[i]);
  }
  return found;
}

TEST(WizardFilesStep, MountStatusesAndPanelsFollowThePhases) {
  for (const RecoveryMode mode : {RecoveryMode::kNormal, RecoveryMode::kExtensive}) {
    Rig rig(RecordDisk());
    ToVolumeStep(rig);
    rig.ChooseVolume(0);
    const std::size_t from = rig.view.calls.size();
    rig.view.QueueMode(mode);
    rig.controller.Next();
    rig.dispatcher.DrainAll();
    ASSERT_EQ(rig.Step(), WizardStep::kFiles);
    // The files-ready layout sets the tree text, and the tree build sets it
    // again with the progress.
    const auto statuses = MountCalls(rig.view, from, "Status(");
    const std::string tree = fmt::format("Status({})", kTreeStatus);
    if (mode == RecoveryMode::kNormal) {
      EXPECT_THAT(statuses, ElementsAre(fmt::format("Status({})", kMountingStatus), tree, tree));
    } else {
      EXPECT_THAT(statuses, ElementsAre(fmt::format("Status({})", kMountingStatus),
                                        fmt::format("Status({})", kFinalizingStatus),
                                        fmt::format("Status({})", kLostDataStatus), tree, tree));
    }
    EXPECT_THAT(MountCalls(rig.view, from, "Panel("),
                ElementsAre("Panel(Mounting)", "Panel(Cleared)"));
    EXPECT_EQ(rig.view.quickHelp, kBrowseHelp);
  }
}

TEST(WizardFilesStep, ExtensiveMountShowsLostDirWithErrorDates) {
  Rig rig(RecordDisk());
  ToFilesStep(rig, 0, RecoveryMode::kExtensive);
  EXPECT_EQ(rig.view.CallCount("Status(Please wait, finalizing recovery)"), 1u);
  EXPECT_EQ(rig.view.CallCount("Status(Searching Lost Data ...)"), 1u);
  const auto& files = rig.view.TreeOf(TreeKind::kFile);
  const auto children = files.ChildTexts(files.root);
  ASSERT_FALSE(children.empty());
  EXPECT_EQ(children.back(), "LostDir");
  const auto lost = std::find_if(rig.view.rows.begin(), rig.view.rows.end(),
                                 [](const ListRow& row) { return row.name == "LostDir"; });
  ASSERT_NE(lost, rig.view.rows.end());
  EXPECT_EQ(lost->date, "Error");
  EXPECT_EQ(lost->time, "Error");
}

TEST(WizardBack, FromTheVolumeStepToTheDiskStep) {
  Rig rig(RecordDisk());
  ToVolumeStep(rig);
  rig.ChooseVolume(0);
  rig.controller.Back();
  EXPECT_EQ(rig.Step(), WizardStep::kDisk);
  EXPECT_FALSE(rig.session.drives.IsOpen());
  EXPECT_EQ(rig.session.volumes.volumeCount, 2u);
  EXPECT_TRUE(rig.view.TreeOf(TreeKind::kDisk).shown);
  EXPECT_FALSE(rig.view.TreeOf(TreeKind::kVolume).shown);
  EXPECT_FALSE(rig.view.Shown(WizardButton::kBack));
  EXPECT_FALSE(rig.view.Shown(WizardButton::kNext));
  EXPECT_FALSE(rig.view.listShown);
  EXPECT_EQ(rig.view.quickHelp, kDiskBackHelp);
  ExpectMenus(rig.view, false, true);  // menu state 4: only Settings and the fixed ones
  EXPECT_EQ(rig.view.PanelLabels().size(), 5u);

  // A second search makes a fresh volume tree.
  rig.ChooseDrive(0);
  rig.controller.Next();
  rig.dispatcher.DrainAll();
  EXPECT_EQ(rig.view.TreeOf(TreeKind::kVolume).created, 2);
  EXPECT_EQ(rig.Step(), WizardStep::kVolume);
}

TEST(WizardBack, FromTheFilesStepKeepsTheVolumeTree) {
  Rig rig(RecordDisk());
  ToFilesStep(rig);
  const auto volumeTreeBefore = rig.view.TreeOf(TreeKind::kVolume);
  rig.controller.Back();
  EXPECT_EQ(rig.Step(), WizardStep::kVolume);
  const auto& volumes = rig.view.TreeOf(TreeKind::kVolume);
  EXPECT_EQ(volumes.created, volumeTreeBefore.created);
  EXPECT_EQ(volumes.ChildTexts(volumes.root), volumeTreeBefore.ChildTexts(volumeTreeBefore.root));
  EXPECT_TRUE(volumes.shown);
  EXPECT_TRUE(volumes.enabled);
  EXPECT_FALSE(rig.view.TreeOf(TreeKind::kFile).shown);
  ASSERT_EQ(rig.view.columns.size(), 1u);
  EXPECT_EQ(rig.view.columns[0].title, std::string(44, ' ') + "Details");
  EXPECT_EQ(rig.view.columns[0].widthPixels, 500);
  EXPECT_TRUE(rig.view.rows.empty());
  EXPECT_EQ(rig.session.fileTree.FolderCount(), 0u);
  EXPECT_EQ(rig.session.fileTree.FileCount(), 0u);
  EXPECT_THAT(rig.view.PanelLabels(), ElementsAre("Volume Type  ", "Volume Name    ",
                                                  "Volume Start      ", "Volume Size     "));
  EXPECT_EQ(rig.view.quickHelp,
            Help({"1. Select the volume to recover from left pane or use Search Partitions for "
                  "a quick search of missing partitions.",
                  "2. Click Next Button"}));
  EXPECT_FALSE(rig.view.Shown(PaneSection::kStatusLine));
  EXPECT_EQ(rig.view.status, "");
  ExpectMenus(rig.view, false, true);

  // Mounting the other volume shows nothing of the first.
  rig.ChooseVolume(1);
  rig.view.QueueMode(RecoveryMode::kNormal);
  rig.controller.Next();
  rig.dispatcher.DrainAll();
  EXPECT_EQ(rig.Step(), WizardStep::kFiles);
  const auto& files = rig.view.TreeOf(TreeKind::kFile);
  EXPECT_EQ(files.nodes[0].text, "EAFS Partition - 2");
  EXPECT_THAT(files.ChildTexts(files.root), ElementsAre("other"));
  EXPECT_THAT(rig.view.RowNames(), ElementsAre("other"));
}

TEST(WizardExitAndClose, AnsweredNoChangesNothing) {
  Rig rig(RecordDisk());
  rig.controller.Exit();
  EXPECT_EQ(rig.controller.CloseRequested(), CloseDecision::kKeepOpen);
  EXPECT_THAT(rig.view.questions,
              ElementsAre("Do you really want to exit ?", "Do you really want to exit ?"));
  EXPECT_EQ(rig.view.endedProcess, 0);
  EXPECT_TRUE(rig.view.opened.empty());
}

TEST(WizardExitAndClose, ExitYesOpensTheHomePageAndEnds) {
  Rig rig(RecordDisk());
  rig.view.QueueAnswer(Answer::kYes);
  rig.controller.Exit();
  EXPECT_EQ(rig.view.endedProcess, 1);
  EXPECT_THAT(rig.view.calls.back(), "EndProcess");
  ASSERT_EQ(rig.view.opened.size(), 1u);
  EXPECT_EQ(rig.view.calls[rig.view.calls.size() - 2], "Open(" + rig.view.opened[0] + ",true)");
}

TEST(WizardExitAndClose, CloseWithoutWorkerFreesTheTree) {
  Rig rig(RecordDisk());
  ToFilesStep(rig);
  ASSERT_GT(rig.session.fileTree.FolderCount(), 0u);
  rig.view.QueueAnswer(Answer::kYes);
  EXPECT_EQ(rig.controller.CloseRequested(), CloseDecision::kClose);
  EXPECT_EQ(rig.session.fileTree.FolderCount(), 0u);
  EXPECT_EQ(rig.view.opened.size(), 1u);
  EXPECT_EQ(rig.view.closedWindow, 0);  // the window closes itself on kClose
}

}  // namespace
}  // namespace tolvar::testing
