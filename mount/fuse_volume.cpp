#define FUSE_USE_VERSION 31

#include "mount/fuse_volume.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <fuse.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>

namespace tolvar::mountfs {

namespace {

VolumeFiles& Files() { return *static_cast<VolumeFiles*>(fuse_get_context()->private_data); }

void Fill(const NodeAttributes& attributes, struct stat* st) {
  std::memset(st, 0, sizeof *st);
  st->st_ino = attributes.inode;
  st->st_mode = attributes.mode;
  st->st_nlink = attributes.links;
  st->st_size = static_cast<off_t>(attributes.size);
  // Everything belongs to whoever mounted it: the volume's owners mean
  // nothing on this host.
  st->st_uid = ::getuid();
  st->st_gid = ::getgid();
  st->st_blksize = 4096;
  st->st_blocks = static_cast<blkcnt_t>((attributes.size + 511) / 512);
  st->st_atim.tv_sec = attributes.time;
  st->st_mtim.tv_sec = attributes.time;
  st->st_ctim.tv_sec = attributes.time;
}

void* Init(fuse_conn_info*, fuse_config* config) {
  // Nothing on the volume changes while it is mounted: the kernel may keep
  // names, attributes and data as long as it likes.
  config->use_ino = 1;
  config->kernel_cache = 1;
  config->entry_timeout = 3600;
  config->attr_timeout = 3600;
  config->negative_timeout = 3600;
  return fuse_get_context()->private_data;
}

int GetAttr(const char* path, struct stat* st, fuse_file_info*) {
  const auto node = Files().Lookup(path);
  if (!node) return -ENOENT;
  Fill(Files().Attributes(*node), st);
  return 0;
}

int ReadDir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*,
            fuse_readdir_flags) {
  const auto node = Files().Lookup(path);
  if (!node) return -ENOENT;
  if (!Files().IsFolder(*node)) return -ENOTDIR;
  fill(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  for (const auto& [name, child] : Files().Entries(*node)) {
    const std::string text(name);
    if (fill(buffer, text.c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0)) != 0) break;
  }
  return 0;
}

int Open(const char* path, fuse_file_info* info) {
  if ((info->flags & O_ACCMODE) != O_RDONLY || (info->flags & O_TRUNC) != 0) return -EROFS;
  const auto node = Files().Lookup(path);
  if (!node) return -ENOENT;
  if (Files().IsFolder(*node)) return -EISDIR;
  info->fh = *node;
  // The report grows as damage is met: never serve it from the page cache.
  if (Files().Attributes(*node).kind == NodeKind::kReport) info->direct_io = 1;
  info->keep_cache = 1;
  return 0;
}

int Read(const char*, char* buffer, size_t size, off_t offset, fuse_file_info* info) {
  if (offset < 0) return -EINVAL;
  const std::size_t got =
      Files().Read(static_cast<NodeIndex>(info->fh), static_cast<std::uint64_t>(offset),
                   std::as_writable_bytes(std::span(buffer, size)));
  // A short count would read as the file's end (the kernel may even shrink
  // the size it shows): data the size promises and the blocks lack is an
  // error.
  if (Files().LastReadFellShort()) return -EIO;
  return static_cast<int>(got);
}

int ReadLink(const char* path, char* buffer, size_t size) {
  const auto node = Files().Lookup(path);
  if (!node) return -ENOENT;
  if (Files().Attributes(*node).kind != NodeKind::kSymlink) return -EINVAL;
  if (size == 0) return -EINVAL;
  const std::string target = Files().LinkTarget(*node);
  const std::size_t count = std::min(target.size(), size - 1);
  std::memcpy(buffer, target.data(), count);
  buffer[count] = '\0';
  return 0;
}

int StatFs(const char*, struct statvfs* st) {
  std::memset(st, 0, sizeof *st);
  st->f_bsize = 1024;
  st->f_frsize = 1024;
  st->f_files = Files().NodeCount();
  st->f_namemax = 255;
  st->f_flag = ST_RDONLY;
  return 0;
}

// Everything that would change the volume.
int RefuseMknod(const char*, mode_t, dev_t) { return -EROFS; }
int RefusePath(const char*) { return -EROFS; }
int RefuseMkdir(const char*, mode_t) { return -EROFS; }
int RefuseTwoPaths(const char*, const char*) { return -EROFS; }
int RefuseRename(const char*, const char*, unsigned int) { return -EROFS; }
int RefuseChmod(const char*, mode_t, fuse_file_info*) { return -EROFS; }
int RefuseChown(const char*, uid_t, gid_t, fuse_file_info*) { return -EROFS; }
int RefuseTruncate(const char*, off_t, fuse_file_info*) { return -EROFS; }
int RefuseWrite(const char*, const char*, size_t, off_t, fuse_file_info*) { return -EROFS; }
int RefuseCreate(const char*, mode_t, fuse_file_info*) { return -EROFS; }
int RefuseTimes(const char*, const timespec[2], fuse_file_info*) { return -EROFS; }
int RefuseSetXattr(const char*, const char*, const char*, size_t, int) { return -EROFS; }
int RefuseRemoveXattr(const char*, const char*) { return -EROFS; }
int RefuseAllocate(const char*, int, off_t, off_t, fuse_file_info*) { return -EROFS; }

fuse_operations Operations() {
  fuse_operations ops{};
  ops.init = Init;
  ops.getattr = GetAttr;
  ops.readdir = ReadDir;
  ops.open = Open;
  ops.read = Read;
  ops.readlink = ReadLink;
  ops.statfs = StatFs;
  ops.mknod = RefuseMknod;
  ops.mkdir = RefuseMkdir;
  ops.unlink = RefusePath;
  ops.rmdir = RefusePath;
  ops.symlink = RefuseTwoPaths;
  ops.link = RefuseTwoPaths;
  ops.rename = RefuseRename;
  ops.chmod = RefuseChmod;
  ops.chown = RefuseChown;
  ops.truncate = RefuseTruncate;
  ops.write = RefuseWrite;
  ops.create = RefuseCreate;
  ops.utimens = RefuseTimes;
  ops.setxattr = RefuseSetXattr;
  ops.removexattr = RefuseRemoveXattr;
  ops.fallocate = RefuseAllocate;
  return ops;
}

// Undoes the octal escapes (\040 and the like) of a mountinfo field.
std::string UnescapeMountField(std::string_view field) {
  std::string text;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const std::string_view digits = field.substr(i + 1, 3);
      if (std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '7'; })) {
        text +=
            static_cast<char>((digits[0] - '0') * 64 + (digits[1] - '0') * 8 + (digits[2] - '0'));
        i += 3;
        continue;
      }
    }
    text += field[i];
  }
  return text;
}

// Whether a file system of ours is still mounted at `mountPoint` (absolute).
bool StillMounted(const std::string& mountPoint) {
  std::ifstream table("/proc/self/mountinfo");
  for (std::string line; std::getline(table, line);) {
    std::istringstream fields(line);
    std::string id, parent, device, root, point;
    if (!(fields >> id >> parent >> device >> root >> point)) continue;
    if (UnescapeMountField(point) != mountPoint) continue;
    const std::size_t dash = line.find(" - ");
    if (dash != std::string::npos && line.compare(dash + 3, 11, "fuse.tolvar") == 0) return true;
  }
  return false;
}

struct FuseArgs {
  fuse_args args = FUSE_ARGS_INIT(0, nullptr);
  ~FuseArgs() { fuse_opt_free_args(&args); }
};

}  // namespace

std::expected<void, Error> ServeReadOnly(VolumeFiles& files, const ServeOptions& options) {
  // The daemon leaves the working folder, and the unmount must still find the
  // mount point after any signal: it is kept as an absolute path.
  std::error_code absoluteError;
  const std::string mountPoint = std::filesystem::weakly_canonical(
                                     std::filesystem::absolute(options.mountPoint), absoluteError)
                                     .string();
  if (absoluteError) {
    return std::unexpected(Error{ErrorCode::kNotFound,
                                 fmt::format("{}: {}", options.mountPoint, absoluteError.message()),
                                 std::nullopt});
  }
  FuseArgs args;
  // Read-only for the kernel too; device nodes on the volume are shown, never
  // opened as host devices, and set-id bits mean nothing here.
  std::string mountOptions = "ro,nodev,nosuid,subtype=tolvar,fsname=";
  for (const char c : options.sourceName) {
    // The option list is comma-separated; keep the name from splitting it.
    if (c == ',' || c == '\\') mountOptions += '\\';
    mountOptions += c;
  }
  for (const char* arg : {"tolvar", "-o"}) {
    if (fuse_opt_add_arg(&args.args, arg) != 0) {
      return std::unexpected(Error{ErrorCode::kOutOfMemory, "out of memory", std::nullopt});
    }
  }
  if (fuse_opt_add_arg(&args.args, mountOptions.c_str()) != 0) {
    return std::unexpected(Error{ErrorCode::kOutOfMemory, "out of memory", std::nullopt});
  }

  const fuse_operations ops = Operations();
  fuse* session = fuse_new(&args.args, &ops, sizeof ops, &files);
  if (session == nullptr) {
    return std::unexpected(Error{ErrorCode::kInvalidArgument,
                                 "cannot set up the FUSE file system", std::nullopt});
  }
  if (fuse_mount(session, mountPoint.c_str()) != 0) {
    fuse_destroy(session);
    return std::unexpected(Error{
        ErrorCode::kPermission,
        fmt::format("{}: cannot mount here (is /dev/fuse usable, and fuse3 installed?)",
                    options.mountPoint),
        std::nullopt});
  }
  if (fuse_daemonize(options.foreground ? 1 : 0) != 0 ||
      fuse_set_signal_handlers(fuse_get_session(session)) != 0) {
    fuse_unmount(session);
    fuse_destroy(session);
    return std::unexpected(Error{ErrorCode::kIoError,
                                 fmt::format("{}: cannot serve the mount", options.mountPoint),
                                 std::nullopt});
  }
  // One request at a time: the drive table reads one run at a time.
  const int status = fuse_loop(session);
  fuse_remove_signal_handlers(fuse_get_session(session));
  fuse_unmount(session);
  fuse_destroy(session);
  if (StillMounted(mountPoint)) {
    return std::unexpected(
        Error{ErrorCode::kIoError,
              fmt::format("{}: could not unmount; unmount it with `fusermount3 -u {}`", mountPoint,
                          mountPoint),
              std::nullopt});
  }
  if (status < 0) {
    return std::unexpected(Error{ErrorCode::kIoError,
                                 fmt::format("{}: the mount ended with an error: {}",
                                             options.mountPoint, std::strerror(-status)),
                                 std::nullopt});
  }
  return {};
}

}  // namespace tolvar::mountfs
