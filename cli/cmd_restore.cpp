#include <fmt/format.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <string>

#include "cli/commands.hpp"
#include "cli/interrupt.hpp"
#include "cli/output.hpp"
#include "cli/progress_line.hpp"
#include "cli/terminal_text.hpp"
#include "recovery/restore.hpp"

namespace tolvar::cli {
namespace {

struct RestoreOptions {
  std::string folder;
  bool json = false;
  bool quiet = false;
};

// The file being looked at, on the progress bar.
class RestoreProgress final : public RestoreObserver {
 public:
  explicit RestoreProgress(ProgressLine& line) : line_(line) {}
  void FileStarted(std::string_view relativePath) override {
    line_.SetStatus(fmt::format("Restoring {}", relativePath));
  }

 private:
  ProgressLine& line_;
};

int RunRestore(const RestoreOptions& options, CliRuntime& runtime) {
  ProgressLine bar(runtime.err, runtime.stderrIsTerminal && !options.quiet);
  RestoreProgress observer(bar);
  Interrupts interrupts;
  std::expected<RestoreReport, Error> report;
  {
    // Ctrl-C, TERM and HUP stop the work, inside a file too.
    InterruptScope scope(interrupts);
    bar.Show(true);
    report = RestoreCompressedFiles(options.folder, observer, StopToken(interrupts.stop));
    if (report) {
      if (!report->summary.stopMessage.empty()) bar.Message(report->summary.stopMessage);
      bar.SetStatus(RestoreSummaryLine(report->summary));
    }
    bar.Show(false);
  }
  if (!report) {
    runtime.Say(report.error().message);
    return kExitUsage;
  }
  if (options.json) {
    nlohmann::json entries = nlohmann::json::array();
    for (const RestoreEntry& entry : report->entries) {
      entries.push_back({{"path", entry.path},
                         {"restoredPath", entry.restoredPath},
                         {"format", CompressionName(entry.format)},
                         {"status", RestoreStatusName(entry.status)},
                         {"compressedBytes", entry.compressedBytes},
                         {"restoredBytes", entry.restoredBytes},
                         {"note", entry.note}});
    }
    const RestoreSummary& s = report->summary;
    PrintJson(runtime, {{"folder", options.folder},
                        {"summary",
                         {{"filesExamined", s.filesExamined},
                          {"restored", s.restored},
                          {"damaged", s.damaged},
                          {"failed", s.failed},
                          {"unverified", s.unverified},
                          {"stopped", s.stopped},
                          {"stopMessage", s.stopMessage}}},
                        {"leftoversRemoved", report->leftoversRemoved},
                        {"entries", entries}});
  } else {
    for (const std::string& leftover : report->leftoversRemoved) {
      fmt::print(runtime.out, "removed {} [left half written by an interrupted run]\n",
                 TerminalSafe(leftover));
    }
    for (const RestoreEntry& entry : report->entries) {
      // Unverified results are restored all the same: the line says both.
      const std::string_view status = entry.status == RestoreStatus::kUnverified
                                          ? "restored, unverified"
                                          : RestoreStatusName(entry.status);
      std::string line = entry.restoredPath.empty()
                             ? fmt::format("{} {}", status, entry.path)
                             : fmt::format("{} {} -> {}", status, entry.path, entry.restoredPath);
      if (!entry.note.empty()) line += fmt::format(" [{}]", entry.note);
      fmt::print(runtime.out, "{}\n", TerminalSafe(line));
    }
    if (report->summary.stopped) fmt::print(runtime.out, "Stopped before the end.\n");
    fmt::print(runtime.out, "{}\n", RestoreSummaryLine(report->summary));
  }
  const RestoreSummary& s = report->summary;
  return s.damaged == 0 && s.failed == 0 && !s.stopped ? kExitOk : kExitNothing;
}

}  // namespace

void RegisterRestoreCommand(CLI::App& app, CliRuntime& runtime) {
  auto options = std::make_shared<RestoreOptions>();
  CLI::App* command = app.add_subcommand(
      "restore", "Restore compress, gzip, bzip2 and xz files in recovered data, in place");
  command->add_option("DIR", options->folder, "A folder of recovered data")->required();
  command->add_flag("--json", options->json, "Print one JSON document");
  command->add_flag("--quiet", options->quiet, "No progress bar");
  command->callback([options, &runtime] { runtime.exitCode = RunRestore(*options, runtime); });
}

}  // namespace tolvar::cli
