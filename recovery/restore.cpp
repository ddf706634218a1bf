#include "recovery/restore.hpp"

#include <archive.h>
#include <dirent.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>

#include "recovery/host_names.hpp"
#include "recovery/host_writer.hpp"

namespace tolvar {
namespace {

constexpr std::size_t kChunk = 64 * 1024;
constexpr std::string_view kTempPrefix = ".tolvar-partial-";

// CRC-32 as gzip's trailer holds it (the decompressor does not check it).
class Crc32 {
 public:
  Crc32() {
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table_[i] = c;
    }
  }
  void Update(std::span<const std::byte> bytes) {
    for (const std::byte b : bytes) {
      crc_ = table_[(crc_ ^ static_cast<std::uint8_t>(b)) & 0xFF] ^ (crc_ >> 8);
    }
  }
  [[nodiscard]] std::uint32_t Value() const { return crc_ ^ 0xFFFFFFFFu; }

 private:
  std::array<std::uint32_t, 256> table_{};
  std::uint32_t crc_ = 0xFFFFFFFFu;
};

struct ArchiveCloser {
  void operator()(archive* a) const { archive_read_free(a); }
};

struct Fd {
  int fd = -1;
  explicit Fd(int value) : fd(value) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

int FilterCode(CompressionFormat format) {
  switch (format) {
    case CompressionFormat::kCompress:
      return ARCHIVE_FILTER_COMPRESS;
    case CompressionFormat::kGzip:
      return ARCHIVE_FILTER_GZIP;
    case CompressionFormat::kBzip2:
      return ARCHIVE_FILTER_BZIP2;
    case CompressionFormat::kXz:
      return ARCHIVE_FILTER_XZ;
    case CompressionFormat::kNone:
      break;
  }
  return ARCHIVE_FILTER_NONE;
}

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() > suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

std::string JoinPath(std::string_view folder, std::string_view name) {
  if (folder.empty()) return std::string(name);
  return fmt::format("{}/{}", folder, name);
}

class Restorer {
 public:
  Restorer(std::string folder, RestoreObserver& observer, StopToken stop)
      : folder_(std::move(folder)), observer_(observer), stop_(stop) {}

  RestoreReport Run(FolderHandle root);

 private:
  void RestoreFile(const FolderHandle& folder, const std::string& relative, const std::string& name,
                   CompressionFormat format, const struct stat& info);
  [[nodiscard]] std::optional<FolderHandle> OpenRelative(const FolderHandle& root,
                                                         const std::vector<std::string>& path);
  [[nodiscard]] bool Stopped() const {
    return stop_.StopRequested();
  }

  std::string folder_;
  RestoreObserver& observer_;
  StopToken stop_;
  RestoreReport report_;
  bool failed_ = false;
};

std::optional<FolderHandle> Restorer::OpenRelative(const FolderHandle& root,
                                                   const std::vector<std::string>& path) {
  auto current = OpenFolderAt(root, ".", folder_);
  if (!current) return std::nullopt;
  for (const std::string& name : path) {
    auto next = OpenFolderAt(*current, name, name);
    if (!next) return std::nullopt;  // moved or replaced since it was listed
    current = std::move(next);
  }
  return std::move(*current);
}

void Restorer::RestoreFile(const FolderHandle& folder, const std::string& relative,
                           const std::string& name, CompressionFormat format,
                           const struct stat& info) {
  RestoreEntry entry;
  entry.path = relative;
  entry.format = format;
  entry.compressedBytes = static_cast<std::uint64_t>(info.st_size);
  observer_.FileStarted(relative);
  auto record = [this, &entry](RestoreStatus status, std::string note) {
    entry.status = status;
    entry.note = std::move(note);
    switch (status) {
      case RestoreStatus::kRestored:
        ++report_.summary.restored;
        break;
      case RestoreStatus::kDamaged:
        ++report_.summary.damaged;
        break;
      case RestoreStatus::kFailed:
        ++report_.summary.failed;
        break;
    }
    report_.entries.push_back(std::move(entry));
  };

  Fd input(::openat(folder.Fd(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (input.fd < 0) {
    record(RestoreStatus::kFailed, HostError(errno, "open", relative).message);
    return;
  }
  std::unique_ptr<archive, ArchiveCloser> reader(archive_read_new());
  if (!reader) {
    record(RestoreStatus::kFailed, "out of memory");
    return;
  }
  archive_read_support_filter_compress(reader.get());
  archive_read_support_filter_gzip(reader.get());
  archive_read_support_filter_bzip2(reader.get());
  archive_read_support_filter_xz(reader.get());
  archive_read_support_format_raw(reader.get());
  archive_read_support_format_empty(reader.get());
  auto damaged = [&](std::string_view why) {
    record(RestoreStatus::kDamaged,
           fmt::format("damaged {} data, left as it was: {}", CompressionName(format), why));
  };
  if (archive_read_open_fd(reader.get(), input.fd, kChunk) != ARCHIVE_OK) {
    damaged(archive_error_string(reader.get()) ? archive_error_string(reader.get()) : "unreadable");
    return;
  }
  archive_entry* header = nullptr;
  const int headerResult = archive_read_next_header(reader.get(), &header);
  if (headerResult != ARCHIVE_OK && headerResult != ARCHIVE_EOF) {
    damaged(archive_error_string(reader.get()) ? archive_error_string(reader.get()) : "no data");
    return;
  }
  if (archive_filter_code(reader.get(), 0) != FilterCode(format)) {
    damaged("the data does not decode as it starts");
    return;
  }

  const std::string restoredName = RestoredName(name, format);
  const std::string parent =
      relative.size() > name.size() ? relative.substr(0, relative.size() - name.size() - 1) : "";
  const std::string display = fmt::format("{}/{}", folder_, JoinPath(parent, restoredName));
  auto pending = PendingFile::Create(folder, display);
  if (!pending) {
    if (StopsTheRun(pending.error())) {
      failed_ = true;
      report_.summary.stopMessage = pending.error().message;
    }
    record(RestoreStatus::kFailed, pending.error().message);
    return;
  }
  Crc32 crc;
  std::vector<std::byte> buffer(kChunk);
  if (headerResult == ARCHIVE_OK) {
    while (true) {
      const la_ssize_t got = archive_read_data(reader.get(), buffer.data(), buffer.size());
      if (got == 0) break;
      if (got < 0) {
        pending->Abandon();
        damaged(archive_error_string(reader.get()) ? archive_error_string(reader.get())
                                                   : "decoding failed");
        return;
      }
      const std::span<const std::byte> piece(buffer.data(), static_cast<std::size_t>(got));
      if (format == CompressionFormat::kGzip) crc.Update(piece);
      if (auto written = pending->Write(piece); !written) {
        pending->Abandon();
        if (StopsTheRun(written.error())) {
          failed_ = true;
          report_.summary.stopMessage = written.error().message;
        }
        record(RestoreStatus::kFailed, written.error().message);
        return;
      }
    }
  }
  const std::uint64_t restoredBytes = pending->Written();
  if (format == CompressionFormat::kGzip) {
    // The trailer of the (last) member: CRC-32 and length modulo 2^32.
    std::array<std::byte, 8> trailer{};
    const ssize_t got = ::pread(input.fd, trailer.data(), trailer.size(), info.st_size - 8);
    auto u32 = [&trailer](std::size_t at) {
      return static_cast<std::uint32_t>(trailer[at]) |
             static_cast<std::uint32_t>(trailer[at + 1]) << 8 |
             static_cast<std::uint32_t>(trailer[at + 2]) << 16 |
             static_cast<std::uint32_t>(trailer[at + 3]) << 24;
    };
    if (got != 8 || u32(0) != crc.Value() ||
        u32(4) != static_cast<std::uint32_t>(restoredBytes & 0xFFFFFFFFu)) {
      pending->Abandon();
      damaged("its check sum does not match what it decodes to");
      return;
    }
  }
  const timespec keep = info.st_mtim;
  auto placed = pending->Commit(restoredName, restoredBytes, std::int64_t{keep.tv_sec},
                                DuplicatePolicy::kRename, false);
  if (!placed || !placed->has_value()) {
    const std::string why = placed ? "no free name" : placed.error().message;
    if (!placed && StopsTheRun(placed.error())) {
      failed_ = true;
      report_.summary.stopMessage = why;
    }
    record(RestoreStatus::kFailed, why);
    return;
  }
  // The restored file is in place and its size checked: only now does the
  // original go.
  struct stat restored {};
  if (::fstatat(folder.Fd(), (*placed)->c_str(), &restored, AT_SYMLINK_NOFOLLOW) != 0 ||
      static_cast<std::uint64_t>(restored.st_size) != restoredBytes) {
    record(RestoreStatus::kFailed, "the restored file changed size; the original was kept");
    return;
  }
  entry.restoredBytes = restoredBytes;
  entry.restoredPath = JoinPath(parent, **placed);
  if (::unlinkat(folder.Fd(), name.c_str(), 0) != 0) {
    record(RestoreStatus::kRestored,
           fmt::format("the original could not be removed: {}", std::strerror(errno)));
    return;
  }
  record(RestoreStatus::kRestored, "");
}

RestoreReport Restorer::Run(FolderHandle root) {
  std::deque<std::vector<std::string>> pending;
  pending.emplace_back();
  while (!pending.empty() && !failed_) {
    if (Stopped()) {
      report_.summary.stopped = true;
      break;
    }
    const std::vector<std::string> path = std::move(pending.front());
    pending.pop_front();
    std::optional<FolderHandle> folder = OpenRelative(root, path);
    if (!folder) continue;
    std::string relativeFolder;
    for (const std::string& part : path) relativeFolder = JoinPath(relativeFolder, part);

    // List the folder first: files restored into it are not examined again.
    std::vector<std::string> names;
    {
      const int listFd = ::dup(folder->Fd());
      DIR* listing = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
      if (listing == nullptr) {
        if (listFd >= 0) ::close(listFd);
        continue;
      }
      while (const dirent* item = ::readdir(listing)) {
        const std::string_view name = item->d_name;
        if (name == "." || name == ".." || name.starts_with(kTempPrefix)) continue;
        names.emplace_back(name);
      }
      ::closedir(listing);
    }
    for (const std::string& name : names) {
      if (Stopped()) {
        report_.summary.stopped = true;
        break;
      }
      if (failed_) break;
      struct stat info {};
      if (::fstatat(folder->Fd(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
      if (S_ISDIR(info.st_mode)) {
        std::vector<std::string> below = path;
        below.push_back(name);
        pending.push_back(std::move(below));
        continue;
      }
      if (!S_ISREG(info.st_mode)) continue;
      ++report_.summary.filesExamined;
      std::array<std::byte, 6> head{};
      {
        Fd probe(::openat(folder->Fd(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (probe.fd < 0) continue;
        const ssize_t got = ::pread(probe.fd, head.data(), head.size(), 0);
        if (got <= 0) continue;
        const CompressionFormat format = DetectCompression(
            std::span<const std::byte>(head.data(), static_cast<std::size_t>(got)));
        if (format == CompressionFormat::kNone) continue;
        RestoreFile(*folder, JoinPath(relativeFolder, name), name, format, info);
      }
    }
  }
  return std::move(report_);
}

}  // namespace

CompressionFormat DetectCompression(std::span<const std::byte> head) {
  auto at = [&head](std::size_t i) {
    return i < head.size() ? static_cast<std::uint8_t>(head[i]) : std::uint8_t{0};
  };
  if (head.size() >= 2 && at(0) == 0x1F && at(1) == 0x9D) return CompressionFormat::kCompress;
  if (head.size() >= 3 && at(0) == 0x1F && at(1) == 0x8B && at(2) == 0x08) {
    return CompressionFormat::kGzip;
  }
  if (head.size() >= 4 && at(0) == 'B' && at(1) == 'Z' && at(2) == 'h' && at(3) >= '1' &&
      at(3) <= '9') {
    return CompressionFormat::kBzip2;
  }
  if (head.size() >= 6 && at(0) == 0xFD && at(1) == '7' && at(2) == 'z' && at(3) == 'X' &&
      at(4) == 'Z' && at(5) == 0x00) {
    return CompressionFormat::kXz;
  }
  return CompressionFormat::kNone;
}

std::string_view CompressionName(CompressionFormat format) {
  switch (format) {
    case CompressionFormat::kCompress:
      return "compress";
    case CompressionFormat::kGzip:
      return "gzip";
    case CompressionFormat::kBzip2:
      return "bzip2";
    case CompressionFormat::kXz:
      return "xz";
    case CompressionFormat::kNone:
      break;
  }
  return "none";
}

std::string RestoredName(std::string_view name, CompressionFormat format) {
  struct Suffix {
    std::string_view suffix;
    std::string_view replacement;
    CompressionFormat format;
  };
  static constexpr Suffix kSuffixes[] = {
      {".tar.Z", ".tar", CompressionFormat::kCompress},
      {".taz", ".tar", CompressionFormat::kCompress},
      {".Z", "", CompressionFormat::kCompress},
      {".tgz", ".tar", CompressionFormat::kGzip},
      {".gz", "", CompressionFormat::kGzip},
      {".z", "", CompressionFormat::kGzip},
      {".tbz2", ".tar", CompressionFormat::kBzip2},
      {".tbz", ".tar", CompressionFormat::kBzip2},
      {".bz2", "", CompressionFormat::kBzip2},
      {".txz", ".tar", CompressionFormat::kXz},
      {".xz", "", CompressionFormat::kXz},
  };
  for (const Suffix& s : kSuffixes) {
    if (s.format != format || !EndsWith(name, s.suffix)) continue;
    std::string restored(name.substr(0, name.size() - s.suffix.size()));
    if (s.suffix == ".tar.Z")
      restored += ".tar";
    else
      restored += s.replacement;
    return restored;
  }
  return fmt::format("{}.restored", name);
}

std::string_view RestoreStatusName(RestoreStatus status) {
  switch (status) {
    case RestoreStatus::kRestored:
      return "restored";
    case RestoreStatus::kDamaged:
      return "damaged";
    case RestoreStatus::kFailed:
      return "failed";
  }
  return "";
}

std::string RestoreSummaryLine(const RestoreSummary& summary) {
  return fmt::format("{} files examined, {} restored, {} damaged, {} failed", summary.filesExamined,
                     summary.restored, summary.damaged, summary.failed);
}

std::expected<RestoreReport, Error> RestoreCompressedFiles(const std::string& folder,
                                                           RestoreObserver& observer,
                                                           StopToken stop) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(HostError(errno, "open folder", folder));
  Restorer restorer(folder, observer, stop);
  return restorer.Run(FolderHandle(fd));
}

void RestoreWorker::Start(std::string folder, RestoreObserver& observer,
                          std::function<void()> onFinished) {
  Join();
  finished_.store(false, std::memory_order_release);
  stop_.Clear();
  thread_ = std::jthread(
      [this, folder = std::move(folder), &observer, onFinished = std::move(onFinished)] {
        std::expected<RestoreReport, Error> outcome =
            std::unexpected(Error{ErrorCode::kIoError, "The restore work failed", std::nullopt});
        try {
          outcome = RestoreCompressedFiles(folder, observer, StopToken(stop_));
        } catch (const std::exception& problem) {
          outcome = std::unexpected(Error{ErrorCode::kIoError, problem.what(), std::nullopt});
        } catch (...) {
        }
        {
          std::lock_guard lock(mutex_);
          result_ = std::move(outcome);
        }
        finished_.store(true, std::memory_order_release);
        if (onFinished) onFinished();
      });
}

void RestoreWorker::Join() {
  if (thread_.joinable()) thread_.join();
}

std::optional<std::expected<RestoreReport, Error>> RestoreWorker::Result() const {
  std::lock_guard lock(mutex_);
  return result_;
}

}  // namespace tolvar
