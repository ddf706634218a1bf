#pragma once

// The wizard's own words: messages, quick-help lines, status lines and panel
// labels, exactly as the window shows them (blanks and spelling included).

#include <string_view>

namespace tolvar::texts {

// Messages.
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
inline constexpr std::string_view kStopQuestion = "Do you want to stop the current process ?";
inline constexpr std::string_view kExitQuestion = "Do you really want to exit ?";
inline constexpr std::string_view kOutOfMemoryMessage =
    "Out of memory, close other applications and run again";

// Quick-help lines of each step (the panel joins them, see QuickHelpText).
inline constexpr std::string_view kStartHelp[] = {
    "1. Select the disk to recover from left pane.",
    "2. Select the Volume Identify Option.",
    "3. Click Next Button.",
};
inline constexpr std::string_view kBackToDiskHelp[] = {
    "1. Select the disk to scan from left pane.",
    "2. Select the scan type.",
    "3. Click Next Button.",
};
inline constexpr std::string_view kSearchingHelp[] = {
    "Please Wait, Tolvar is searching for partitions. Once this process is completed, it will "
    "show you all the Partitions.",
};
inline constexpr std::string_view kVolumesReadyHelp[] = {
    "1. Select the Partition to recover from left pane.",
    "2. Click Next Button.",
};
inline constexpr std::string_view kBackToVolumesHelp[] = {
    "1. Select the volume to recover from left pane or use Search Partitions for a quick search "
    "of missing partitions.",
    "2. Click Next Button",
};
inline constexpr std::string_view kMountingHelp[] = {
    "Please Wait, Tolvar is mounting the selected file system. Once this process is completed, "
    "it will show you the                       data.",
};
inline constexpr std::string_view kBrowseHelp[] = {
    "Please select the file(s) and folder(s) to recover from right pane and copy using   Recover "
    "Selected      or                             Recover All options from the Recovery Menu.",
    "You can open a file by Double Clicking it.",
};

// Status lines.
inline constexpr std::string_view kMountingStatus = "Mounting volume, please wait...";
inline constexpr std::string_view kTreeStatus = "Creating Tree Structure, Please wait";
inline constexpr std::string_view kFinalizingStatus = "Please wait, finalizing recovery";
inline constexpr std::string_view kLostDataStatus = "Searching Lost Data ...";

// Trees.
inline constexpr std::string_view kDiskTreeRoot = "My Computer";
inline constexpr std::string_view kDriveItemPrefix = "Storage Device";
inline constexpr std::string_view kVolumeTreeRoot = "Partitions";
inline constexpr std::string_view kUnnamedVolumeRoot = "Root";

// Panel labels that values are written to.
inline constexpr std::string_view kPartitionsFoundLabel = "Partition(s) Found  ";
inline constexpr std::string_view kCurrentSectorLabel = "Current Sector";
inline constexpr std::string_view kFoldersFoundLabel = "Folder(s) Found    ";
inline constexpr std::string_view kFilesFoundLabel = "File(s) Found      ";
inline constexpr std::string_view kMountCurrentSectorLabel = "Current Sector       ";
inline constexpr std::string_view kLastEntryLabel = "Last File/Folder       ";
inline constexpr std::string_view kModelLabel = "Model                  ";
inline constexpr std::string_view kCapacityLabel = "Capacity              ";
inline constexpr std::string_view kCylindersLabel = "Cylinders              ";
inline constexpr std::string_view kHeadLabel = "Head                   ";
inline constexpr std::string_view kSectorsPerTrackLabel = "Sectors Per Track ";
inline constexpr std::string_view kVolumeTypeLabel = "Volume Type  ";
inline constexpr std::string_view kVolumeNameLabel = "Volume Name    ";
inline constexpr std::string_view kVolumeStartLabel = "Volume Start      ";
inline constexpr std::string_view kVolumeSizeLabel = "Volume Size     ";

// The type text of a folder row.
inline constexpr std::string_view kFolderType = "Folder";

// The list's single column outside the browse step: "Details" after 44 blanks.
inline constexpr std::string_view kDetailsColumn =
    "                                            Details";

}  // namespace tolvar::texts
