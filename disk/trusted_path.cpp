#include "disk/trusted_path.hpp"

#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace tolvar {
namespace {

Error Untrusted(std::string message) {
  return Error{ErrorCode::kPermission, std::move(message), std::nullopt};
}

bool OwnedByUs(const struct stat& info) { return info.st_uid == 0 || info.st_uid == ::geteuid(); }

bool WritableByOthers(const struct stat& info) { return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0; }

}  // namespace

std::expected<void, Error> CheckTrustedFile(const std::string& path) {
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(path, error);
  if (error) return std::unexpected(Untrusted(fmt::format("{}: {}", path, error.message())));
  struct stat info {};
  // lstat: a link is refused, whoever made it, so the checks below are about
  // the file that would be loaded.
  if (::lstat(absolute.c_str(), &info) != 0) {
    const int code = errno;
    return std::unexpected(Error{code == ENOENT ? ErrorCode::kNotFound : ErrorCode::kPermission,
                                 fmt::format("{}: {}", path, std::strerror(code)), std::nullopt});
  }
  if (!S_ISREG(info.st_mode)) {
    return std::unexpected(Untrusted(fmt::format("{}: not a regular file; not loaded", path)));
  }
  if (!OwnedByUs(info) || WritableByOthers(info)) {
    return std::unexpected(
        Untrusted(fmt::format("{}: another user owns it or can change it; not loaded", path)));
  }
  // Every folder above it, up to the root. A folder anyone may write to is
  // passed only with the sticky bit: then no one else can rename or remove
  // the entry of ours below it.
  for (std::filesystem::path folder = absolute.parent_path();; folder = folder.parent_path()) {
    if (::stat(folder.c_str(), &info) != 0) {
      return std::unexpected(
          Untrusted(fmt::format("{}: {}", folder.string(), std::strerror(errno))));
    }
    const bool sticky = (info.st_mode & S_ISVTX) != 0;
    if (!OwnedByUs(info) || (WritableByOthers(info) && !sticky)) {
      return std::unexpected(Untrusted(fmt::format(
          "{}: the folder {} can be changed by another user; not loaded", path, folder.string())));
    }
    if (folder == folder.parent_path()) break;
  }
  return {};
}

std::string InstalledLegacyLibraryDir() {
  std::error_code error;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error || program.empty()) return {};
  return (program.parent_path().parent_path() / "lib" / "tolvar" / "legacy")
      .lexically_normal()
      .string();
}

}  // namespace tolvar
