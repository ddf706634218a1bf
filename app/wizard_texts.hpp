#pragma once

// Every text the wizard shows (messages, status lines, panel labels and
// layouts, quick help, dialog captions), kept out of the engine: the engine
// reports numbers and events, and the wizard turns them into these texts.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tolvar {

inline constexpr std::string_view kCaption = "Tolvar for SCO OpenServer";

enum class MessageKind : std::uint16_t { kInformation = 1, kError = 2, kQuestion = 3 };
enum class Answer { kYes, kNo };

// The information panel's layouts.
enum class PanelMode {
  kCleared,         // no rows: the files step
  kDrive,           // the chosen drive's figures
  kRangeSearch,     // a search of a sector range, with its end
  kRecordSearch,    // the volumes of the partition record
  kMounting,        // folders and files found while mounting
  kVolume,          // the chosen volume's figures
  kVolumeOnReturn,  // the same, back from the files step, with its quick help
};
[[nodiscard]] std::string_view PanelModeName(PanelMode mode);

// The information panel's layout for one mode: labels (with their trailing
// blanks) and start values, and the status line the mode shows.
struct PanelRow {
  std::string label;
  std::string value;
};
struct PanelLayout {
  PanelMode mode = PanelMode::kCleared;
  bool clearsFirst = true;
  std::vector<PanelRow> rows;  // at most five
  bool statusShown = false;
  std::string statusText;
  std::string quickHelp;  // empty: the mode leaves the quick help alone
};

// `rangeEnd` fills the range search's third row.
[[nodiscard]] PanelLayout DescribePanelMode(PanelMode mode, std::uint32_t rangeEnd = 0);

// Joins quick-help lines the way the panel shows them: each line preceded by
// CR LF and sixteen blanks.
[[nodiscard]] std::string QuickHelpText(const std::vector<std::string>& lines);

// "<sectors / 2048> MB ( Approx )"
[[nodiscard]] std::string MegabytesText(std::uint64_t sectors);

// The disk tree of the first step: a root item and one item per listed drive.
inline constexpr std::string_view kDiskTreeRootText = "My Computer";
inline constexpr std::string_view kDriveItemPrefix = "Storage Device";

// Discovery messages.
inline constexpr std::string_view kNoRecordMessage =
    "No HTFS/EAFS Partition Found  !! \r\nSelect Search Partition and then Click Next.";
inline constexpr std::string_view kNothingFromRecordMessage =
    "No HTFS/EAFS Partition Found  !! \r\nUser stopped the search process.";
inline constexpr std::string_view kNothingFromSearchMessage = "No HTFS/EAFS Partition Found  !!";
inline constexpr std::string_view kBadStartMessage =
    "      Start sector value is not valid, It should be a positive number";
inline constexpr std::string_view kBadEndMessage =
    "      End sector value is not valid, It should be a positive number";
inline constexpr std::string_view kEndNotAboveStartMessage =
    "      End sector should be bigger than start sector";

// Panel labels the discovery writes values to.
inline constexpr std::string_view kSearchFoundLabel = "Partition(s) Found  ";
inline constexpr std::string_view kSearchCurrentSectorLabel = "Current Sector";

// "Searching for partition - <n>  . This may take some time..."
[[nodiscard]] std::string SearchingForPartitionText(std::uint32_t volumeNumber);
// "Scanning sector <done> Of <total>"
[[nodiscard]] std::string ScanningSectorText(std::uint64_t done, std::uint64_t total);

// Mounting.
inline constexpr std::string_view kMountingHelp =
    "\r\n                Please Wait, Tolvar is mounting the selected file system. Once this "
    "process is completed, it will show you the                       data.";
inline constexpr std::string_view kBrowseHelp =
    "\r\n                Please select the file(s) and folder(s) to recover from right pane and "
    "copy using   Recover Selected      or                             Recover All options from "
    "the Recovery Menu.\r\n                You can open a file by Double Clicking it.";
inline constexpr std::string_view kMountingStatus = "Mounting volume, please wait...";
inline constexpr std::string_view kTreeStatus = "Creating Tree Structure, Please wait";
inline constexpr std::string_view kFinalizingStatus = "Please wait, finalizing recovery";
inline constexpr std::string_view kLostDataStatus = "Searching Lost Data ...";
inline constexpr std::string_view kOutOfMemoryMessage =
    "Out of memory, close other applications and run again";

// The information panel's labels while mounting (panel mode 2).
inline constexpr std::string_view kFoldersFoundLabel = "Folder(s) Found    ";
inline constexpr std::string_view kFilesFoundLabel = "File(s) Found      ";
inline constexpr std::string_view kCurrentSectorLabel = "Current Sector       ";
inline constexpr std::string_view kLastEntryLabel = "Last File/Folder       ";

// The saving dialog's texts.
inline constexpr std::string_view kSavingTitle = "Saving the data please wait";
inline constexpr std::string_view kPathLabel = "Path";
inline constexpr std::string_view kFileNameLabel = "File Name";
inline constexpr std::string_view kTotalFilesLabel = "Total Files";
inline constexpr std::string_view kStopSavingText = "&Stop Saving";
inline constexpr std::string_view kSkipFileText = "S&kip File";

// The restore dialog's texts.
inline constexpr std::string_view kRestoreQuestion =
    "This option is to be used after you have recovered your data and you want to restore the "
    "compressed files in the recovered data. \r\nThis may take long time depending on the number "
    "of files. \r\nAre you sure to continue ?";
inline constexpr std::string_view kRestoreTitle = "Restoring Compressed Files, Please wait.";
inline constexpr std::string_view kRestoreCommandText = "Restore &Compress Files";
inline constexpr std::string_view kFinishText = "Finish";

// The wizard controller's own texts.
inline constexpr std::string_view kStopQuestion = "Do you want to stop the current process ?";
inline constexpr std::string_view kExitQuestion = "Do you really want to exit ?";

// Quick-help lines of each step (joined as QuickHelpText joins them).
inline constexpr std::string_view kStartHelpLines[] = {
    "1. Select the disk to recover from left pane.",
    "2. Select the Volume Identify Option.",
    "3. Click Next Button.",
};
inline constexpr std::string_view kBackToDiskHelpLines[] = {
    "1. Select the disk to scan from left pane.",
    "2. Select the scan type.",
    "3. Click Next Button.",
};
inline constexpr std::string_view kSearchingHelpLines[] = {
    "Please Wait, Tolvar is searching for partitions. Once this process is completed, it will "
    "show you all the Partitions.",
};
inline constexpr std::string_view kVolumesReadyHelpLines[] = {
    "1. Select the Partition to recover from left pane.",
    "2. Click Next Button.",
};
inline constexpr std::string_view kBackToVolumesHelpLines[] = {
    "1. Select the volume to recover from left pane or use Search Partitions for a quick search "
    "of missing partitions.",
    "2. Click Next Button",
};

// Tree roots.
inline constexpr std::string_view kVolumeTreeRootText = "Partitions";
inline constexpr std::string_view kUnnamedVolumeRootText = "Root";

// Panel labels of the disk and volume steps.
inline constexpr std::string_view kModelLabel = "Model                  ";
inline constexpr std::string_view kCapacityLabel = "Capacity              ";
inline constexpr std::string_view kCylindersLabel = "Cylinders              ";
inline constexpr std::string_view kHeadLabel = "Head                   ";
inline constexpr std::string_view kSectorsPerTrackLabel = "Sectors Per Track ";
inline constexpr std::string_view kVolumeTypeLabel = "Volume Type  ";
inline constexpr std::string_view kVolumeNameLabel = "Volume Name    ";
inline constexpr std::string_view kVolumeStartLabel = "Volume Start      ";
inline constexpr std::string_view kVolumeSizeLabel = "Volume Size     ";

// The list's single column outside the files step: "Details" after 44 blanks.
inline constexpr std::string_view kDetailsColumn =
    "                                            Details";

}  // namespace tolvar
