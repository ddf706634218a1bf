#pragma once

// Restoring compressed files in recovered data: files compressed with
// compress (.Z), gzip, bzip2 or xz, recognised by their content, are
// decompressed beside the original, which is removed only once the restored
// file is complete and its size checked. Damaged ones are left as they are.

#include <atomic>
#include <cstdint>
#include <expected>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/error.hpp"
#include "base/stop_token.hpp"

namespace tolvar {

enum class CompressionFormat { kNone, kCompress, kGzip, kBzip2, kXz };

// Recognises a compressed stream from its first bytes (at least 6 for xz).
[[nodiscard]] CompressionFormat DetectCompression(std::span<const std::byte> head);
[[nodiscard]] std::string_view CompressionName(CompressionFormat format);

// The name a restored file gets: the original without its compression
// suffix (".Z", ".gz", ".z", ".bz2", ".xz"; ".tgz", ".taz", ".tbz", ".tbz2",
// ".txz" become ".tar"), or the name with ".restored" added when it has none.
[[nodiscard]] std::string RestoredName(std::string_view name, CompressionFormat format);

enum class RestoreStatus { kRestored, kDamaged, kFailed };
[[nodiscard]] std::string_view RestoreStatusName(RestoreStatus status);

struct RestoreEntry {
  std::string path;          // relative to the folder restored
  std::string restoredPath;  // set when restored
  CompressionFormat format = CompressionFormat::kNone;
  RestoreStatus status = RestoreStatus::kRestored;
  std::uint64_t compressedBytes = 0;
  std::uint64_t restoredBytes = 0;
  std::string note;
};

struct RestoreSummary {
  std::uint64_t filesExamined = 0;
  std::uint64_t restored = 0;
  std::uint64_t damaged = 0;
  std::uint64_t failed = 0;
  bool stopped = false;
  std::string stopMessage;  // a host failure that ended the work
};

struct RestoreReport {
  std::vector<RestoreEntry> entries;
  RestoreSummary summary;
};

// The events of one restore, on its thread. Every hook defaults to nothing.
class RestoreObserver {
 public:
  virtual ~RestoreObserver() = default;
  // The file at `relativePath` (below the folder restored) is looked at.
  virtual void FileStarted(std::string_view /*relativePath*/) {}
};

// Walks `folder` (never following a symbolic link) and restores every
// compressed regular file in it; `stop` ends the walk between files. Only a
// folder that cannot be opened is an error.
[[nodiscard]] std::expected<RestoreReport, Error> RestoreCompressedFiles(const std::string& folder,
                                                                       RestoreObserver& observer,
                                                                       StopToken stop = {});

[[nodiscard]] std::string RestoreSummaryLine(const RestoreSummary& summary);

// Runs the restore work on a thread of its own. The thread always ends, and
// at its end Finished() turns true and `onFinished` is called (the dialog
// enables "Finish" there), whatever happened inside.
class RestoreWorker {
 public:
  RestoreWorker() = default;
  ~RestoreWorker() { Join(); }
  RestoreWorker(const RestoreWorker&) = delete;
  RestoreWorker& operator=(const RestoreWorker&) = delete;

  void Start(std::string folder, RestoreObserver& observer,
             std::function<void()> onFinished = {});
  void Join();
  [[nodiscard]] bool Finished() const { return finished_.load(std::memory_order_acquire); }
  void RequestStop() { stop_.RequestStop(); }
  // The outcome, once Finished().
  [[nodiscard]] std::optional<std::expected<RestoreReport, Error>> Result() const;

 private:
  std::atomic<bool> finished_{false};
  StopFlag stop_;
  mutable std::mutex mutex_;
  std::optional<std::expected<RestoreReport, Error>> result_;
  std::jthread thread_;
};

}  // namespace tolvar
