#include "recovery/report.hpp"

#include <fmt/format.h>

#include <iterator>
#include <nlohmann/json.hpp>

#include "base/aligned_rows.hpp"
#include "base/utf8.hpp"
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

InodeFacts FactsOf(const Inode& inode) {
  auto seconds = [](std::uint32_t stamp) { return std::int64_t{static_cast<std::int32_t>(stamp)}; };
  return {inode.mode,
          inode.owner,
          inode.group,
          inode.links,
          seconds(inode.accessTime),
          seconds(inode.modificationTime),
          seconds(inode.changeTime)};
}

std::string IsoUtc(std::time_t when) {
  std::tm parts{};
  if (gmtime_r(&when, &parts) == nullptr) return fmt::format("@{}", static_cast<long long>(when));
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z", parts.tm_year + 1900, parts.tm_mon + 1,
                     parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
}

std::string ModeText(std::uint16_t mode) {
  char type = '-';
  switch (static_cast<ModeType>(ModeTypeBits(mode))) {
    case ModeType::kPipe:
      type = 'p';
      break;
    case ModeType::kCharDevice:
      type = 'c';
      break;
    case ModeType::kDirectory:
      type = 'd';
      break;
    case ModeType::kBlockDevice:
      type = 'b';
      break;
    case ModeType::kSymlink:
      type = 'l';
      break;
    case ModeType::kSocket:
      type = 's';
      break;
    case ModeType::kRegular:
      break;
    default:
      type = '?';
      break;
  }
  std::string text(1, type);
  const char* letters = "rwxrwxrwx";
  for (int bit = 0; bit < 9; ++bit) {
    text += (mode & (0400U >> bit)) != 0 ? letters[bit] : '-';
  }
  // Set-user-id, set-group-id and sticky show in the execute places.
  auto special = [&text](std::size_t at, bool set, char withExecute, char without) {
    if (set) text[at] = text[at] == '-' ? without : withExecute;
  };
  special(3, (mode & 04000U) != 0, 's', 'S');
  special(6, (mode & 02000U) != 0, 's', 'S');
  special(9, (mode & 01000U) != 0, 't', 'T');
  return text;
}

std::string_view DuplicatePolicyName(DuplicatePolicy policy) {
  switch (policy) {
    case DuplicatePolicy::kRename:
      return "rename";
    case DuplicatePolicy::kOverwrite:
      return "overwrite";
    case DuplicatePolicy::kSkip:
      return "skip";
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

namespace {

// A text as the JSON library dumps it (no ASCII escaping): written here
// for valid UTF-8, the common case; the library itself replaces what is not.
void AppendJsonString(std::string& out, std::string_view text) {
  if (!IsValidUtf8(text)) {
    out += nlohmann::json(std::string(text))
               .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return;
  }
  out += '"';
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          fmt::format_to(std::back_inserter(out), "\\u{:04x}", static_cast<unsigned>(c));
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

// One entry of the list as the library dumps it with an indent of two, four
// spaces in: the keys in the library's order (sorted), written straight
// rather than through a tree of values, which a run of a million files
// would pay for a million times.
void AppendEntryJson(std::string& out, const ReportEntry& entry) {
  bool first = true;
  auto key = [&](std::string_view name) {
    out += first ? "    {\n      \"" : ",\n      \"";
    first = false;
    out += name;
    out += "\": ";
  };
  auto number = [&](std::string_view name, auto value) {
    key(name);
    fmt::format_to(std::back_inserter(out), "{}", value);
  };
  auto text = [&](std::string_view name, std::string_view value) {
    key(name);
    AppendJsonString(out, value);
  };
  auto flag = [&](std::string_view name, bool set) {
    if (!set) return;
    key(name);
    out += "true";
  };
  // "[]" when empty, else an item a line, eight spaces in.
  auto list = [&](std::string_view name, std::size_t count, const auto& appendItem) {
    key(name);
    if (count == 0) {
      out += "[]";
      return;
    }
    for (std::size_t i = 0; i < count; ++i) {
      out += i == 0 ? "[\n        " : ",\n        ";
      appendItem(i);
    }
    out += "\n      ]";
  };
  const InodeFacts* facts = entry.facts ? &*entry.facts : nullptr;
  if (facts) number("atime", facts->atime);
  if (entry.blocksOutsideVolume != 0) number("blocksOutsideVolume", entry.blocksOutsideVolume);
  flag("byError", entry.byError);
  number("bytesWritten", entry.bytesWritten);
  if (facts) number("ctime", facts->ctime);
  if (facts) number("gid", facts->gid);
  number("inode", entry.inode);
  if (!entry.md5.empty()) text("md5", entry.md5);
  if (facts) number("mode", facts->mode);
  if (facts) number("mtime", facts->mtime);
  if (facts) number("nlink", facts->nlink);
  if (!entry.note.empty()) text("note", entry.note);
  text("path", entry.path);
  list("rawPathHex", entry.rawPath.size(),
       [&](std::size_t i) { AppendJsonString(out, HexBytes(entry.rawPath[i])); });
  if (!entry.sha256.empty()) text("sha256", entry.sha256);
  number("size", entry.size);
  text("status", StatusName(entry.status));
  flag("timeUnreadable", entry.timeUnreadable);
  text("type", EntryTypeName(entry.type));
  if (facts) number("uid", facts->uid);
  list("unreadableSectors", entry.unreadable.size(), [&](std::size_t i) {
    fmt::format_to(std::back_inserter(out),
                   "{{\n          \"count\": {},\n          \"first\": {}\n        }}",
                   entry.unreadable[i].count, entry.unreadable[i].first);
  });
  out += "\n    }";
}

}  // namespace

void WriteReportJson(const RecoveryReport& report,
                     const std::function<void(std::string_view)>& sink) {
  using nlohmann::json;
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
  const ReportSource& from = report.source;
  json source = {{"path", from.path},
                 {"size", from.sizeBytes},
                 {"model", from.model},
                 {"volumeType", from.volumeType},
                 {"volumeStart", from.volumeStart},
                 {"volumeSectors", from.volumeSectors}};
  if (!from.mapfile.empty()) source["mapfile"] = from.mapfile;
  if (!from.sha256.empty()) source["sha256"] = from.sha256;
  if (!from.sha256Problem.empty()) source["sha256Problem"] = from.sha256Problem;
  const ReportSettings& used = report.settings;
  json settings = {{"mode", used.mode},
                   {"sectorsPerRead", used.sectorsPerRead},
                   {"retries", used.retries},
                   {"duplicates", used.duplicates},
                   {"sync", used.syncEachFile},
                   {"hashSource", used.hashSource},
                   {"fileDigests", used.fileDigests}};
  json document = {{"tool", {{"name", report.toolName}, {"version", report.toolVersion}}},
                   {"commandLine", report.commandLine},
                   {"started", report.started},
                   {"finished", report.finished},
                   {"source", source},
                   {"settings", settings},
                   {"volume", report.volume},
                   {"volumeWarnings", report.volumeWarnings},
                   {"destination", report.destination},
                   {"summary", summary},
                   {"leftoversRemoved", report.leftoversRemoved},
                   {"entries", json::array()}};
  // Host paths are escaped and always valid UTF-8; the replace handler only
  // guards the source and destination texts the user typed.
  const std::string text = document.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
  // The entries are dumped one at a time into the place of the empty list,
  // so that a run of many files never holds them all as one tree of values
  // or one text. A newline only ever stands between values, never in a
  // string, so the place is found unambiguously.
  constexpr std::string_view kEmptyList = "\n  \"entries\": []";
  const std::size_t at = text.find(kEmptyList);
  if (report.entries.empty() || at == std::string::npos) {
    sink(text);
    return;
  }
  sink(std::string_view(text).substr(0, at + kEmptyList.size() - 1));
  sink("\n");
  std::string item;
  std::size_t i = 0;
  for (const ReportEntry& entry : report.entries) {
    item.clear();
    AppendEntryJson(item, entry);
    item += ++i < report.entries.size() ? ",\n" : "\n";
    sink(item);
  }
  sink("  ]");
  sink(std::string_view(text).substr(at + kEmptyList.size()));
}

std::string ReportJson(const RecoveryReport& report) {
  std::string text;
  WriteReportJson(report, [&text](std::string_view piece) { text += piece; });
  return text;
}

void WriteReportText(const RecoveryReport& report,
                     const std::function<void(std::string_view)>& sink) {
  const ReportSource& from = report.source;
  const ReportSettings& used = report.settings;
  std::string text = "Recovery report\n";
  std::vector<AlignedRow> head;
  head.push_back({"Tool:", fmt::format("{} {}", report.toolName, report.toolVersion)});
  if (!report.commandLine.empty()) head.push_back({"Command:", report.commandLine});
  head.push_back({"Started:", report.started});
  head.push_back({"Finished:", report.finished});
  head.push_back({"Source:", from.path});
  head.push_back({"Size:", fmt::format("{} bytes", from.sizeBytes)});
  if (!from.model.empty()) head.push_back({"Model:", from.model});
  if (!from.mapfile.empty()) head.push_back({"Mapfile:", from.mapfile});
  if (!from.sha256.empty()) head.push_back({"SHA-256:", from.sha256});
  if (!from.sha256Problem.empty()) head.push_back({"SHA-256:", "none: " + from.sha256Problem});
  head.push_back({"Volume:", report.volume});
  head.push_back({"Volume type:", fmt::format("{}, from sector {}, {} sectors", from.volumeType,
                                              from.volumeStart, from.volumeSectors)});
  for (const std::string& warning : report.volumeWarnings) head.push_back({"Warning:", warning});
  head.push_back(
      {"Settings:", fmt::format("{} mode, {} sectors per read, {} retries, duplicates: {}{}{}",
                                used.mode, used.sectorsPerRead, used.retries, used.duplicates,
                                used.syncEachFile ? ", sync" : "",
                                used.fileDigests ? "" : ", no file digests")});
  head.push_back({"Destination:", report.destination});
  text += AlignedRows(head, 1);
  text += '\n';
  sink(text);
  // One line per entry; the path comes last so that the columns stay aligned
  // whatever its length.
  constexpr std::string_view kNoHash = "-";
  sink(fmt::format(
      "{:<9} {:>12}  {:<10} {:>5} {:>5} {:>5} {:>10}  {:<20}  {:<20}  {:<20}  {:<64}  {:<32}  {}\n",
      "Status", "Bytes", "Mode", "UID", "GID", "Links", "Inode", "Accessed", "Modified", "Changed",
      "SHA-256", "MD5", "Path"));
  for (const ReportEntry& entry : report.entries) {
    std::string facts;
    if (entry.facts) {
      const InodeFacts& f = *entry.facts;
      facts = fmt::format("{:<10} {:>5} {:>5} {:>5} {:>10}  {:<20}  {:<20}  {:<20}",
                          ModeText(f.mode), f.uid, f.gid, f.nlink, entry.inode, IsoUtc(f.atime),
                          IsoUtc(f.mtime), IsoUtc(f.ctime));
    } else {
      facts = fmt::format("{:<10} {:>5} {:>5} {:>5} {:>10}  {:<20}  {:<20}  {:<20}", "-", "-", "-",
                          "-", entry.inode, "-", "-", "-");
    }
    std::string line = fmt::format(
        "{:<9} {:>12}  {}  {:<64}  {:<32}  {}", StatusName(entry.status), entry.bytesWritten, facts,
        entry.sha256.empty() ? kNoHash : std::string_view(entry.sha256),
        entry.md5.empty() ? kNoHash : std::string_view(entry.md5), entry.path);
    if (entry.type != EntryType::kFile) line += fmt::format(" ({})", EntryTypeName(entry.type));
    if (!entry.unreadable.empty()) {
      line += fmt::format("  unreadable sectors {}", SectorRunsText(entry.unreadable));
    }
    if (entry.blocksOutsideVolume != 0) {
      line += fmt::format("  {} blocks outside the volume", entry.blocksOutsideVolume);
    }
    if (entry.timeUnreadable) line += "  time stamp unreadable";
    if (!entry.note.empty()) line += fmt::format("  [{}]", entry.note);
    line += '\n';
    sink(line);
  }
  const RunSummary& s = report.summary;
  text = "\n";
  if (s.stoppedByUser) text += "The run was stopped before it ended.\n";
  if (!s.stopMessage.empty()) text += fmt::format("The run ended early: {}\n", s.stopMessage);
  if (s.notReached != 0) text += fmt::format("{} entries were not reached.\n", s.notReached);
  if (s.skipped != 0) text += fmt::format("{} entries were skipped.\n", s.skipped);
  for (const std::string& leftover : report.leftoversRemoved) {
    text +=
        fmt::format("Removed {}: an earlier run was interrupted while it wrote it.\n", leftover);
  }
  text += fmt::format("Summary: {}\n", SummaryLine(s));
  sink(text);
}

std::string ReportText(const RecoveryReport& report) {
  std::string text;
  WriteReportText(report, [&text](std::string_view piece) { text += piece; });
  return text;
}

}  // namespace tolvar
