#pragma once

// One entry of a recovery report: what became of one file or folder.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fs/file_data.hpp"
#include "fs/format.hpp"

namespace tolvar {

enum class EntryStatus { kComplete, kDamaged, kSkipped, kStopped };
enum class EntryType { kFile, kFolder, kSymlink, kCharDevice, kBlockDevice, kPipe, kSocket };

[[nodiscard]] std::string_view StatusName(EntryStatus status);
[[nodiscard]] std::string_view EntryTypeName(EntryType type);

// An inode's own words as the volume stores them; times are Unix seconds
// (the stored words read as signed 32-bit numbers).
struct InodeFacts {
  std::uint16_t mode = 0;
  std::uint16_t uid = 0;
  std::uint16_t gid = 0;
  std::uint16_t nlink = 0;
  std::int64_t atime = 0;
  std::int64_t mtime = 0;
  std::int64_t ctime = 0;
};
[[nodiscard]] InodeFacts FactsOf(const Inode& inode);

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
  std::string note;                 // why it was skipped, what became of it
  std::optional<InodeFacts> facts;  // absent when the inode was never read
  // Of the bytes written, computed as they were written; empty unless a file
  // reached the host (complete or damaged).
  std::string sha256;
  std::string md5;
};

}  // namespace tolvar
