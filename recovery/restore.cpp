#include "recovery/restore.hpp"

#include <archive.h>
#include <bzlib.h>
#include <dirent.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <lzma.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <memory>

#include "recovery/host_names.hpp"
#include "recovery/host_writer.hpp"

namespace tolvar {
namespace {

constexpr std::size_t kChunk = 64 * 1024;
// A restored file that is itself compressed is restored in turn, this many
// layers deep at most (a file that decodes to itself must not loop).
constexpr int kMaxLayers = 4;
// What xz may use to decode: the largest dictionaries of ordinary files fit.
constexpr std::uint64_t kXzMemoryLimit = std::uint64_t{512} << 20;

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

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() > suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

std::string JoinPath(std::string_view folder, std::string_view name) {
  if (folder.empty()) return std::string(name);
  return fmt::format("{}/{}", folder, name);
}

std::string MiB(std::uint64_t bytes) {
  return fmt::format("{:.1f} MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
}

// The compressed file, read in chunks; a decoder consumes what it used and
// may look ahead (between gzip members, say) before consuming.
class InputBuffer {
 public:
  explicit InputBuffer(int fd) : fd_(fd), bytes_(2 * kChunk) {}

  [[nodiscard]] std::span<const std::byte> Data() const {
    return {bytes_.data() + begin_, end_ - begin_};
  }
  void Consume(std::size_t count) { begin_ += std::min(count, end_ - begin_); }
  // Reads more behind what is left; false at the end of the file or on an
  // error (ReadError tells which).
  bool Fill() {
    if (begin_ != 0) {
      std::memmove(bytes_.data(), bytes_.data() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    if (end_ == bytes_.size()) return true;
    while (true) {
      const ssize_t got = ::read(fd_, bytes_.data() + end_, bytes_.size() - end_);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) readError_ = errno;
      if (got <= 0) return false;
      end_ += static_cast<std::size_t>(got);
      return true;
    }
  }
  // Makes at least `count` bytes available when the file has them.
  bool Ensure(std::size_t count) {
    while (end_ - begin_ < count) {
      if (!Fill()) return false;
    }
    return true;
  }
  [[nodiscard]] int ReadError() const { return readError_; }

 private:
  int fd_;
  std::vector<std::byte> bytes_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  int readError_ = 0;
};

enum class DecodeEnd { kVerified, kUnverified, kDamaged, kTooLarge, kStopped, kWriteFailed };

struct DecodeResult {
  DecodeEnd end = DecodeEnd::kVerified;
  std::string why;
};

DecodeResult Damaged(std::string why) { return {DecodeEnd::kDamaged, std::move(why)}; }

// Where decoded bytes go: the pending file, within the cap, as long as no
// stop was requested.
class OutputSink {
 public:
  OutputSink(PendingFile& file, std::uint64_t cap, std::string capReason, StopToken stop)
      : file_(file), cap_(cap), capReason_(std::move(capReason)), stop_(stop) {}

  // False when decoding must end; Result() says why.
  bool Put(std::span<const std::byte> bytes) {
    if (stop_.StopRequested()) {
      result_ = {DecodeEnd::kStopped, "the work was stopped while it was decoded"};
      return false;
    }
    if (bytes.empty()) return true;
    if (file_.Written() + bytes.size() > cap_) {
      result_ = {DecodeEnd::kTooLarge, capReason_};
      return false;
    }
    if (auto written = file_.Write(bytes); !written) {
      result_ = {DecodeEnd::kWriteFailed, written.error().message};
      writeError_ = written.error();
      return false;
    }
    return true;
  }
  [[nodiscard]] const DecodeResult& Result() const { return result_; }
  [[nodiscard]] const std::optional<Error>& WriteError() const { return writeError_; }

 private:
  PendingFile& file_;
  std::uint64_t cap_;
  std::string capReason_;
  StopToken stop_;
  DecodeResult result_;
  std::optional<Error> writeError_;
};

DecodeResult ReadFailure(const InputBuffer& input) {
  return {DecodeEnd::kWriteFailed,
          fmt::format("it could not be read: {}", std::strerror(input.ReadError()))};
}

// What follows the end of a member or stream: more of them (true), zero
// padding up to the end (false, nothing left), or other bytes (false,
// `trailing` counts them).
bool AnotherMemberFollows(InputBuffer& input, std::span<const std::uint8_t> magic,
                          std::uint64_t& trailing) {
  while (true) {
    if (input.Data().empty() && !input.Fill()) return false;
    const std::span<const std::byte> data = input.Data();
    std::size_t zeros = 0;
    while (zeros < data.size() && data[zeros] == std::byte{0}) ++zeros;
    if (zeros < data.size()) break;
    input.Consume(zeros);
  }
  (void)input.Ensure(magic.size());
  const std::span<const std::byte> data = input.Data();
  bool matches = data.size() >= magic.size();
  for (std::size_t i = 0; matches && i < magic.size(); ++i) {
    matches = static_cast<std::uint8_t>(data[i]) == magic[i];
  }
  if (matches) return true;
  // Not ours: count what is left without decoding it.
  trailing = 0;
  do {
    trailing += input.Data().size();
    input.Consume(input.Data().size());
  } while (input.Fill());
  return false;
}

DecodeResult TrailingBytes(std::uint64_t trailing, std::string_view format) {
  return {DecodeEnd::kUnverified,
          fmt::format("{} bytes after the {} data are not part of it and were left out", trailing,
                      format)};
}

// gzip, member after member: zlib checks each member's CRC-32 and length.
DecodeResult DecodeGzip(InputBuffer& input, OutputSink& sink) {
  z_stream stream{};
  if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK)
    return {DecodeEnd::kWriteFailed, "out of memory"};
  struct End {
    z_stream& s;
    ~End() { inflateEnd(&s); }
  } end{stream};
  static constexpr std::array<std::uint8_t, 2> kMagic = {0x1F, 0x8B};
  std::vector<std::byte> out(kChunk);
  bool inMember = true;
  std::uint64_t trailing = 0;
  while (true) {
    if (!inMember) {
      if (!AnotherMemberFollows(input, kMagic, trailing)) break;
      inflateReset(&stream);
      inMember = true;
    }
    if (input.Data().empty() && !input.Fill()) break;
    const std::span<const std::byte> data = input.Data();
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(data.data()));
    stream.avail_in = static_cast<uInt>(std::min<std::size_t>(data.size(), UINT_MAX));
    const uInt offered = stream.avail_in;
    int status = Z_OK;
    do {
      stream.next_out = reinterpret_cast<Bytef*>(out.data());
      stream.avail_out = static_cast<uInt>(out.size());
      status = inflate(&stream, Z_NO_FLUSH);
      if (status == Z_NEED_DICT || status == Z_DATA_ERROR || status == Z_MEM_ERROR ||
          status == Z_STREAM_ERROR) {
        return Damaged(stream.msg != nullptr ? stream.msg : "it does not decode");
      }
      if (!sink.Put({out.data(), out.size() - stream.avail_out})) return sink.Result();
    } while (status == Z_OK && stream.avail_out == 0);
    input.Consume(offered - stream.avail_in);
    if (status == Z_STREAM_END) inMember = false;
  }
  if (input.ReadError() != 0) return ReadFailure(input);
  if (inMember) return Damaged("it ends before its last member does");
  if (trailing != 0) return TrailingBytes(trailing, "gzip");
  return {};
}

// bzip2, stream after stream: libbz2 checks each block's and stream's CRC.
DecodeResult DecodeBzip2(InputBuffer& input, OutputSink& sink) {
  bz_stream stream{};
  bool open = BZ2_bzDecompressInit(&stream, 0, 0) == BZ_OK;
  if (!open) return {DecodeEnd::kWriteFailed, "out of memory"};
  struct End {
    bz_stream& s;
    bool& open;
    ~End() {
      if (open) BZ2_bzDecompressEnd(&s);
    }
  } end{stream, open};
  static constexpr std::array<std::uint8_t, 3> kMagic = {'B', 'Z', 'h'};
  std::vector<std::byte> out(kChunk);
  bool inStream = true;
  std::uint64_t trailing = 0;
  while (true) {
    if (!inStream) {
      if (!AnotherMemberFollows(input, kMagic, trailing)) break;
      BZ2_bzDecompressEnd(&stream);
      stream = bz_stream{};
      open = BZ2_bzDecompressInit(&stream, 0, 0) == BZ_OK;
      if (!open) return {DecodeEnd::kWriteFailed, "out of memory"};
      inStream = true;
    }
    if (input.Data().empty() && !input.Fill()) break;
    const std::span<const std::byte> data = input.Data();
    stream.next_in = reinterpret_cast<char*>(const_cast<std::byte*>(data.data()));
    stream.avail_in = static_cast<unsigned>(std::min<std::size_t>(data.size(), UINT_MAX));
    const unsigned offered = stream.avail_in;
    int status = BZ_OK;
    do {
      stream.next_out = reinterpret_cast<char*>(out.data());
      stream.avail_out = static_cast<unsigned>(out.size());
      status = BZ2_bzDecompress(&stream);
      if (status != BZ_OK && status != BZ_STREAM_END) {
        return Damaged(status == BZ_MEM_ERROR ? "out of memory" : "it does not decode");
      }
      if (!sink.Put({out.data(), out.size() - stream.avail_out})) return sink.Result();
    } while (status == BZ_OK && stream.avail_out == 0);
    input.Consume(offered - stream.avail_in);
    if (status == BZ_STREAM_END) inStream = false;
  }
  if (input.ReadError() != 0) return ReadFailure(input);
  if (inStream) return Damaged("it ends before its last stream does");
  if (trailing != 0) return TrailingBytes(trailing, "bzip2");
  return {};
}

// xz: liblzma checks each block (CRC-32, CRC-64 or SHA-256) and the sizes
// the index records; concatenated streams and stream padding are read too.
DecodeResult DecodeXz(InputBuffer& input, OutputSink& sink) {
  lzma_stream stream = LZMA_STREAM_INIT;
  if (lzma_stream_decoder(&stream, kXzMemoryLimit,
                          LZMA_CONCATENATED | LZMA_TELL_UNSUPPORTED_CHECK | LZMA_TELL_NO_CHECK) !=
      LZMA_OK) {
    return {DecodeEnd::kWriteFailed, "out of memory"};
  }
  struct End {
    lzma_stream& s;
    ~End() { lzma_end(&s); }
  } end{stream};
  std::vector<std::byte> out(kChunk);
  bool uncheckable = false;
  bool noCheck = false;  // a stream whose check type is None: nothing vouches for its content
  bool atEnd = false;
  while (true) {
    if (input.Data().empty() && !atEnd && !input.Fill()) atEnd = true;
    if (atEnd && input.ReadError() != 0) return ReadFailure(input);
    const std::span<const std::byte> data = input.Data();
    stream.next_in = reinterpret_cast<const std::uint8_t*>(data.data());
    stream.avail_in = data.size();
    const std::size_t offered = stream.avail_in;
    lzma_ret status = LZMA_OK;
    do {
      stream.next_out = reinterpret_cast<std::uint8_t*>(out.data());
      stream.avail_out = out.size();
      status = lzma_code(&stream, atEnd ? LZMA_FINISH : LZMA_RUN);
      if (status == LZMA_UNSUPPORTED_CHECK) {
        uncheckable = true;
        status = LZMA_OK;
      }
      if (status == LZMA_NO_CHECK) {
        noCheck = true;
        status = LZMA_OK;
      }
      if (!sink.Put({out.data(), out.size() - stream.avail_out})) return sink.Result();
    } while (status == LZMA_OK && stream.avail_out == 0);
    input.Consume(offered - stream.avail_in);
    if (status == LZMA_STREAM_END) break;
    switch (status) {
      case LZMA_OK:
        if (atEnd) return Damaged("it ends early");
        continue;
      case LZMA_BUF_ERROR:
        return Damaged("it ends early");
      case LZMA_MEMLIMIT_ERROR:
        return {DecodeEnd::kWriteFailed,
                fmt::format("it needs more than {} of memory to decode", MiB(kXzMemoryLimit))};
      case LZMA_MEM_ERROR:
        return {DecodeEnd::kWriteFailed, "out of memory"};
      case LZMA_FORMAT_ERROR:
      case LZMA_OPTIONS_ERROR:
        return Damaged("its headers are not those of xz data this reader knows");
      default:
        return Damaged("it does not decode");
    }
  }
  // The index's recorded sizes were checked either way; an unknown check
  // type leaves the content itself unconfirmed.
  if (uncheckable) return {DecodeEnd::kUnverified, "its check type is unknown to this reader"};
  if (noCheck) {
    return {DecodeEnd::kUnverified,
            "the xz data holds no integrity check, so the result cannot be confirmed; the "
            "original is kept"};
  }
  return {};
}

// compress (LZW) records no check sum and no length: a truncated or
// corrupted stream decodes to something all the same.
DecodeResult DecodeCompress(int fd, OutputSink& sink) {
  std::unique_ptr<archive, ArchiveCloser> reader(archive_read_new());
  if (!reader) return {DecodeEnd::kWriteFailed, "out of memory"};
  // Only this one filter: a compressed stream inside is the next layer's.
  archive_read_support_filter_compress(reader.get());
  archive_read_support_format_raw(reader.get());
  archive_read_support_format_empty(reader.get());
  auto why = [&reader](std::string_view fallback) {
    const char* text = archive_error_string(reader.get());
    return std::string(text != nullptr ? text : fallback);
  };
  if (archive_read_open_fd(reader.get(), fd, kChunk) != ARCHIVE_OK) {
    return Damaged(why("unreadable"));
  }
  archive_entry* header = nullptr;
  const int headerResult = archive_read_next_header(reader.get(), &header);
  if (headerResult != ARCHIVE_OK && headerResult != ARCHIVE_EOF) return Damaged(why("no data"));
  if (archive_filter_code(reader.get(), 0) != ARCHIVE_FILTER_COMPRESS) {
    return Damaged("the data does not decode as it starts");
  }
  std::vector<std::byte> out(kChunk);
  while (headerResult == ARCHIVE_OK) {
    const la_ssize_t got = archive_read_data(reader.get(), out.data(), out.size());
    if (got == 0) break;
    if (got < 0) return Damaged(why("decoding failed"));
    if (!sink.Put({out.data(), static_cast<std::size_t>(got)})) return sink.Result();
  }
  return {DecodeEnd::kUnverified,
          "compress data holds no check sum or length, so the result cannot be confirmed; the "
          "original was kept"};
}

class Restorer {
 public:
  Restorer(std::string folder, RestoreObserver& observer, StopToken stop,
           const RestoreLimits& limits)
      : folder_(std::move(folder)), observer_(observer), stop_(stop), limits_(limits) {}

  RestoreReport Run(FolderHandle root);

 private:
  // Restores one layer; returns the restored file's name when there is one.
  std::optional<std::string> RestoreFile(const FolderHandle& folder, const std::string& relative,
                                         const std::string& name, CompressionFormat format,
                                         const struct stat& info);
  // The cap for one file, and the reason given when it is reached.
  [[nodiscard]] std::pair<std::uint64_t, std::string> CapFor(const FolderHandle& folder,
                                                             CompressionFormat format,
                                                             std::uint64_t compressed) const;
  [[nodiscard]] std::optional<FolderHandle> OpenRelative(const FolderHandle& root,
                                                         const std::vector<std::string>& path);
  [[nodiscard]] bool Stopped() const { return stop_.StopRequested(); }
  void EndRun(const Error& error) {
    failed_ = true;
    report_.summary.stopped = true;
    report_.summary.stopMessage = error.message;
  }

  std::string folder_;
  RestoreObserver& observer_;
  StopToken stop_;
  RestoreLimits limits_;
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

std::pair<std::uint64_t, std::string> Restorer::CapFor(const FolderHandle& folder,
                                                       CompressionFormat format,
                                                       std::uint64_t compressed) const {
  const std::uint64_t ratio =
      format == CompressionFormat::kGzip ? limits_.gzipRatio : limits_.ratio;
  const std::uint64_t byRatio = compressed > limits_.minimumCap / std::max<std::uint64_t>(ratio, 1)
                                    ? compressed * ratio
                                    : limits_.minimumCap;
  struct statvfs space {};
  if (::fstatvfs(folder.Fd(), &space) == 0) {
    const std::uint64_t freeBytes = std::uint64_t{space.f_bavail} * space.f_frsize;
    const std::uint64_t usable =
        freeBytes > limits_.reserveBytes ? freeBytes - limits_.reserveBytes : 0;
    if (usable < byRatio) {
      return {usable, fmt::format("it does not fit in the free space of the destination ({} "
                                  "free); the original was kept",
                                  MiB(freeBytes))};
    }
  }
  return {byRatio, fmt::format("it expands to more than {} ({} times its size), which no "
                               "ordinary file does; the original was kept",
                               MiB(byRatio), byRatio / std::max<std::uint64_t>(compressed, 1))};
}

std::optional<std::string> Restorer::RestoreFile(const FolderHandle& folder,
                                                 const std::string& relative,
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
      case RestoreStatus::kUnverified:
        ++report_.summary.unverified;
        break;
      case RestoreStatus::kDamaged:
        ++report_.summary.damaged;
        break;
      case RestoreStatus::kFailed:
        ++report_.summary.failed;
        break;
      case RestoreStatus::kStopped:
        report_.summary.stopped = true;
        break;
    }
    report_.entries.push_back(std::move(entry));
  };

  Fd input(::openat(folder.Fd(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (input.fd < 0) {
    record(RestoreStatus::kFailed, HostError(errno, "open", relative).message);
    return std::nullopt;
  }
  const std::string restoredName = RestoredName(name, format);
  const std::string parent =
      relative.size() > name.size() ? relative.substr(0, relative.size() - name.size() - 1) : "";
  const std::string display = fmt::format("{}/{}", folder_, JoinPath(parent, restoredName));
  auto pending = PendingFile::Create(folder, display);
  if (!pending) {
    if (StopsTheRun(pending.error())) EndRun(pending.error());
    record(RestoreStatus::kFailed, pending.error().message);
    return std::nullopt;
  }
  auto [cap, capReason] = CapFor(folder, format, entry.compressedBytes);
  OutputSink sink(*pending, cap, std::move(capReason), stop_);
  InputBuffer buffered(input.fd);
  DecodeResult decoded;
  switch (format) {
    case CompressionFormat::kGzip:
      decoded = DecodeGzip(buffered, sink);
      break;
    case CompressionFormat::kBzip2:
      decoded = DecodeBzip2(buffered, sink);
      break;
    case CompressionFormat::kXz:
      decoded = DecodeXz(buffered, sink);
      break;
    case CompressionFormat::kCompress:
      decoded = DecodeCompress(input.fd, sink);
      break;
    case CompressionFormat::kNone:
      decoded = Damaged("not compressed");
      break;
  }
  switch (decoded.end) {
    case DecodeEnd::kVerified:
    case DecodeEnd::kUnverified:
      break;
    case DecodeEnd::kDamaged:
      pending->Abandon();
      record(RestoreStatus::kDamaged, fmt::format("damaged {} data, left as it was: {}",
                                                  CompressionName(format), decoded.why));
      return std::nullopt;
    case DecodeEnd::kTooLarge:
      pending->Abandon();
      record(RestoreStatus::kFailed, std::move(decoded.why));
      return std::nullopt;
    case DecodeEnd::kStopped:
      pending->Abandon();
      record(RestoreStatus::kStopped, std::move(decoded.why));
      return std::nullopt;
    case DecodeEnd::kWriteFailed:
      pending->Abandon();
      if (sink.WriteError() && StopsTheRun(*sink.WriteError())) EndRun(*sink.WriteError());
      record(RestoreStatus::kFailed, std::move(decoded.why));
      return std::nullopt;
  }

  const std::uint64_t restoredBytes = pending->Written();
  const timespec keep = info.st_mtim;
  auto placed = pending->Commit(restoredName, restoredBytes, std::int64_t{keep.tv_sec},
                                DuplicatePolicy::kRename, false);
  if (!placed || !placed->has_value()) {
    const std::string why = placed ? "no free name" : placed.error().message;
    if (!placed && StopsTheRun(placed.error())) EndRun(placed.error());
    record(RestoreStatus::kFailed, why);
    return std::nullopt;
  }
  entry.restoredBytes = restoredBytes;
  entry.restoredPath = JoinPath(parent, **placed);
  if (decoded.end == DecodeEnd::kUnverified) {
    record(RestoreStatus::kUnverified, std::move(decoded.why));
    return **placed;
  }
  // The format vouches for the restored file, which is in place with its
  // size checked: only now does the original go.
  struct stat restored {};
  if (::fstatat(folder.Fd(), (*placed)->c_str(), &restored, AT_SYMLINK_NOFOLLOW) != 0 ||
      static_cast<std::uint64_t>(restored.st_size) != restoredBytes) {
    record(RestoreStatus::kFailed, "the restored file changed size; the original was kept");
    return std::nullopt;
  }
  if (::unlinkat(folder.Fd(), name.c_str(), 0) != 0) {
    record(RestoreStatus::kRestored,
           fmt::format("the original could not be removed: {}", std::strerror(errno)));
  } else {
    record(RestoreStatus::kRestored, "");
  }
  return **placed;
}

// The format of the regular file `name` in `folder`, from its first bytes.
std::optional<CompressionFormat> ProbeFile(const FolderHandle& folder, const std::string& name) {
  Fd probe(::openat(folder.Fd(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (probe.fd < 0) return std::nullopt;
  std::array<std::byte, 6> head{};
  const ssize_t got = ::pread(probe.fd, head.data(), head.size(), 0);
  if (got <= 0) return std::nullopt;
  const CompressionFormat format =
      DetectCompression(std::span<const std::byte>(head.data(), static_cast<std::size_t>(got)));
  if (format == CompressionFormat::kNone) return std::nullopt;
  return format;
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
        if (name == "." || name == "..") continue;
        names.emplace_back(name);
      }
      ::closedir(listing);
    }
    for (const std::string& name : names) {
      if (IsPartialName(name)) {
        // A file an interrupted run was writing: incomplete by construction.
        if (RemoveLeftoverPartial(*folder, name)) {
          report_.leftoversRemoved.push_back(JoinPath(relativeFolder, name));
        }
        continue;
      }
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
      std::optional<CompressionFormat> format = ProbeFile(*folder, name);
      std::string current = name;
      // Each layer that restores and is itself compressed is restored in turn.
      for (int layer = 0; format && layer < kMaxLayers && !failed_ && !Stopped(); ++layer) {
        std::optional<std::string> restored =
            RestoreFile(*folder, JoinPath(relativeFolder, current), current, *format, info);
        if (!restored) break;
        current = *restored;
        if (::fstatat(folder->Fd(), current.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(info.st_mode)) {
          break;
        }
        format = ProbeFile(*folder, current);
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
  // compress: the third byte holds the largest code width (9 to 16 bits)
  // and the block mode bit; the two bits between are never set.
  if (head.size() >= 3 && at(0) == 0x1F && at(1) == 0x9D && (at(2) & 0x60) == 0 &&
      (at(2) & 0x1F) >= 9 && (at(2) & 0x1F) <= 16) {
    return CompressionFormat::kCompress;
  }
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
    case RestoreStatus::kUnverified:
      return "unverified";
    case RestoreStatus::kStopped:
      return "stopped";
  }
  return "";
}

std::string RestoreSummaryLine(const RestoreSummary& summary) {
  std::string line =
      fmt::format("{} files examined, {} restored", summary.filesExamined, summary.restored);
  if (summary.unverified != 0) {
    line += fmt::format(", {} restored unverified (originals kept)", summary.unverified);
  }
  line += fmt::format(", {} damaged, {} failed", summary.damaged, summary.failed);
  if (summary.stopped) line += ", stopped before the end";
  return line;
}

std::expected<RestoreReport, Error> RestoreCompressedFiles(const std::string& folder,
                                                           RestoreObserver& observer,
                                                           StopToken stop,
                                                           const RestoreLimits& limits) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(HostError(errno, "open folder", folder));
  Restorer restorer(folder, observer, stop, limits);
  return restorer.Run(FolderHandle(fd));
}

}  // namespace tolvar
