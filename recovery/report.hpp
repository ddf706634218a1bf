#pragma once

// What a saving run did, per entry and in sum, written beside the recovered
// data as JSON and as readable text.

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/settings.hpp"
#include "fs/file_data.hpp"
#include "fs/format.hpp"
#include "recovery/report_entries.hpp"
#include "recovery/report_entry.hpp"

namespace tolvar {

inline constexpr std::string_view kReportJsonName = "tolvar-report.json";
inline constexpr std::string_view kReportTextName = "tolvar-report.txt";

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

// What the run read from.
struct ReportSource {
  std::string path;  // the image or device
  std::uint64_t sizeBytes = 0;
  std::string model;
  std::string mapfile;            // the rescue map read with it, if any
  std::string volumeType;         // "HTFS", "EAFS"
  std::uint64_t volumeStart = 0;  // sector
  std::uint64_t volumeSectors = 0;
  std::string sha256;         // of the whole source, when asked for
  std::string sha256Problem;  // why it was asked for and is missing
};

// The settings the run used.
struct ReportSettings {
  std::string mode = "normal";  // "normal" or "extensive"
  std::uint32_t sectorsPerRead = 0;
  std::uint16_t retries = 0;
  std::string duplicates;  // "rename", "overwrite", "skip"
  bool syncEachFile = false;
  bool hashSource = false;
  bool fileDigests = true;
};

struct RecoveryReport {
  std::string toolName = "tolvar";
  std::string toolVersion;
  std::string commandLine;  // as the user gave it; empty from the window
  std::string started;      // ISO 8601, UTC
  std::string finished;
  ReportSource source;
  ReportSettings settings;
  std::string volume;  // the volume's name
  // What discovery had to assume about the volume (its superblock's words
  // being implausible), one line each.
  std::vector<std::string> volumeWarnings;
  std::string destination;  // as given
  ReportEntries entries;
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
// The same text handed to `sink` piece by piece, an entry at a time, so
// that a report of many entries is never held whole.
void WriteReportJson(const RecoveryReport& report,
                     const std::function<void(std::string_view)>& sink);
[[nodiscard]] std::string ReportText(const RecoveryReport& report);
// The text report handed to `sink` a line at a time, like WriteReportJson.
void WriteReportText(const RecoveryReport& report,
                     const std::function<void(std::string_view)>& sink);

// "2026-12-10T04:50:16Z"
[[nodiscard]] std::string IsoUtc(std::time_t when);
// "drwxr-xr-x" for a mode word: the type letter and the permissions with
// set-id and sticky bits.
[[nodiscard]] std::string ModeText(std::uint16_t mode);
[[nodiscard]] std::string_view DuplicatePolicyName(DuplicatePolicy policy);

// "100-103, 200" for sector runs.
[[nodiscard]] std::string SectorRunsText(const std::vector<SectorRun>& runs);

}  // namespace tolvar
