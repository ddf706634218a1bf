#include "recovery/report.hpp"

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "recovery/host_names.hpp"

namespace tolvar {

std::string_view StatusName(EntryStatus status) {
  switch (status) {
    case EntryStatus::kComplete:
      return "complete";
    case EntryStatus::kDamaged:
      return "damaged";
    case EntryStatus::kSkipped:
      return "skipped";
    case EntryStatus::kStopped:
      return "stopped";
  }
  return "";
}

std::string_view EntryTypeName(EntryType type) {
  switch (type) {
    case EntryType::kFile:
      return "file";
    case EntryType::kFolder:
      return "folder";
    case EntryType::kSymlink:
      return "symlink";
    case EntryType::kCharDevice:
      return "character device";
    case EntryType::kBlockDevice:
      return "block device";
    case EntryType::kPipe:
      return "pipe";
    case EntryType::kSocket:
      return "socket";
  }
  return "";
}

bool AllWhole(const RunSummary& summary) {
  return summary.damagedFiles == 0 && summary.damagedFolders == 0 &&
         summary.unreadableSectors == 0 && summary.skippedByError == 0 && !summary.stoppedByUser &&
         summary.stopMessage.empty() && summary.notReached == 0;
}

std::string SummaryLine(const RunSummary& summary) {
  std::string line = fmt::format(
      "{} files, {} folders, {} bytes, {} damaged files, {} unreadable sectors", summary.files,
      summary.folders, summary.bytes, summary.damagedFiles, summary.unreadableSectors);
  if (summary.damagedFolders != 0)
    line += fmt::format(", {} damaged folders", summary.damagedFolders);
  return line;
}

std::string SectorRunsText(const std::vector<SectorRun>& runs) {
  std::string text;
  for (const SectorRun& run : runs) {
    if (!text.empty()) text += ", ";
    text += run.count == 1 ? fmt::format("{}", run.first)
                           : fmt::format("{}-{}", run.first, run.first + run.count - 1);
  }
  return text;
}

std::string ReportJson(const RecoveryReport& report) {
  using nlohmann::json;
  json entries = json::array();
  for (const ReportEntry& entry : report.entries) {
    json raw = json::array();
    for (const std::string& name : entry.rawPath) raw.push_back(HexBytes(name));
    json unreadable = json::array();
    for (const SectorRun& run : entry.unreadable) {
      unreadable.push_back({{"first", run.first}, {"count", run.count}});
    }
    json item = {{"path", entry.path},
                 {"rawPathHex", raw},
                 {"type", EntryTypeName(entry.type)},
                 {"status", StatusName(entry.status)},
                 {"inode", entry.inode},
                 {"size", entry.size},
                 {"bytesWritten", entry.bytesWritten},
                 {"unreadableSectors", unreadable}};
    if (entry.blocksOutsideVolume != 0) item["blocksOutsideVolume"] = entry.blocksOutsideVolume;
    if (entry.byError) item["byError"] = true;
    if (entry.timeUnreadable) item["timeUnreadable"] = true;
    if (!entry.note.empty()) item["note"] = entry.note;
    entries.push_back(std::move(item));
  }
  const RunSummary& s = report.summary;
  json summary = {{"files", s.files},
                  {"folders", s.folders},
                  {"bytes", s.bytes},
                  {"damagedFiles", s.damagedFiles},
                  {"damagedFolders", s.damagedFolders},
                  {"unreadableSectors", s.unreadableSectors},
                  {"skipped", s.skipped},
                  {"skippedByError", s.skippedByError},
                  {"notReached", s.notReached},
                  {"stoppedByUser", s.stoppedByUser},
                  {"allWhole", AllWhole(s)}};
  if (!s.stopMessage.empty()) summary["stopMessage"] = s.stopMessage;
  json document = {{"source", report.source},
                   {"volume", report.volume},
                   {"volumeWarnings", report.volumeWarnings},
                   {"destination", report.destination},
                   {"summary", summary},
                   {"leftoversRemoved", report.leftoversRemoved},
                   {"entries", entries}};
  // Host paths are escaped and always valid UTF-8; the replace handler only
  // guards the source and destination texts the user typed.
  return document.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string ReportText(const RecoveryReport& report) {
  std::string text = "Recovery report\n";
  text += fmt::format("Source:      {}\n", report.source);
  text += fmt::format("Volume:      {}\n", report.volume);
  for (const std::string& warning : report.volumeWarnings) {
    text += fmt::format("Warning:     {}\n", warning);
  }
  text += fmt::format("Destination: {}\n\n", report.destination);
  text += fmt::format("{:<9} {:>12}  {}\n", "Status", "Bytes", "Path");
  for (const ReportEntry& entry : report.entries) {
    if (entry.type == EntryType::kFolder && entry.status == EntryStatus::kComplete) continue;
    std::string line =
        fmt::format("{:<9} {:>12}  {}", StatusName(entry.status), entry.bytesWritten, entry.path);
    if (entry.type != EntryType::kFile) line += fmt::format(" ({})", EntryTypeName(entry.type));
    if (!entry.unreadable.empty()) {
      line += fmt::format("  unreadable sectors {}", SectorRunsText(entry.unreadable));
    }
    if (entry.blocksOutsideVolume != 0) {
      line += fmt::format("  {} blocks outside the volume", entry.blocksOutsideVolume);
    }
    if (entry.timeUnreadable) line += "  time stamp unreadable";
    if (!entry.note.empty()) line += fmt::format("  [{}]", entry.note);
    text += line + "\n";
  }
  const RunSummary& s = report.summary;
  text += "\n";
  if (s.stoppedByUser) text += "The run was stopped before it ended.\n";
  if (!s.stopMessage.empty()) text += fmt::format("The run ended early: {}\n", s.stopMessage);
  if (s.notReached != 0) text += fmt::format("{} entries were not reached.\n", s.notReached);
  if (s.skipped != 0) text += fmt::format("{} entries were skipped.\n", s.skipped);
  for (const std::string& leftover : report.leftoversRemoved) {
    text +=
        fmt::format("Removed {}: an earlier run was interrupted while it wrote it.\n", leftover);
  }
  text += fmt::format("Summary: {}\n", SummaryLine(s));
  return text;
}

}  // namespace tolvar
