#pragma once

// The saving run: copies a selection of the file tree to a host folder,
// mirroring the tree, and reports what became of every entry.

#include <atomic>
#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/error.hpp"
#include "base/settings.hpp"
#include "disk/drive_table.hpp"
#include "fs/file_tree.hpp"
#include "recovery/report.hpp"
#include "volumes/volume_table.hpp"

namespace tolvar {

// The three request flags shared by the saving dialog and the run.
struct SaveControl {
  std::atomic<std::int32_t> stopSavingRequested{0};
  std::atomic<std::int32_t> skipFileRequested{0};
  std::atomic<std::int32_t> closeSavingRequested{0};

  // Before a run: an earlier stop or skip must not reach this one.
  void StartRun() {
    stopSavingRequested.store(0, std::memory_order_relaxed);
    skipFileRequested.store(0, std::memory_order_relaxed);
  }
  // The stop and skip requests: set their flag and do nothing else.
  void PressStopSaving() { stopSavingRequested.store(1, std::memory_order_relaxed); }
  void PressSkipFile() { skipFileRequested.store(1, std::memory_order_relaxed); }
  // The dialog's repaint: true (and the flag cleared) when the run has ended
  // and the dialog must close.
  [[nodiscard]] bool TakeCloseRequest() {
    std::int32_t expected = 1;
    return closeSavingRequested.compare_exchange_strong(expected, 0, std::memory_order_relaxed);
  }
};

// What to copy: everything, or rows of one folder's list, a folder row
// standing for the folder and everything below it.
struct Selection {
  bool everything = true;
  std::vector<std::uint32_t> folderInodes;  // folder rows
  std::vector<std::uint32_t> fileIds;       // file rows, by FileNode id

  [[nodiscard]] static Selection All() { return {}; }
  [[nodiscard]] static Selection Rows(std::vector<std::uint32_t> folders,
                                      std::vector<std::uint32_t> files) {
    return {false, std::move(folders), std::move(files)};
  }
};

struct SavingProgress {
  std::uint64_t filesDone = 0;
  std::uint64_t filesTotal = 0;
  std::uint64_t bytesDone = 0;
  std::uint64_t bytesTotal = 0;
  std::string_view path;  // the entry being written, on the host
};
// The events of one saving run, on the run's thread, in order. Every hook
// defaults to nothing.
class SavingObserver {
 public:
  virtual ~SavingObserver() = default;
  // Entry `number` (from 1) of `total` is started: `name` in the host folder
  // `hostFolder` ("/" for the destination itself).
  virtual void EntryStarted(std::string_view /*hostFolder*/, std::string_view /*name*/,
                            std::uint64_t /*number*/, std::uint64_t /*total*/) {}
  // The run's position, 0 to 100, by bytes (by files when there are no
  // bytes to copy); sent when it changes.
  virtual void Progress(int /*position*/) {}
  // The counts after every piece of data written and every entry finished.
  virtual void Counted(const SavingProgress& /*progress*/) {}
  // A host failure that ends the run, or that kept the report from being
  // written; the run's outcome says the same.
  virtual void Failed(const Error& /*error*/) {}
  // An entry's outcome, as the report records it, once it is known; lets a
  // command write what the report holds so far if it must end at once.
  virtual void EntryReported(const ReportEntry& /*entry*/) {}
};

struct SavingOptions {
  std::string destination;
  std::string sourcePath;                     // to refuse a destination on the source; may be empty
  std::string volumeName;                     // for the report
  std::vector<std::string> volumeWarnings;    // for the report: what discovery assumed
  std::string commandLine;                    // for the report; empty from the window
  std::string mapfile;                        // for the report: the rescue map read with the source
  RecoveryMode mode = RecoveryMode::kNormal;  // how the tree was found, for the report
  // When set, called once every entry is written and before the report is:
  // the SHA-256 of the whole source, which the caller may have been reading
  // alongside the run.
  std::function<std::expected<std::string, Error>()> sourceHash;
  bool syncEachFile = false;
  bool writeReport = true;
  // The SHA-256 and MD5 of every file written, for the report. Off, the
  // hashing CPU is saved: on large files it costs more than the copy.
  bool fileDigests = true;
  // Where the image is a plain file, let the kernel copy runs of data
  // straight into the host files: the bytes never pass through this
  // process, so anything that must see them (hashes of each file) turns
  // this off and the run reads and writes them instead.
  bool kernelCopy = true;
  std::string sysfsRoot = "/sys";
};

struct SavingResult {
  RecoveryReport report;
  std::string reportProblem;  // set when the report could not be written
};

// Runs the saving run on the calling thread. Only a destination that cannot
// be used is an error; everything that happens to entries is in the report.
// Reads go through `drives` at most settings.sectorsPerRead sectors at a
// time; the control flags are polled between reads; closeSavingRequested
// is set at the end, whatever happened.
[[nodiscard]] std::expected<SavingResult, Error> RunSaving(
    DriveTable& drives, const VolumeInfo& volume, const FileTree& tree, const Selection& selection,
    const RecoverySettings& settings, SaveControl& control, SavingObserver& observer,
    const SavingOptions& options);

// Runs a saving run on a thread of its own. The thread sets
// closeSavingRequested as its last act, so joining it after that flag is seen
// never waits long; the destructor joins too, so a run never outlives its
// dialog.
class SavingWorker {
 public:
  SavingWorker() = default;
  ~SavingWorker() { Join(); }
  SavingWorker(const SavingWorker&) = delete;
  SavingWorker& operator=(const SavingWorker&) = delete;

  void Start(std::function<void()> run) { thread_ = std::jthread(std::move(run)); }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  [[nodiscard]] bool Running() const { return thread_.joinable(); }

 private:
  std::jthread thread_;
};

}  // namespace tolvar
