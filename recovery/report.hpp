#pragma once

// What a saving run did, per entry and in sum, written beside the recovered
// data as JSON and as readable text.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fs/file_data.hpp"

namespace tolvar {

inline constexpr std::string_view kReportJsonName = "tolvar-report.json";
inline constexpr std::string_view kReportTextName = "tolvar-report.txt";

enum class EntryStatus { kComplete, kDamaged, kSkipped, kStopped };
enum class EntryType { kFile, kFolder, kSymlink, kCharDevice, kBlockDevice, kPipe, kSocket };

[[nodiscard]] std::string_view StatusName(EntryStatus status);
[[nodiscard]] std::string_view EntryTypeName(EntryType type);

struct ReportEntry {
  std::string path;                  // on the host, relative to the destination, "/" between names
  std::vector<std::string> rawPath;  // the names as the disk holds them, raw bytes
  EntryType type = EntryType::kFile;
  EntryStatus status = EntryStatus::kComplete;
  std::uint32_t inode = 0;
  std::uint64_t size = 0;          // from the disk
  std::uint64_t bytesWritten = 0;  // what reached the host
  std::vector<SectorRun> unreadable;
  std::uint64_t blocksOutsideVolume = 0;
  bool byError = false;  // skipped because something failed, not by choice
  // Its time stamp reads "Error" (0 or before 1970): the host copy keeps the
  // time it was written at.
  bool timeUnreadable = false;
  std::string note;  // why it was skipped, what became of it
};

struct RunSummary {
  std::uint64_t files = 0;    // files, links and nodes written whole or damaged
  std::uint64_t folders = 0;  // folders created or merged
  std::uint64_t bytes = 0;
  std::uint64_t damagedFiles = 0;
  // Folders a block (or the inode) of which could not be read: their
  // contents are not known whole.
  std::uint64_t damagedFolders = 0;
  std::uint64_t unreadableSectors = 0;
  std::uint64_t skipped = 0;
  std::uint64_t skippedByError = 0;
  std::uint64_t notReached = 0;  // left out because the run stopped
  bool stoppedByUser = false;
  std::string stopMessage;  // set when a host failure ended the run
};

struct RecoveryReport {
  std::string source;  // the image or device
  std::string volume;  // the volume's name
  // What discovery had to assume about the volume (its superblock's words
  // being implausible), one line each.
  std::vector<std::string> volumeWarnings;
  std::string destination;  // as given
  std::vector<ReportEntry> entries;
  RunSummary summary;
  // Files an earlier, interrupted run left half written in the destination,
  // removed by this one (host paths).
  std::vector<std::string> leftoversRemoved;
};

// Whether everything selected reached the host whole.
[[nodiscard]] bool AllWhole(const RunSummary& summary);

// "12 files, 3 folders, 40960 bytes, 1 damaged files, 4 unreadable sectors",
// with ", 2 damaged folders" after it when there are any.
[[nodiscard]] std::string SummaryLine(const RunSummary& summary);

[[nodiscard]] std::string ReportJson(const RecoveryReport& report);
[[nodiscard]] std::string ReportText(const RecoveryReport& report);

// "100-103, 200" for sector runs.
[[nodiscard]] std::string SectorRunsText(const std::vector<SectorRun>& runs);

}  // namespace tolvar
