#pragma once

// Writing recovered data on the host, safely: everything is created relative
// to one open handle of the destination folder, never through a path that
// could follow a symbolic link; each file is written under a temporary name
// and renamed into place only when it is complete and its size checked.

#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "base/settings.hpp"

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
// nothing. nullopt: skip it.
[[nodiscard]] std::optional<std::string> ChooseName(const FolderHandle& folder,
                                                    const std::string& name,
                                                    DuplicatePolicy policy);

// A file being written under a temporary name in `folder`. Removed unless
// committed.
class PendingFile {
 public:
  PendingFile(PendingFile&& other) noexcept;
  PendingFile& operator=(PendingFile&&) = delete;
  PendingFile(const PendingFile&) = delete;
  ~PendingFile();

  // Creates the temporary file (O_CREAT | O_EXCL | O_NOFOLLOW).
  [[nodiscard]] static std::expected<PendingFile, Error> Create(const FolderHandle& folder,
                                                                std::string displayPath);

  // Appends all of `bytes`; a short write or error is an Error.
  [[nodiscard]] std::expected<void, Error> Write(std::span<const std::byte> bytes);
  [[nodiscard]] std::uint64_t Written() const { return written_; }

  // Checks the size on the host against `expectedSize`, sets the time stamp
  // (unless `mtime` is nullopt), optionally flushes to the medium, and
  // renames the file into place as `name`. Under Overwrite an existing entry
  // is replaced; otherwise an entry that appeared meanwhile is never
  // replaced: Rename moves on to the next free name, Skip gives nullopt.
  // Returns the name used.
  [[nodiscard]] std::expected<std::optional<std::string>, Error> Commit(
      const std::string& name, std::uint64_t expectedSize, std::optional<std::int64_t> mtime,
      DuplicatePolicy policy, bool syncToMedium);

  // Removes the temporary file now.
  void Abandon();

 private:
  PendingFile(int folderFd, int fd, std::string tempName, std::string displayPath);

  int folderFd_ = -1;  // not owned
  int fd_ = -1;
  std::string tempName_;
  std::string displayPath_;
  std::uint64_t written_ = 0;
};

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

}  // namespace tolvar
