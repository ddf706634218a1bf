#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "cli/cmd_browse_common.hpp"
#include "cli/commands.hpp"
#include "cli/interrupt.hpp"
#include "cli/output.hpp"
#include "cli/terminal_text.hpp"
#include "fs/format.hpp"
#include "recovery/content_hash.hpp"
#include "recovery/report.hpp"
#include "recovery/saving_run.hpp"
#include "recovery/settings_rules.hpp"
#include "tools/folder_paths.hpp"

namespace tolvar::cli {
namespace {

struct RecoverOptions {
  BrowseOptions browse;
  std::vector<std::string> paths;
  std::string destination;
  DuplicatePolicy duplicates = DuplicatePolicy::kSkip;
  bool duplicatesGiven = false;
  bool sync = false;
  bool hashSource = false;
  bool noDigests = false;
};

std::vector<std::string> SplitPath(std::string_view path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t slash = std::min(path.find('/', start), path.size());
    if (slash > start) parts.emplace_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

// A PATH names a folder (everything below it) or a file; "/" is everything.
std::expected<Selection, std::string> SelectionFor(const FileTree& tree,
                                                   const std::vector<std::string>& paths) {
  if (paths.empty()) return Selection::All();
  Selection selection = Selection::Rows({}, {});
  for (const std::string& path : paths) {
    const auto folder = ResolveFolderPath(tree, path);
    if (folder && *folder == kRootInode) return Selection::All();
    if (folder) {
      selection.folderInodes.push_back(*folder);
      continue;
    }
    std::vector<std::string> parts = SplitPath(path);
    if (parts.empty()) return std::unexpected(fmt::format("no entry \"{}\"", path));
    const std::string name = parts.back();
    parts.pop_back();
    std::string parentPath;
    for (const std::string& part : parts) parentPath += "/" + part;
    const auto parent = ResolveFolderPath(tree, parentPath);
    bool found = false;
    if (parent) {
      for (const std::uint32_t index : tree.ChildFiles(*parent)) {
        const FileNode& file = tree.Files()[index];
        if (file.name == name) {
          selection.fileIds.push_back(file.id);
          found = true;
          break;
        }
      }
    }
    if (!found) return std::unexpected(fmt::format("no file or folder \"{}\"", path));
  }
  return selection;
}

std::string Megabytes(std::uint64_t bytes) {
  return fmt::format("{:.1f} MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
}

// The run's events on the progress bar: the position, and files and bytes
// as the text, refreshed a few times a second. Failures are said from the
// run's result, once the bar is gone.
class SavingProgressLine final : public SavingObserver {
 public:
  explicit SavingProgressLine(ProgressLine& line) : line_(line) {}

  void Progress(int position) override { line_.SetProgress(position); }
  void Counted(const SavingProgress& progress) override {
    const auto now = std::chrono::steady_clock::now();
    if (now - lastShown_ < std::chrono::milliseconds(200)) return;
    lastShown_ = now;
    line_.SetStatus(fmt::format("{}/{} files, {} of {}", progress.filesDone, progress.filesTotal,
                                Megabytes(progress.bytesDone), Megabytes(progress.bytesTotal)));
  }

  // Keeps what the report holds so far, for an end at once.
  void EntryReported(const ReportEntry& entry) override {
    std::lock_guard lock(soFarMutex_);
    soFar_.entries.push_back(entry);
    RunSummary& sum = soFar_.summary;
    sum.bytes += entry.bytesWritten;
    for (const SectorRun& run : entry.unreadable) sum.unreadableSectors += run.count;
    switch (entry.status) {
      case EntryStatus::kComplete:
      case EntryStatus::kDamaged:
        if (entry.type == EntryType::kFolder) {
          if (entry.path != ".") ++sum.folders;
          if (entry.status == EntryStatus::kDamaged) ++sum.damagedFolders;
        } else {
          ++sum.files;
          if (entry.status == EntryStatus::kDamaged) ++sum.damagedFiles;
        }
        break;
      case EntryStatus::kSkipped:
        ++sum.skipped;
        if (entry.byError) ++sum.skippedByError;
        break;
      case EntryStatus::kStopped:
        break;
    }
  }

  // Writes the report as it stands, marked as ended by the user. Runs on
  // the interrupt watchdog while the run may still be going: it gives up on
  // the entries rather than wait long for them.
  void WriteReportSoFar(RecoveryReport report) {
    if (soFarMutex_.try_lock_for(std::chrono::milliseconds(500))) {
      std::lock_guard lock(soFarMutex_, std::adopt_lock);
      // The process ends after this: the entries are taken, not copied.
      report.entries = std::move(soFar_.entries);
      report.summary = soFar_.summary;
    }
    report.summary.stoppedByUser = true;
    report.summary.stopMessage =
        "ended at once by an interrupt: entries not listed were not reached or not finished";
    const std::string folder = report.destination;
    WriteWhole(fmt::format("{}/{}", folder, kReportTextName),
               [&](const auto& sink) { WriteReportText(report, sink); });
    WriteWhole(fmt::format("{}/{}", folder, kReportJsonName),
               [&](const auto& sink) { WriteReportJson(report, sink); });
  }

 private:
  using Sink = std::function<void(std::string_view)>;
  static void WriteWhole(const std::string& path, const std::function<void(const Sink&)>& write) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    bool failed = false;
    write([&](std::string_view text) {
      while (!failed && !text.empty()) {
        const ssize_t wrote = ::write(fd, text.data(), text.size());
        if (wrote <= 0) {
          failed = true;
          break;
        }
        text.remove_prefix(static_cast<std::size_t>(wrote));
      }
    });
    ::close(fd);
  }

  ProgressLine& line_;
  std::chrono::steady_clock::time_point lastShown_{};
  std::timed_mutex soFarMutex_;
  RecoveryReport soFar_;
};

int RunRecover(const RecoverOptions& options, CliRuntime& runtime) {
  auto mounted = OpenAndMount(options.browse, runtime);
  if (!mounted) return mounted.error().status;
  MountedVolume& volume = **mounted;
  OpenedImage& session = *volume.image;
  ProgressLine& bar = *session.progress;

  auto selection = SelectionFor(volume.tree, options.paths);
  if (!selection) {
    runtime.Say(fmt::format("{} in volume {} ({})", selection.error(), volume.number,
                            volume.volume.volumeName));
    return kExitUsage;
  }
  session.settings.duplicatePolicy = options.duplicates;

  SaveControl control;
  control.StartRun();
  SavingOptions saving;
  saving.destination = options.destination;
  saving.sourcePath = options.browse.image;
  saving.volumeName = volume.volume.volumeName;
  saving.volumeWarnings = volume.volume.assumptions;
  saving.syncEachFile = options.sync;
  saving.fileDigests = !options.noDigests;
  saving.commandLine = runtime.commandLine;
  saving.mapfile = options.browse.discovery.source.mapfile;
  saving.mode = volume.mode;

  // The source's hash reads the image through a handle of its own, on a
  // thread of its own, while the run reads what it copies; a stop of the run
  // stops it too.
  std::expected<std::string, Error> sourceHash =
      std::unexpected(Error{ErrorCode::kStopped, "the source's hash was not computed", {}});
  std::jthread hashing;
  if (options.hashSource) {
    auto second = OpenImageFile(options.browse.image, options.browse.discovery.source.imageDirs);
    if (!second) {
      sourceHash = std::unexpected(second.error());
    } else {
      hashing = std::jthread([&sourceHash, &control, source = std::move(*second)] {
        sourceHash = HashWholeSource(*source, StopToken(control.stopSavingRequested));
      });
    }
    saving.sourceHash = [&hashing, &sourceHash] {
      if (hashing.joinable()) hashing.join();
      return sourceHash;
    };
  }

  SavingProgressLine observer(bar);
  std::expected<SavingResult, Error> result;
  RecoveryReport header;
  header.commandLine = saving.commandLine;
  header.source.path = saving.sourcePath;
  header.source.mapfile = saving.mapfile;
  header.volume = saving.volumeName;
  header.volumeWarnings = saving.volumeWarnings;
  header.destination = saving.destination;
  session.interrupts.beforeForcedExit = [&observer, header] { observer.WriteReportSoFar(header); };
  {
    // Ctrl-C stops the run the way the dialog's stop does: what was written
    // stays, and the report says where it ended.
    InterruptScope scope(session.interrupts, StopToken(control.stopSavingRequested));
    bar.Show(true);
    result = RunSaving(session.drives, volume.volume, volume.tree, *selection, session.settings,
                       control, observer, saving);
    bar.Show(false);
  }
  session.interrupts.beforeForcedExit = nullptr;
  bar.End();
  if (!result) {
    control.PressStopSaving();  // the source's hash is of no use any more
    runtime.Say(fmt::format("{}; nothing was recovered", result.error().message));
    return kExitUsage;
  }
  if (!result->report.summary.stopMessage.empty()) {
    runtime.Say(fmt::format("{}; the recovery stopped there", result->report.summary.stopMessage));
  }

  const RecoveryReport& report = result->report;
  if (options.browse.json) {
    WriteReportJson(report, [&](std::string_view piece) {
      std::fwrite(piece.data(), 1, piece.size(), runtime.out);
    });
    runtime.printedJson = true;
  } else {
    for (const ReportEntry& entry : report.entries) {
      const bool worthSaying = entry.status == EntryStatus::kDamaged ||
                               entry.status == EntryStatus::kStopped ||
                               (entry.status == EntryStatus::kSkipped && entry.byError);
      if (!worthSaying) continue;
      std::string line = fmt::format("{}: {}", StatusName(entry.status), entry.path);
      if (!entry.unreadable.empty()) {
        line += fmt::format(" (unreadable sectors {})", SectorRunsText(entry.unreadable));
      }
      if (!entry.note.empty()) line += fmt::format(" [{}]", entry.note);
      fmt::print(runtime.out, "{}\n", TerminalSafe(line));
    }
    if (report.summary.stoppedByUser) fmt::print(runtime.out, "Stopped before the end.\n");
    if (!report.source.sha256.empty()) {
      fmt::print(runtime.out, "Source SHA-256: {}\n", report.source.sha256);
    } else if (!report.source.sha256Problem.empty()) {
      fmt::print(runtime.out, "No source SHA-256: {}\n", TerminalSafe(report.source.sha256Problem));
    }
    fmt::print(runtime.out, "Recovered into {}: {}\n", TerminalSafe(options.destination),
               SummaryLine(report.summary));
    if (result->reportProblem.empty()) {
      fmt::print(runtime.out, "Report: {}/{} and {}\n", TerminalSafe(options.destination),
                 kReportTextName, kReportJsonName);
    }
  }
  if (!result->reportProblem.empty()) {
    runtime.Say(fmt::format("{}; the report was not written", result->reportProblem));
  }
  return AllWhole(report.summary) ? kExitOk : kExitNothing;
}

}  // namespace

void RegisterRecoverCommand(CLI::App& app, CliRuntime& runtime) {
  auto options = std::make_shared<RecoverOptions>();
  CLI::App* command = app.add_subcommand(
      "recover", "Copy files and folders of a volume to a host folder, with a report");
  AddBrowseOptions(*command, options->browse);
  command->add_option("PATH", options->paths,
                      "Files or folders to copy, \"/\" between names (default: everything)");
  command->add_option("-o,--output", options->destination, "Folder to copy into")->required();
  static const std::map<std::string, DuplicatePolicy> kPolicies = {
      {"rename", DuplicatePolicy::kRename},
      {"overwrite", DuplicatePolicy::kOverwrite},
      {"skip", DuplicatePolicy::kSkip}};
  command
      ->add_option("--duplicates", options->duplicates,
                   "What to do with a name that exists: rename, overwrite or skip (default)")
      ->transform(CLI::CheckedTransformer(kPolicies, CLI::ignore_case));
  command->add_flag("--sync", options->sync,
                    "Flush each file to the medium before the next (slower)");
  command->add_flag("--hash-source", options->hashSource,
                    "Record the SHA-256 of the whole source in the report, read alongside the run");
  command->add_flag("--no-digests", options->noDigests,
                    "Leave each file's SHA-256 and MD5 out of the report (faster on large files)");
  command->callback([options, &runtime] { runtime.exitCode = RunRecover(*options, runtime); });
}

}  // namespace tolvar::cli
