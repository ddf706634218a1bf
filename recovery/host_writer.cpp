#include "recovery/host_writer.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <utility>

#include "recovery/host_names.hpp"
#include "recovery/md5_lanes.hpp"

namespace tolvar {
namespace {

// "%" followed by anything but two hex digits never comes out of
// EscapeHostName, so no recovered or restored file can bear this name and
// the cleanup of leftovers can never take one of them.
constexpr std::string_view kTempPrefix = ".tolvar%partial-";
constexpr unsigned kMaxNameAttempts = 100000;
// Jobs a writer thread takes at once: enough to keep the MD5 lanes full
// while the files differ in size, few enough that the oldest is soon done.
constexpr std::size_t kJobsTakenAtOnce = 16;

int RetryOnInterrupt(auto call) {
  int result = 0;
  do {
    result = call();
  } while (result < 0 && errno == EINTR);
  return result;
}

std::string ReadSmallFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  std::string value = text.str();
  while (!value.empty() && (value.back() == '\n' || value.back() == ' ')) value.pop_back();
  return value;
}

std::string DeviceKey(dev_t device) { return fmt::format("{}:{}", major(device), minor(device)); }

// Whether the file system holding the destination lives on `sourceDevice`
// (the disk itself, or one of its partitions), per sysfs.
bool DeviceBelongsTo(dev_t destination, dev_t sourceDevice, const std::string& sysfsRoot) {
  if (destination == sourceDevice) return true;
  std::error_code ignored;
  const std::filesystem::path node =
      std::filesystem::path(sysfsRoot) / "dev" / "block" / DeviceKey(destination);
  const std::filesystem::path real = std::filesystem::canonical(node, ignored);
  if (real.empty()) return false;
  if (!std::filesystem::exists(real / "partition", ignored)) return false;
  return ReadSmallFile(real.parent_path() / "dev") == DeviceKey(sourceDevice);
}

// Whether the destination's file system is a loop device backed by `image`.
bool LoopBackedBy(dev_t destination, const std::filesystem::path& image,
                  const std::string& sysfsRoot) {
  std::error_code ignored;
  const std::filesystem::path node =
      std::filesystem::path(sysfsRoot) / "dev" / "block" / DeviceKey(destination);
  std::filesystem::path real = std::filesystem::canonical(node, ignored);
  if (real.empty()) return false;
  // A partition of a loop device: look at the whole device.
  if (std::filesystem::exists(real / "partition", ignored)) real = real.parent_path();
  const std::string backing = ReadSmallFile(real / "loop" / "backing_file");
  if (backing.empty()) return false;
  const std::filesystem::path canonicalImage = std::filesystem::weakly_canonical(image, ignored);
  return backing == canonicalImage.string();
}

Error Refused(std::string message) {
  return Error{ErrorCode::kInvalidArgument, std::move(message), std::nullopt};
}

}  // namespace

FolderHandle::FolderHandle(int fd) : fd_(fd) {}
FolderHandle::~FolderHandle() { Close(); }
FolderHandle::FolderHandle(FolderHandle&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
FolderHandle& FolderHandle::operator=(FolderHandle&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}
void FolderHandle::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::optional<FolderIdentity> IdentityOf(const FolderHandle& folder) {
  struct stat info {};
  if (::fstat(folder.Fd(), &info) != 0) return std::nullopt;
  return FolderIdentity{info.st_dev, info.st_ino};
}

bool StopsTheRun(const Error& error) {
  return error.code == ErrorCode::kNoSpace || error.code == ErrorCode::kPermission ||
         error.code == ErrorCode::kIoError;
}

Error HostError(int code, std::string_view what, std::string_view displayPath) {
  ErrorCode kind = ErrorCode::kInvalidArgument;
  switch (code) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      kind = ErrorCode::kNoSpace;
      break;
    case EACCES:
    case EPERM:
    case EROFS:
      kind = ErrorCode::kPermission;
      break;
    case EIO:
    case EMFILE:
    case ENFILE:
    case ENOMEM:
      kind = ErrorCode::kIoError;
      break;
    default:
      break;
  }
  return Error{kind, fmt::format("Cannot {} \"{}\": {}", what, displayPath, std::strerror(code)),
               std::nullopt};
}

std::expected<FolderHandle, Error> OpenDestination(const std::string& destination,
                                                   const std::string& sourcePath,
                                                   const std::string& sysfsRoot) {
  if (destination.empty()) return std::unexpected(Refused("No destination folder given"));
  struct stat source {};
  const bool haveSource = !sourcePath.empty() && ::stat(sourcePath.c_str(), &source) == 0;

  struct stat before {};
  if (::stat(destination.c_str(), &before) != 0) {
    if (errno != ENOENT) return std::unexpected(HostError(errno, "open", destination));
    if (::mkdir(destination.c_str(), 0777) != 0 && errno != EEXIST) {
      return std::unexpected(HostError(errno, "create folder", destination));
    }
  } else if (!S_ISDIR(before.st_mode)) {
    if (haveSource && before.st_dev == source.st_dev && before.st_ino == source.st_ino) {
      return std::unexpected(Refused(fmt::format(
          "The destination \"{}\" is the source itself; choose another folder", destination)));
    }
    return std::unexpected(
        Refused(fmt::format("The destination \"{}\" is not a folder", destination)));
  }

  const int fd = ::open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(HostError(errno, "open", destination));
  FolderHandle handle(fd);
  struct stat info {};
  if (::fstat(fd, &info) != 0) return std::unexpected(HostError(errno, "open", destination));

  if (haveSource) {
    const bool onSource =
        (S_ISBLK(source.st_mode) && DeviceBelongsTo(info.st_dev, source.st_rdev, sysfsRoot)) ||
        (S_ISREG(source.st_mode) && LoopBackedBy(info.st_dev, sourcePath, sysfsRoot));
    if (onSource) {
      return std::unexpected(Refused(fmt::format(
          "The destination \"{}\" lies on the source drive \"{}\"; recovered files must go to "
          "another drive",
          destination, sourcePath)));
    }
  }
  return handle;
}

namespace {

NameState LookUpNameAt(int folderFd, const std::string& name) {
  struct stat info {};
  if (::fstatat(folderFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? NameState::kFree : NameState::kOther;
  }
  return S_ISDIR(info.st_mode) ? NameState::kFolder : NameState::kOther;
}

std::optional<std::string> FirstFreeDuplicate(int folderFd, const std::string& name,
                                              unsigned from) {
  for (unsigned n = from; n < kMaxNameAttempts; ++n) {
    std::string candidate = DuplicateName(name, n);
    if (LookUpNameAt(folderFd, candidate) == NameState::kFree) return candidate;
  }
  return std::nullopt;
}

Error NoFreeName(std::string_view displayPath) {
  return Error{ErrorCode::kInvalidArgument, fmt::format("No free name for \"{}\"", displayPath),
               std::nullopt};
}

// Renames `temp` into place under the policy; nullopt when skipped. The name
// was chosen by looking first (ChooseName); an entry that appeared since is
// never replaced except under Overwrite, and a folder never is.
std::expected<std::optional<std::string>, Error> PlaceEntry(int folderFd, const std::string& temp,
                                                            const std::string& name,
                                                            DuplicatePolicy policy,
                                                            std::string_view displayPath) {
  std::string candidate = name;
  unsigned next = 1;
  for (unsigned attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
    int result = 0;
    if (policy == DuplicatePolicy::kOverwrite) {
      result = ::renameat(folderFd, temp.c_str(), folderFd, candidate.c_str());
    } else {
      result = ::renameat2(folderFd, temp.c_str(), folderFd, candidate.c_str(), RENAME_NOREPLACE);
      if (result != 0 && (errno == EINVAL || errno == ENOSYS)) {
        // A file system without no-replace renames: a hard link never replaces.
        result = ::linkat(folderFd, temp.c_str(), folderFd, candidate.c_str(), 0);
        if (result == 0) ::unlinkat(folderFd, temp.c_str(), 0);
      }
    }
    if (result == 0) return std::optional<std::string>{candidate};
    const int error = errno;
    if (error == EEXIST || error == ENOTEMPTY || error == EISDIR) {
      if (policy == DuplicatePolicy::kSkip) return std::optional<std::string>{};
      // Under Overwrite only a folder gets here: it takes a new name instead.
      policy = DuplicatePolicy::kRename;
      auto free = FirstFreeDuplicate(folderFd, name, next);
      if (!free) return std::unexpected(NoFreeName(displayPath));
      candidate = *free;
      ++next;
      continue;
    }
    return std::unexpected(HostError(error, "write", displayPath));
  }
  return std::unexpected(NoFreeName(displayPath));
}

std::expected<std::string, Error> CreateTempEntry(int folderFd, std::string_view displayPath,
                                                  auto create) {
  const auto pid = static_cast<long>(::getpid());
  for (unsigned n = 0; n < kMaxNameAttempts; ++n) {
    std::string temp = n == 0 ? fmt::format("{}{}", kTempPrefix, pid)
                              : fmt::format("{}{}-{}", kTempPrefix, pid, n);
    if (create(folderFd, temp) == 0) return temp;
    if (errno != EEXIST) return std::unexpected(HostError(errno, "create", displayPath));
  }
  return std::unexpected(Error{
      ErrorCode::kIoError, fmt::format("Cannot create \"{}\": no free temporary name", displayPath),
      std::nullopt});
}

timespec ToTimespec(std::int64_t seconds) {
  timespec value{};
  value.tv_sec = static_cast<time_t>(seconds);
  value.tv_nsec = 0;
  return value;
}

}  // namespace

NameState LookUpName(const FolderHandle& folder, const std::string& name) {
  return LookUpNameAt(folder.Fd(), name);
}

std::optional<std::string> ChooseName(const FolderHandle& folder, const std::string& name,
                                      DuplicatePolicy policy, unsigned* nextNumber) {
  const NameState state = LookUpName(folder, name);
  if (state == NameState::kFree) return name;
  switch (policy) {
    case DuplicatePolicy::kSkip:
      return std::nullopt;
    case DuplicatePolicy::kOverwrite:
      if (state != NameState::kFolder) return name;
      [[fallthrough]];
    case DuplicatePolicy::kRename: {
      const unsigned from = nextNumber != nullptr ? std::max(1u, *nextNumber) : 1;
      for (unsigned n = from; n < kMaxNameAttempts; ++n) {
        std::string candidate = DuplicateName(name, n);
        if (LookUpNameAt(folder.Fd(), candidate) == NameState::kFree) {
          if (nextNumber != nullptr) *nextNumber = n + 1;
          return candidate;
        }
      }
      return std::nullopt;
    }
  }
  return std::nullopt;
}

PendingFile::PendingFile(int folderFd, int fd, std::string tempName, std::string displayPath)
    : folderFd_(folderFd),
      fd_(fd),
      tempName_(std::move(tempName)),
      displayPath_(std::move(displayPath)) {}

PendingFile::PendingFile(PendingFile&& other) noexcept
    : folderFd_(other.folderFd_),
      fd_(std::exchange(other.fd_, -1)),
      tempName_(std::move(other.tempName_)),
      displayPath_(std::move(other.displayPath_)),
      written_(other.written_),
      endsInHole_(other.endsInHole_) {
  other.tempName_.clear();
}

PendingFile::~PendingFile() { Abandon(); }

void PendingFile::Abandon() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!tempName_.empty()) ::unlinkat(folderFd_, tempName_.c_str(), 0);
  tempName_.clear();
}

namespace {

// Whether a file made with O_TMPFILE can be given a name: linkat through
// /proc/self/fd needs no privilege, the empty-path form does.
bool CanNameAnonymousFiles() {
  static const bool available = ::access("/proc/self/fd", X_OK) == 0;
  return available;
}

std::string ProcPathOf(int fd) { return fmt::format("/proc/self/fd/{}", fd); }

}  // namespace

std::expected<PendingFile, Error> PendingFile::Create(const FolderHandle& folder,
                                                      std::string displayPath) {
  if (CanNameAnonymousFiles()) {
    // A file without a name until it is complete: nothing to clean up after
    // a crash, and no name that could meet a recovered one.
    const int anonymous = ::openat(folder.Fd(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (anonymous >= 0) return PendingFile(folder.Fd(), anonymous, {}, std::move(displayPath));
    // File systems without anonymous files refuse in several ways; a real
    // problem shows again below with the named file.
  }
  int fd = -1;
  auto temp = CreateTempEntry(folder.Fd(), displayPath, [&fd](int dirFd, const std::string& name) {
    fd = ::openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    return fd < 0 ? -1 : 0;
  });
  if (!temp) return std::unexpected(temp.error());
  return PendingFile(folder.Fd(), fd, std::move(*temp), std::move(displayPath));
}

std::expected<void, Error> PendingFile::Write(std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    const ssize_t done = ::write(fd_, bytes.data(), bytes.size());
    if (done < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(HostError(errno, "write", displayPath_));
    }
    if (done == 0) return std::unexpected(HostError(ENOSPC, "write", displayPath_));
    bytes = bytes.subspan(static_cast<std::size_t>(done));
    written_ += static_cast<std::uint64_t>(done);
    endsInHole_ = false;
  }
  return {};
}

PendingFile::KernelCopyMode& PendingFile::KernelCopyMode::operator=(const KernelCopyMode& other) {
  copyRange = other.copyRange;
  sendFile = other.sendFile;
  splice = other.splice;
  return *this;
}

bool PendingFile::KernelCopyMode::OpenPipe() {
  if (pipe_[0] >= 0) return true;
  if (::pipe2(pipe_, O_CLOEXEC) != 0) {
    pipe_[0] = pipe_[1] = -1;
    return false;
  }
  // A larger pipe moves more per call; the default size serves as well.
  (void)::fcntl(pipe_[1], F_SETPIPE_SZ, 1 << 20);
  return true;
}

void PendingFile::KernelCopyMode::ClosePipe() {
  for (int& end : pipe_) {
    if (end >= 0) ::close(end);
    end = -1;
  }
}

namespace {

// What a failed kernel copy call means.
enum class CopyFailure { kRetry, kRefused, kFull, kStopped };
CopyFailure ClassifyCopyError(int error) {
  if (error == EINTR) return CopyFailure::kRetry;
  if (error == ENOSPC || error == EDQUOT || error == EFBIG) return CopyFailure::kFull;
  if (error == EXDEV || error == EINVAL || error == EOPNOTSUPP || error == ENOSYS ||
      error == EBADF || error == ETXTBSY || error == ESPIPE) {
    return CopyFailure::kRefused;
  }
  return CopyFailure::kStopped;  // a read error, say: the drive table's reads sort it out
}

// Moves `count` bytes out of a pipe into `fd`; 0, or the errno that stopped it.
int DrainPipe(int pipeOut, int fd, ssize_t count) {
  while (count > 0) {
    const ssize_t out =
        ::splice(pipeOut, nullptr, fd, nullptr, static_cast<std::size_t>(count), SPLICE_F_MOVE);
    if (out > 0) {
      count -= out;
    } else if (out == 0) {
      return ENOSPC;
    } else if (errno != EINTR) {
      return errno;
    }
  }
  return 0;
}

}  // namespace

std::expected<bool, Error> PendingFile::CopyFromFile(int source, std::uint64_t offset,
                                                     std::uint64_t length, KernelCopyMode& mode) {
  const std::uint64_t start = written_;
  std::uint64_t done = 0;
  while (done < length && mode.Any()) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(length - done, std::uint64_t{1} << 30));
    ssize_t moved = 0;
    int error = 0;
    if (mode.copyRange) {
      auto from = static_cast<loff_t>(offset + done);
      moved = ::copy_file_range(source, &from, fd_, nullptr, want, 0);
      error = errno;
    } else if (mode.sendFile) {
      auto from = static_cast<off_t>(offset + done);
      moved = ::sendfile(fd_, source, &from, want);
      error = errno;
    } else if (!mode.OpenPipe()) {
      mode.splice = false;
      break;
    } else {
      // Into the pipe from the source, then out of it into the file.
      auto from = static_cast<loff_t>(offset + done);
      moved = ::splice(source, &from, mode.PipeIn(), nullptr, want, SPLICE_F_MOVE);
      error = errno;
      if (moved > 0) {
        if (const int outError = DrainPipe(mode.PipeOut(), fd_, moved); outError != 0) {
          // Bytes left in the pipe must not reach the next copy: a new pipe.
          mode.ClosePipe();
          if (ClassifyCopyError(outError) == CopyFailure::kFull) {
            return std::unexpected(HostError(outError, "write", displayPath_));
          }
          break;  // the ordinary way meets the problem again and reports it
        }
      }
    }
    if (moved > 0) {
      done += static_cast<std::uint64_t>(moved);
      continue;
    }
    if (moved == 0) break;  // the source ended early: read it the ordinary way
    const CopyFailure failure = ClassifyCopyError(error);
    if (failure == CopyFailure::kRetry) continue;
    if (failure == CopyFailure::kFull) {
      return std::unexpected(HostError(error, "write", displayPath_));
    }
    if (failure == CopyFailure::kStopped) break;
    if (mode.copyRange) {
      mode.copyRange = false;
    } else if (mode.sendFile) {
      mode.sendFile = false;
    } else {
      mode.splice = false;
    }
  }
  if (done == length) {
    written_ += length;
    endsInHole_ = false;
    return true;
  }
  // Whatever a short copy left is cut off again.
  if (::ftruncate(fd_, static_cast<off_t>(start)) != 0 ||
      ::lseek(fd_, static_cast<off_t>(start), SEEK_SET) < 0) {
    return std::unexpected(HostError(errno, "write", displayPath_));
  }
  return false;
}

std::expected<void, Error> PendingFile::WriteHole(std::uint64_t count) {
  if (count == 0) return {};
  if (::lseek(fd_, static_cast<off_t>(count), SEEK_CUR) < 0) {
    return std::unexpected(HostError(errno, "write", displayPath_));
  }
  written_ += count;
  endsInHole_ = true;
  return {};
}

bool PendingFile::Reserve(std::uint64_t bytes) {
  // Less when the medium has less: halve until the room is found.
  for (std::uint64_t size = bytes; size >= 4096; size /= 2) {
    if (::posix_fallocate(fd_, 0, static_cast<off_t>(size)) == 0) return true;
  }
  return false;
}

std::expected<std::optional<std::string>, Error> PendingFile::Commit(
    const std::string& name, std::uint64_t expectedSize, std::optional<std::int64_t> mtime,
    DuplicatePolicy policy, bool syncToMedium) {
  if (endsInHole_ && ::ftruncate(fd_, static_cast<off_t>(written_)) != 0) {
    return std::unexpected(HostError(errno, "write", displayPath_));
  }
  struct stat info {};
  if (::fstat(fd_, &info) != 0) return std::unexpected(HostError(errno, "write", displayPath_));
  if (written_ != expectedSize || static_cast<std::uint64_t>(info.st_size) != expectedSize) {
    return std::unexpected(
        Error{ErrorCode::kIoError,
              fmt::format("Cannot write \"{}\": {} bytes on the host where {} were expected",
                          displayPath_, static_cast<std::uint64_t>(info.st_size), expectedSize),
              std::nullopt});
  }
  if (mtime) {
    const timespec times[2] = {ToTimespec(*mtime), ToTimespec(*mtime)};
    if (::futimens(fd_, times) != 0) {
      return std::unexpected(HostError(errno, "set the time of", displayPath_));
    }
  }
  if (syncToMedium && RetryOnInterrupt([this] { return ::fsync(fd_); }) != 0) {
    return std::unexpected(HostError(errno, "write", displayPath_));
  }
  if (tempName_.empty()) return CommitAnonymous(name, policy, syncToMedium);
  const int fd = std::exchange(fd_, -1);
  if (::close(fd) != 0 && errno != EINTR) {
    return std::unexpected(HostError(errno, "write", displayPath_));
  }
  auto placed = PlaceEntry(folderFd_, tempName_, name, policy, displayPath_);
  if (!placed) return placed;
  if (!placed->has_value()) {
    Abandon();  // skipped: drop the temporary copy
    return placed;
  }
  tempName_.clear();
  if (syncToMedium) (void)RetryOnInterrupt([this] { return ::fsync(folderFd_); });
  return placed;
}

std::expected<std::optional<std::string>, Error> PendingFile::CommitAnonymous(
    const std::string& name, DuplicatePolicy policy, bool syncToMedium) {
  const std::string self = ProcPathOf(fd_);
  auto linkAs = [&](const std::string& target) {
    return ::linkat(AT_FDCWD, self.c_str(), folderFd_, target.c_str(), AT_SYMLINK_FOLLOW);
  };
  std::expected<std::optional<std::string>, Error> placed;
  if (policy == DuplicatePolicy::kOverwrite) {
    // A link never replaces: give the file a temporary name, then rename it
    // over whatever holds the name.
    auto temp = CreateTempEntry(folderFd_, displayPath_,
                                [&](int, const std::string& n) { return linkAs(n); });
    if (!temp) return std::unexpected(temp.error());
    tempName_ = *temp;
    placed = PlaceEntry(folderFd_, tempName_, name, policy, displayPath_);
    if (placed && placed->has_value()) tempName_.clear();
  } else {
    std::string candidate = name;
    unsigned next = 1;
    while (true) {
      if (linkAs(candidate) == 0) {
        placed = std::optional<std::string>{candidate};
        break;
      }
      const int error = errno;
      if (error != EEXIST) {
        placed = std::unexpected(HostError(error, "write", displayPath_));
        break;
      }
      if (policy == DuplicatePolicy::kSkip) {
        placed = std::optional<std::string>{};
        break;
      }
      auto free = FirstFreeDuplicate(folderFd_, name, next);
      if (!free || next >= kMaxNameAttempts) {
        placed = std::unexpected(NoFreeName(displayPath_));
        break;
      }
      candidate = *free;
      ++next;
    }
  }
  const int fd = std::exchange(fd_, -1);
  const bool closed = ::close(fd) == 0 || errno == EINTR;
  if (!placed || !placed->has_value()) {
    Abandon();
    return placed;
  }
  if (!closed) return std::unexpected(HostError(errno, "write", displayPath_));
  if (syncToMedium) (void)RetryOnInterrupt([this] { return ::fsync(folderFd_); });
  return placed;
}

bool IsPartialName(std::string_view name) { return name.starts_with(kTempPrefix); }

bool RemoveLeftoverPartial(const FolderHandle& folder, const std::string& name) {
  if (!IsPartialName(name)) return false;
  // The process number follows the prefix; a process that still runs may be
  // writing the file now, whoever it is.
  const std::string_view rest = std::string_view(name).substr(kTempPrefix.size());
  long pid = 0;
  std::size_t digits = 0;
  while (digits < rest.size() && digits < 10 && rest[digits] >= '0' && rest[digits] <= '9') {
    pid = pid * 10 + (rest[digits] - '0');
    ++digits;
  }
  if (digits == 0 || (digits < rest.size() && rest[digits] != '-')) return false;
  if (pid > 0 && pid <= std::numeric_limits<pid_t>::max() &&
      (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM)) {
    return false;
  }
  struct stat info {};
  if (::fstatat(folder.Fd(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (!S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode)) return false;
  return ::unlinkat(folder.Fd(), name.c_str(), 0) == 0;
}

std::vector<std::string> RemoveLeftoverPartials(const FolderHandle& folder) {
  std::vector<std::string> candidates;
  const int listFd = ::openat(folder.Fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
  if (listing == nullptr) {
    if (listFd >= 0) ::close(listFd);
    return {};
  }
  while (const dirent* item = ::readdir(listing)) {
    if (IsPartialName(item->d_name)) candidates.emplace_back(item->d_name);
  }
  ::closedir(listing);
  std::vector<std::string> removed;
  for (std::string& name : candidates) {
    if (RemoveLeftoverPartial(folder, name)) removed.push_back(std::move(name));
  }
  return removed;
}

std::expected<std::optional<std::string>, Error> MakeSymlink(
    const FolderHandle& folder, const std::string& name, const std::string& target,
    std::optional<std::int64_t> mtime, DuplicatePolicy policy, std::string_view displayPath) {
  if (target.empty() || target.find('\0') != std::string::npos) {
    return std::unexpected(Error{
        ErrorCode::kInvalidArgument,
        fmt::format("Cannot create the link \"{}\": its stored target is empty or holds a NUL byte",
                    displayPath),
        std::nullopt});
  }
  auto temp = CreateTempEntry(folder.Fd(), displayPath, [&target](int dirFd, const std::string& n) {
    return ::symlinkat(target.c_str(), dirFd, n.c_str());
  });
  if (!temp) return std::unexpected(temp.error());
  if (mtime) {
    const timespec times[2] = {ToTimespec(*mtime), ToTimespec(*mtime)};
    (void)::utimensat(folder.Fd(), temp->c_str(), times, AT_SYMLINK_NOFOLLOW);
  }
  auto placed = PlaceEntry(folder.Fd(), *temp, name, policy, displayPath);
  if (!placed || !placed->has_value()) ::unlinkat(folder.Fd(), temp->c_str(), 0);
  return placed;
}

std::expected<FolderHandle, Error> OpenFolderAt(const FolderHandle& parent, const std::string& name,
                                                std::string_view displayPath) {
  const int fd =
      ::openat(parent.Fd(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return std::unexpected(HostError(errno, "open folder", displayPath));
  return FolderHandle(fd);
}

std::expected<OpenedFolder, Error> MakeOrOpenFolder(const FolderHandle& parent,
                                                    const std::string& name,
                                                    std::string_view displayPath) {
  bool existing = false;
  if (::mkdirat(parent.Fd(), name.c_str(), 0777) != 0) {
    if (errno != EEXIST) return std::unexpected(HostError(errno, "create folder", displayPath));
    existing = true;
  }
  auto handle = OpenFolderAt(parent, name, displayPath);
  if (!handle) return std::unexpected(handle.error());
  return OpenedFolder{std::move(*handle), name, existing};
}

std::expected<void, Error> SetFolderTime(const FolderHandle& folder, std::int64_t mtime,
                                         std::string_view displayPath) {
  const timespec times[2] = {ToTimespec(mtime), ToTimespec(mtime)};
  if (::futimens(folder.Fd(), times) != 0) {
    return std::unexpected(HostError(errno, "set the time of", displayPath));
  }
  return {};
}

std::expected<void, Error> WriteWholeFile(const FolderHandle& folder, const std::string& name,
                                          std::string_view text, std::string_view displayPath) {
  auto pending = PendingFile::Create(folder, std::string(displayPath));
  if (!pending) return std::unexpected(pending.error());
  if (auto written = pending->Write(std::as_bytes(std::span(text.data(), text.size()))); !written) {
    return written;
  }
  auto placed =
      pending->Commit(name, text.size(), std::nullopt, DuplicatePolicy::kOverwrite, false);
  if (!placed) return std::unexpected(placed.error());
  return {};
}

std::expected<void, Error> WriteWholeFileFrom(const FolderHandle& folder, const std::string& name,
                                              const std::function<void(const TextSink&)>& produce,
                                              std::string_view displayPath) {
  auto pending = PendingFile::Create(folder, std::string(displayPath));
  if (!pending) return std::unexpected(pending.error());
  // Pieces are gathered into large writes; the first failure is kept and
  // the rest of the text is let go by.
  constexpr std::size_t kGather = std::size_t{1} << 20;
  std::string gathered;
  gathered.reserve(kGather);
  std::optional<Error> failed;
  std::uint64_t size = 0;
  auto flush = [&] {
    if (!failed && !gathered.empty()) {
      if (auto written = pending->Write(std::as_bytes(std::span(gathered))); !written) {
        failed = written.error();
      }
    }
    gathered.clear();
  };
  produce([&](std::string_view piece) {
    size += piece.size();
    if (gathered.size() + piece.size() > kGather) flush();
    gathered += piece;
  });
  flush();
  if (failed) return std::unexpected(*failed);
  auto placed = pending->Commit(name, size, std::nullopt, DuplicatePolicy::kOverwrite, false);
  if (!placed) return std::unexpected(placed.error());
  return {};
}

namespace {

// Hands `job`'s file to `bytes` and `zeros` piece by piece in order: what
// was read, and its holes. Stops at the first that fails.
template <class OnBytes, class OnZeros>
std::expected<void, Error> ForEachPiece(const HostFileJob& job, OnBytes bytes, OnZeros zeros) {
  std::uint64_t at = 0;      // in the file
  std::size_t consumed = 0;  // of job.bytes
  for (const auto& [offset, length] : job.holes) {
    const auto count = static_cast<std::size_t>(offset - at);
    if (auto done = bytes(std::span<const std::byte>(job.bytes).subspan(consumed, count)); !done) {
      return done;
    }
    consumed += count;
    if (auto done = zeros(length); !done) return done;
    at = offset + length;
  }
  return bytes(std::span<const std::byte>(job.bytes).subspan(consumed));
}

}  // namespace

void HashHostFiles(std::span<HostFileJob* const> jobs, ContentHasher& sha256) {
  std::vector<Md5Message> messages;
  std::vector<HostFileJob*> hashed;
  for (HostFileJob* job : jobs) {
    if (!job->hash) continue;
    hashed.push_back(job);
    messages.push_back({job->bytes, job->holes});
  }
  std::vector<std::string> md5s = Md5OfMessages(messages);
  for (std::size_t i = 0; i < hashed.size(); ++i) {
    HostFileJob& job = *hashed[i];
    sha256.Reset();
    (void)ForEachPiece(
        job,
        [&](std::span<const std::byte> piece) -> std::expected<void, Error> {
          sha256.Update(piece);
          return {};
        },
        [&](std::uint64_t count) -> std::expected<void, Error> {
          sha256.UpdateZeros(count);
          return {};
        });
    job.digests.sha256 = sha256.Finish().sha256;
    job.digests.md5 = std::move(md5s[i]);
  }
}

void WriteHostFile(HostFileJob& job) {
  auto created = PendingFile::Create(*job.folder, job.displayPath);
  if (!created) {
    job.placed = std::unexpected(created.error());
    return;
  }
  auto written = ForEachPiece(
      job, [&](std::span<const std::byte> piece) { return created->Write(piece); },
      [&](std::uint64_t count) { return created->WriteHole(count); });
  if (!written) {
    job.placed = std::unexpected(written.error());
    return;
  }
  job.placed = created->Commit(job.name, job.size, job.mtime, job.policy, job.syncToMedium);
}

HostWritePool::HostWritePool(unsigned threads, std::size_t mostJobs, std::uint64_t mostBytes)
    : mostJobs_(std::max<std::size_t>(mostJobs, 1)), mostBytes_(mostBytes) {
  for (unsigned i = 0; i < std::max(threads, 1U); ++i) {
    threads_.emplace_back([this](std::stop_token stop) { Loop(stop); });
  }
}

HostWritePool::~HostWritePool() {
  {
    std::lock_guard lock(mutex_);
    waiting_.clear();  // never started: nothing of them is on the host
  }
  for (std::jthread& thread : threads_) thread.request_stop();
  threads_.clear();
}

bool HostWritePool::Full(std::uint64_t bytes) const {
  std::lock_guard lock(mutex_);
  return !order_.empty() && (order_.size() >= mostJobs_ || bytesInFlight_ + bytes > mostBytes_);
}

bool HostWritePool::OverHalfFull() const {
  std::lock_guard lock(mutex_);
  return 2 * order_.size() > mostJobs_ || 2 * bytesInFlight_ > mostBytes_;
}

std::size_t HostWritePool::InFlight() const {
  std::lock_guard lock(mutex_);
  return order_.size();
}

void HostWritePool::Submit(std::unique_ptr<HostFileJob> job) {
  auto slot = std::make_shared<Slot>();
  {
    std::lock_guard lock(mutex_);
    bytesInFlight_ += job->bytes.size();
    slot->job = std::move(job);
    order_.push_back(slot);
    waiting_.push_back(std::move(slot));
  }
  workAdded_.notify_one();
}

std::unique_ptr<HostFileJob> HostWritePool::CollectOldest() {
  std::unique_lock lock(mutex_);
  if (order_.empty()) return nullptr;
  jobDone_.wait(lock, [&] { return order_.front()->done; });
  std::unique_ptr<HostFileJob> job = std::move(order_.front()->job);
  order_.pop_front();
  bytesInFlight_ -= job->bytes.size();
  return job;
}

void HostWritePool::Loop(const std::stop_token& stop) {
  ContentHasher sha256(DigestSet::kSha256Only);
  std::vector<std::shared_ptr<Slot>> batch;
  std::vector<HostFileJob*> jobs;
  bool moreWaiting = false;
  while (true) {
    batch.clear();
    jobs.clear();
    {
      std::unique_lock lock(mutex_);
      workAdded_.wait(lock, stop, [&] { return !waiting_.empty(); });
      if (waiting_.empty()) return;  // stopping
      while (!waiting_.empty() && batch.size() < kJobsTakenAtOnce) {
        jobs.push_back(waiting_.front()->job.get());
        batch.push_back(std::move(waiting_.front()));
        waiting_.pop_front();
      }
      moreWaiting = !waiting_.empty();
    }
    // More than a thread can take at once: another thread may start on them.
    // Waking threads costs more than a small file: none is woken for nothing.
    if (moreWaiting) workAdded_.notify_one();
    HashHostFiles(jobs, sha256);
    for (const std::shared_ptr<Slot>& slot : batch) {
      WriteHostFile(*slot->job);
      const std::lock_guard lock(mutex_);
      slot->done = true;
    }
    // The collector hears once a batch: it takes what is done in one go.
    jobDone_.notify_all();
  }
}

}  // namespace tolvar
