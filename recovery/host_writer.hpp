#pragma once

// Writing recovered data on the host, safely: everything is created relative
// to one open handle of the destination folder, never through a path that
// could follow a symbolic link; each file is written under a temporary name
// and renamed into place only when it is complete and its size checked.

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "base/error.hpp"
#include "base/settings.hpp"
#include "recovery/content_hash.hpp"

namespace tolvar {

// An open folder (O_DIRECTORY | O_NOFOLLOW); closes with the object.
class FolderHandle {
 public:
  FolderHandle() = default;
  explicit FolderHandle(int fd);
  ~FolderHandle();
  FolderHandle(FolderHandle&& other) noexcept;
  FolderHandle& operator=(FolderHandle&& other) noexcept;
  FolderHandle(const FolderHandle&) = delete;
  FolderHandle& operator=(const FolderHandle&) = delete;

  [[nodiscard]] int Fd() const { return fd_; }
  [[nodiscard]] bool IsOpen() const { return fd_ >= 0; }
  void Close();

 private:
  int fd_ = -1;
};

// The device and inode of an open folder, to recognise it again.
struct FolderIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  friend bool operator==(const FolderIdentity&, const FolderIdentity&) = default;
};
[[nodiscard]] std::optional<FolderIdentity> IdentityOf(const FolderHandle& folder);

// Whether an errno from writing means the run cannot go on (full disk,
// quota, file size limit, no permission, read-only or failing medium).
[[nodiscard]] bool StopsTheRun(const Error& error);

// An Error for `what` failing on `displayPath` with errno `code`.
[[nodiscard]] Error HostError(int code, std::string_view what, std::string_view displayPath);

// Opens (creating it when missing) the destination folder. Refuses a
// destination that is the source drive or lies on it: the same file, the
// block device itself or one of its partitions, or a loop device backed by
// the source image. `sourcePath` may be empty (no check possible).
[[nodiscard]] std::expected<FolderHandle, Error> OpenDestination(
    const std::string& destination, const std::string& sourcePath,
    const std::string& sysfsRoot = "/sys");

// What a name lookup in a folder found.
enum class NameState { kFree, kFolder, kOther };
[[nodiscard]] NameState LookUpName(const FolderHandle& folder, const std::string& name);

// The name to write a new entry under, given what is already in the folder:
// the name itself when it is free; under Overwrite the name itself unless a
// folder holds it; under Rename the first free "name (n).ext"; under Skip
// nothing. nullopt: skip it. `nextNumber`, when given, is the first n to try
// and is moved past the one taken, so that many entries of one name cost one
// look-up each rather than one per earlier entry.
[[nodiscard]] std::optional<std::string> ChooseName(const FolderHandle& folder,
                                                    const std::string& name, DuplicatePolicy policy,
                                                    unsigned* nextNumber = nullptr);

// A file being written in `folder` without a name (O_TMPFILE), or, where the
// file system cannot make such files, under a temporary name no recovered
// file can have. Removed unless committed.
class PendingFile {
 public:
  PendingFile(PendingFile&& other) noexcept;
  PendingFile& operator=(PendingFile&&) = delete;
  PendingFile(const PendingFile&) = delete;
  ~PendingFile();

  // Creates the file: anonymous when it can be, else under a temporary name
  // (O_CREAT | O_EXCL | O_NOFOLLOW).
  [[nodiscard]] static std::expected<PendingFile, Error> Create(const FolderHandle& folder,
                                                                std::string displayPath);

  // Appends all of `bytes`; a short write or error is an Error.
  [[nodiscard]] std::expected<void, Error> Write(std::span<const std::byte> bytes);
  // Appends `count` zero bytes as a hole: nothing is written for them, so
  // they take no room on a file system that keeps holes.
  [[nodiscard]] std::expected<void, Error> WriteHole(std::uint64_t count);
  [[nodiscard]] std::uint64_t Written() const { return written_; }

  // Appends `length` bytes of the host file `source` from `offset`, copied
  // by the kernel (copy_file_range, else sendfile, else splice through a
  // pipe) so that they never pass through this process. False when the
  // kernel refused or the copy stopped short: the file is then as it was
  // before the call and the caller writes the bytes itself. An Error only
  // for a failure of the destination that writing would meet too (a full
  // disk). `mode` remembers, across files, which calls the kernel refuses
  // between these files, and keeps the pipe.
  class KernelCopyMode {
   public:
    KernelCopyMode(bool useCopyRange = true, bool useSendFile = true, bool useSplice = true)
        : copyRange(useCopyRange), sendFile(useSendFile), splice(useSplice) {}
    // A copy takes the flags; the pipe is its own.
    KernelCopyMode(const KernelCopyMode& other)
        : copyRange(other.copyRange), sendFile(other.sendFile), splice(other.splice) {}
    KernelCopyMode& operator=(const KernelCopyMode& other);
    ~KernelCopyMode() { ClosePipe(); }

    [[nodiscard]] bool Any() const { return copyRange || sendFile || splice; }
    // The pipe splice goes through, made on first use; false when none can be.
    [[nodiscard]] bool OpenPipe();
    void ClosePipe();
    [[nodiscard]] int PipeIn() const { return pipe_[1]; }
    [[nodiscard]] int PipeOut() const { return pipe_[0]; }

    bool copyRange = true;
    bool sendFile = true;
    bool splice = true;

   private:
    int pipe_[2] = {-1, -1};
  };
  [[nodiscard]] std::expected<bool, Error> CopyFromFile(int source, std::uint64_t offset,
                                                        std::uint64_t length, KernelCopyMode& mode);

  // Checks the size on the host against `expectedSize`, sets the time stamp
  // (unless `mtime` is nullopt), optionally flushes to the medium, and
  // renames the file into place as `name`. Under Overwrite an existing entry
  // is replaced; otherwise an entry that appeared meanwhile is never
  // replaced: Rename moves on to the next free name, Skip gives nullopt.
  // Returns the name used.
  [[nodiscard]] std::expected<std::optional<std::string>, Error> Commit(
      const std::string& name, std::uint64_t expectedSize, std::optional<std::int64_t> mtime,
      DuplicatePolicy policy, bool syncToMedium);

  // Takes up to `bytes` of room on the medium for the file (as much as is
  // free when that is less); false when none could be had. The room is
  // given back when the file is abandoned.
  [[nodiscard]] bool Reserve(std::uint64_t bytes);

  // Removes the temporary file now.
  void Abandon();

 private:
  PendingFile(int folderFd, int fd, std::string tempName, std::string displayPath);
  // Commit's last step for an anonymous file: link it in under its name.
  [[nodiscard]] std::expected<std::optional<std::string>, Error> CommitAnonymous(
      const std::string& name, DuplicatePolicy policy, bool syncToMedium);

  int folderFd_ = -1;  // not owned
  int fd_ = -1;
  std::string tempName_;  // empty for an anonymous file
  std::string displayPath_;
  std::uint64_t written_ = 0;
  bool endsInHole_ = false;  // the length is set at Commit
};

// Whether `name` is one of the temporary names files are written under
// (".tolvar%partial-<process>[-n]"), which no recovered file can have.
[[nodiscard]] bool IsPartialName(std::string_view name);

// Removes `name` from `folder` when it is a temporary file or link that an
// earlier run left behind: its process is gone. True when it was removed.
[[nodiscard]] bool RemoveLeftoverPartial(const FolderHandle& folder, const std::string& name);

// Lists `folder` and removes every leftover temporary entry in it; returns
// the names removed.
[[nodiscard]] std::vector<std::string> RemoveLeftoverPartials(const FolderHandle& folder);

// Creates a symbolic link holding `target` as it was stored (never resolved)
// under a temporary name and renames it into place as `name`, as Commit does.
[[nodiscard]] std::expected<std::optional<std::string>, Error> MakeSymlink(
    const FolderHandle& folder, const std::string& name, const std::string& target,
    std::optional<std::int64_t> mtime, DuplicatePolicy policy, std::string_view displayPath);

// Creates `name` in `parent` as a folder, or opens the folder that holds the
// name. `existing` reports whether it was there already.
struct OpenedFolder {
  FolderHandle handle;
  std::string name;
  bool existing = false;
};
[[nodiscard]] std::expected<OpenedFolder, Error> MakeOrOpenFolder(const FolderHandle& parent,
                                                                  const std::string& name,
                                                                  std::string_view displayPath);
// Opens an existing folder entry without following a link.
[[nodiscard]] std::expected<FolderHandle, Error> OpenFolderAt(const FolderHandle& parent,
                                                              const std::string& name,
                                                              std::string_view displayPath);

// Sets a folder's modification and access time.
[[nodiscard]] std::expected<void, Error> SetFolderTime(const FolderHandle& folder,
                                                       std::int64_t mtime,
                                                       std::string_view displayPath);

// Writes `text` to `name` in `folder` through a temporary file, replacing
// an earlier one.
[[nodiscard]] std::expected<void, Error> WriteWholeFile(const FolderHandle& folder,
                                                        const std::string& name,
                                                        std::string_view text,
                                                        std::string_view displayPath);
// The same for a text made piece by piece: `produce` hands every piece to
// the sink it is given, in order.
using TextSink = std::function<void(std::string_view)>;
[[nodiscard]] std::expected<void, Error> WriteWholeFileFrom(
    const FolderHandle& folder, const std::string& name,
    const std::function<void(const TextSink&)>& produce, std::string_view displayPath);

// A small file whose bytes are already in memory, to be created, written,
// hashed and put in place off the reading thread.
struct HostFileJob {
  const FolderHandle* folder = nullptr;  // kept open until the job is collected
  std::string displayPath;
  std::string name;  // placed as by PendingFile::Commit
  // The file's bytes in order: `bytes` holds what was read, and every run
  // of `holes` (offset, length) is left out of it and written as a hole.
  std::vector<std::byte> bytes;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> holes;
  std::uint64_t size = 0;
  std::optional<std::int64_t> mtime;
  DuplicatePolicy policy = DuplicatePolicy::kRename;
  bool syncToMedium = false;
  bool hash = true;  // work out `digests`

  // Filled in by the pool: the name used (nullopt: skipped) or what failed,
  // and the digests of the bytes written when it was placed.
  std::expected<std::optional<std::string>, Error> placed;
  ContentDigests digests;
};

// Works out the digests of every job that asks for them: MD5 of all of them
// at once in vector lanes, SHA-256 of each with `sha256`.
void HashHostFiles(std::span<HostFileJob* const> jobs, ContentHasher& sha256);

// Writes the file of `job` with PendingFile (every safety of one written on
// the caller's thread).
void WriteHostFile(HostFileJob& job);

// A few threads writing small files while the caller reads the next ones:
// creating a host file costs more than reading it from an image. Jobs are
// handed back in the order they were given, so a caller can report them in
// order. A thread takes several waiting jobs at once, so that their MD5s
// are worked out side by side.
class HostWritePool {
 public:
  HostWritePool(unsigned threads, std::size_t mostJobs, std::uint64_t mostBytes);
  ~HostWritePool();  // waits for the jobs under way; the rest are dropped
  HostWritePool(const HostWritePool&) = delete;
  HostWritePool& operator=(const HostWritePool&) = delete;

  // Whether another job of `bytes` would go over the pool's bounds: the
  // caller collects the oldest first. An empty pool takes any job.
  [[nodiscard]] bool Full(std::uint64_t bytes) const;
  [[nodiscard]] bool OverHalfFull() const;
  void Submit(std::unique_ptr<HostFileJob> job);
  // Waits for the oldest job given and hands it back; nullptr when none is.
  [[nodiscard]] std::unique_ptr<HostFileJob> CollectOldest();
  [[nodiscard]] std::size_t InFlight() const;

 private:
  struct Slot {
    std::unique_ptr<HostFileJob> job;
    bool done = false;
  };
  void Loop(const std::stop_token& stop);

  const std::size_t mostJobs_;
  const std::uint64_t mostBytes_;
  mutable std::mutex mutex_;
  std::condition_variable_any workAdded_;
  std::condition_variable jobDone_;
  std::deque<std::shared_ptr<Slot>> order_;    // every job not yet collected
  std::deque<std::shared_ptr<Slot>> waiting_;  // not yet taken by a thread
  std::uint64_t bytesInFlight_ = 0;
  std::vector<std::jthread> threads_;  // last: they stop before the rest goes
};

}  // namespace tolvar
