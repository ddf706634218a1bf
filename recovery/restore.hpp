#pragma once

// Restoring compressed files in recovered data: files compressed with
// compress (.Z), gzip, bzip2 or xz, recognised by their content, are
// decompressed beside the original. The original is removed only when the
// format itself vouches for the result (gzip's and bzip2's check sums, xz's
// checks and recorded sizes); compress records neither, so its originals
// always stay. Damaged ones are left as they are. A restored file that is
// itself compressed (x.gz.Z) is restored in turn.

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
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

// kUnverified: restored beside the original, which was kept, because nothing
// in the data confirms the result. kStopped: the work was stopped while the
// file was decoded; nothing was written for it.
enum class RestoreStatus { kRestored, kDamaged, kFailed, kUnverified, kStopped };
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
  std::uint64_t unverified = 0;
  bool stopped = false;     // by a request or by a host failure (stopMessage)
  std::string stopMessage;  // a host failure that ended the work
};

struct RestoreReport {
  std::vector<RestoreEntry> entries;
  RestoreSummary summary;
  // Temporary files an earlier, interrupted run left behind, removed now.
  std::vector<std::string> leftoversRemoved;
};

// How far one file may expand: to `ratio` times its compressed size (gzip:
// at most `gzipRatio`, deflate's own bound), but always to `minimumCap`, and
// never into the last `reserveBytes` of the destination's free space.
struct RestoreLimits {
  std::uint64_t ratio = 10000;
  std::uint64_t gzipRatio = 1100;
  std::uint64_t minimumCap = std::uint64_t{256} << 20;
  std::uint64_t reserveBytes = std::uint64_t{1} << 20;
};

// The events of one restore, on its thread. Every hook defaults to nothing.
class RestoreObserver {
 public:
  virtual ~RestoreObserver() = default;
  // The file at `relativePath` (below the folder restored) is looked at.
  virtual void FileStarted(std::string_view /*relativePath*/) {}
};

// Walks `folder` (never following a symbolic link) and restores every
// compressed regular file in it; `stop` is looked at between files and while
// a file is decoded. Only a folder that cannot be opened is an error.
[[nodiscard]] std::expected<RestoreReport, Error> RestoreCompressedFiles(
    const std::string& folder, RestoreObserver& observer, StopToken stop = {},
    const RestoreLimits& limits = {});

[[nodiscard]] std::string RestoreSummaryLine(const RestoreSummary& summary);

}  // namespace tolvar
