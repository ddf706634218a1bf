#define FUSE_USE_VERSION 34

#include "mount/fuse_volume.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <fuse_lowlevel.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>
#include <vector>

namespace tolvar::mountfs {

namespace {

// Nothing on the volume changes while it is mounted: the kernel may keep
// names and attributes as long as it likes. The report is the exception.
constexpr double kKeepSeconds = 3600;
// A file up to this size is put in the kernel's page cache whole when it is
// first opened, rather than asked for piece by piece as it is read.
constexpr std::uint64_t kPushedFileBytes = std::uint64_t{1} << 20;

// The kernel's node 1 is the root; node n + 1 is our node n.
fuse_ino_t InoOf(NodeIndex node) { return static_cast<fuse_ino_t>(node) + 1; }

// What the requests share: the volume, and what every answer repeats.
struct Server {
  explicit Server(VolumeFiles& volumeFiles) : files(volumeFiles) {}

  VolumeFiles& files;
  fuse_session* session = nullptr;
  uid_t owner = ::getuid();
  gid_t group = ::getgid();
  std::vector<char> buffer;  // one request at a time
  std::vector<bool> opened;  // by node: opened before in this mount
};

Server& ServerOf(fuse_req_t request) { return *static_cast<Server*>(fuse_req_userdata(request)); }

// Our node behind a kernel node, when it is one.
std::optional<NodeIndex> NodeOf(const Server& server, fuse_ino_t ino) {
  if (ino < 1 || ino > server.files.NodeCount()) return std::nullopt;
  return static_cast<NodeIndex>(ino - 1);
}

struct stat StatOf(const Server& server, const NodeAttributes& attributes) {
  struct stat st {};
  st.st_ino = attributes.inode;
  st.st_mode = attributes.mode;
  st.st_nlink = attributes.links;
  st.st_size = static_cast<off_t>(attributes.size);
  // Everything belongs to whoever mounted it: the volume's owners mean
  // nothing on this host.
  st.st_uid = server.owner;
  st.st_gid = server.group;
  st.st_blksize = 4096;
  st.st_blocks = static_cast<blkcnt_t>((attributes.size + 511) / 512);
  st.st_atim.tv_sec = attributes.time;
  st.st_mtim.tv_sec = attributes.time;
  st.st_ctim.tv_sec = attributes.time;
  return st;
}

// The report grows as damage is met: its size is asked for afresh.
double TimeoutFor(const NodeAttributes& attributes) {
  return attributes.kind == NodeKind::kReport ? 0 : kKeepSeconds;
}

fuse_entry_param EntryOf(Server& server, NodeIndex node) {
  const NodeAttributes attributes = server.files.Attributes(node);
  fuse_entry_param entry{};
  entry.ino = InoOf(node);
  entry.generation = 1;
  entry.attr = StatOf(server, attributes);
  entry.attr_timeout = TimeoutFor(attributes);
  entry.entry_timeout = kKeepSeconds;
  return entry;
}

void Init(void*, fuse_conn_info* connection) {
  // A folder's listing carries its entries' attributes, so that a walk of
  // the tree does not look every name up again.
  if ((connection->capable & FUSE_CAP_READDIRPLUS) != 0) {
    connection->want |= FUSE_CAP_READDIRPLUS;
    connection->want &= ~FUSE_CAP_READDIRPLUS_AUTO;
  }
}

void LookUp(fuse_req_t request, fuse_ino_t parent, const char* name) {
  Server& server = ServerOf(request);
  const auto folder = NodeOf(server, parent);
  if (!folder || !server.files.IsFolder(*folder)) {
    fuse_reply_err(request, ENOTDIR);
    return;
  }
  const auto child = server.files.Child(*folder, name);
  if (!child) {
    // Names that are not there stay not there.
    fuse_entry_param negative{};
    negative.entry_timeout = kKeepSeconds;
    fuse_reply_entry(request, &negative);
    return;
  }
  const fuse_entry_param entry = EntryOf(server, *child);
  fuse_reply_entry(request, &entry);
}

void GetAttr(fuse_req_t request, fuse_ino_t ino, fuse_file_info*) {
  Server& server = ServerOf(request);
  const auto node = NodeOf(server, ino);
  if (!node) {
    fuse_reply_err(request, ENOENT);
    return;
  }
  const NodeAttributes attributes = server.files.Attributes(*node);
  const struct stat st = StatOf(server, attributes);
  fuse_reply_attr(request, &st, TimeoutFor(attributes));
}

void ReadLink(fuse_req_t request, fuse_ino_t ino) {
  Server& server = ServerOf(request);
  const auto node = NodeOf(server, ino);
  if (!node || server.files.Attributes(*node).kind != NodeKind::kSymlink) {
    fuse_reply_err(request, EINVAL);
    return;
  }
  const std::string target = server.files.LinkTarget(*node);
  fuse_reply_readlink(request, target.c_str());
}

// Hands the kernel a whole small file before it asks: one message instead of
// a read request per read-ahead window. A file that does not read whole is
// left to the read requests, which say so.
void PushIntoPageCache(Server& server, fuse_ino_t ino, NodeIndex node, std::uint64_t size) {
  const auto length = static_cast<std::size_t>(size);
  if (server.buffer.size() < length) server.buffer.resize(length);
  const std::size_t got =
      server.files.Read(node, 0, std::as_writable_bytes(std::span(server.buffer.data(), length)));
  if (server.files.LastReadFellShort() || got != length) return;
  fuse_bufvec data = FUSE_BUFVEC_INIT(length);
  data.buf[0].mem = server.buffer.data();
  // Refused (an old kernel): the read requests serve the file instead.
  (void)fuse_lowlevel_notify_store(server.session, ino, 0, &data, fuse_buf_copy_flags{});
}

void Open(fuse_req_t request, fuse_ino_t ino, fuse_file_info* info) {
  Server& server = ServerOf(request);
  if ((info->flags & O_ACCMODE) != O_RDONLY || (info->flags & O_TRUNC) != 0) {
    fuse_reply_err(request, EROFS);
    return;
  }
  const auto node = NodeOf(server, ino);
  if (!node) {
    fuse_reply_err(request, ENOENT);
    return;
  }
  if (server.files.IsFolder(*node)) {
    fuse_reply_err(request, EISDIR);
    return;
  }
  const NodeAttributes attributes = server.files.Attributes(*node);
  // The report grows as damage is met: never serve it from the page cache.
  if (attributes.kind == NodeKind::kReport) {
    info->direct_io = 1;
  } else {
    info->keep_cache = 1;
  }
  const bool first = !server.opened[*node];
  server.opened[*node] = true;
  // Only at the first open: no read of the file can then be waiting on a
  // page of it that the kernel would have to lock to take the bytes.
  if (first && attributes.kind == NodeKind::kFile && attributes.size > 0 &&
      attributes.size <= kPushedFileBytes) {
    PushIntoPageCache(server, ino, *node, attributes.size);
  }
  fuse_reply_open(request, info);
}

void Read(fuse_req_t request, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
  Server& server = ServerOf(request);
  const auto node = NodeOf(server, ino);
  if (!node || offset < 0) {
    fuse_reply_err(request, EINVAL);
    return;
  }
  if (server.buffer.size() < size) server.buffer.resize(size);
  const std::size_t got =
      server.files.Read(*node, static_cast<std::uint64_t>(offset),
                        std::as_writable_bytes(std::span(server.buffer.data(), size)));
  // A short count would read as the file's end (the kernel may even shrink
  // the size it shows): data the size promises and the blocks lack is an
  // error.
  if (server.files.LastReadFellShort()) {
    fuse_reply_err(request, EIO);
    return;
  }
  fuse_reply_buf(request, server.buffer.data(), got);
}

// A folder's listing from entry `offset` on ("." and ".." first), as much
// as fits in `size` bytes; with each entry's attributes when `plus`.
void List(fuse_req_t request, fuse_ino_t ino, size_t size, off_t offset, bool plus) {
  Server& server = ServerOf(request);
  const auto folder = NodeOf(server, ino);
  if (!folder || offset < 0) {
    fuse_reply_err(request, ENOENT);
    return;
  }
  if (!server.files.IsFolder(*folder)) {
    fuse_reply_err(request, ENOTDIR);
    return;
  }
  const std::span<const NodeIndex> children = server.files.Children(*folder);
  if (server.buffer.size() < size) server.buffer.resize(size);
  std::size_t used = 0;
  for (auto index = static_cast<std::size_t>(offset); index < children.size() + 2; ++index) {
    const NodeIndex node = index == 0   ? *folder
                           : index == 1 ? server.files.ParentOf(*folder)
                                        : children[index - 2];
    const std::string name = index == 0   ? "."
                             : index == 1 ? ".."
                                          : std::string(server.files.NameOf(node));
    const auto next = static_cast<off_t>(index + 1);
    char* at = server.buffer.data() + used;
    const std::size_t room = size - used;
    std::size_t length = 0;
    if (plus) {
      const fuse_entry_param entry = EntryOf(server, node);
      length = fuse_add_direntry_plus(request, at, room, name.c_str(), &entry, next);
    } else {
      struct stat st {};
      st.st_ino = InoOf(node);
      st.st_mode = server.files.IsFolder(node) ? S_IFDIR : 0;
      length = fuse_add_direntry(request, at, room, name.c_str(), &st, next);
    }
    if (length > room) break;  // the next call starts here
    used += length;
  }
  fuse_reply_buf(request, server.buffer.data(), used);
}

void ReadDir(fuse_req_t request, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
  List(request, ino, size, offset, false);
}

void ReadDirPlus(fuse_req_t request, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
  List(request, ino, size, offset, true);
}

void StatFs(fuse_req_t request, fuse_ino_t) {
  Server& server = ServerOf(request);
  struct statvfs st {};
  st.f_bsize = 1024;
  st.f_frsize = 1024;
  st.f_files = server.files.NodeCount();
  st.f_namemax = 255;
  st.f_flag = ST_RDONLY;
  fuse_reply_statfs(request, &st);
}

// Everything that would change the volume (the mount is read-only for the
// kernel too: these are for a kernel that asks anyway).
void RefuseSetAttr(fuse_req_t request, fuse_ino_t, struct stat*, int, fuse_file_info*) {
  fuse_reply_err(request, EROFS);
}
void RefuseMknod(fuse_req_t request, fuse_ino_t, const char*, mode_t, dev_t) {
  fuse_reply_err(request, EROFS);
}
void RefuseMkdir(fuse_req_t request, fuse_ino_t, const char*, mode_t) {
  fuse_reply_err(request, EROFS);
}
void RefuseName(fuse_req_t request, fuse_ino_t, const char*) { fuse_reply_err(request, EROFS); }
void RefuseSymlink(fuse_req_t request, const char*, fuse_ino_t, const char*) {
  fuse_reply_err(request, EROFS);
}
void RefuseRename(fuse_req_t request, fuse_ino_t, const char*, fuse_ino_t, const char*,
                  unsigned int) {
  fuse_reply_err(request, EROFS);
}
void RefuseLink(fuse_req_t request, fuse_ino_t, fuse_ino_t, const char*) {
  fuse_reply_err(request, EROFS);
}
void RefuseWrite(fuse_req_t request, fuse_ino_t, const char*, size_t, off_t, fuse_file_info*) {
  fuse_reply_err(request, EROFS);
}
void RefuseCreate(fuse_req_t request, fuse_ino_t, const char*, mode_t, fuse_file_info*) {
  fuse_reply_err(request, EROFS);
}
void RefuseSetXattr(fuse_req_t request, fuse_ino_t, const char*, const char*, size_t, int) {
  fuse_reply_err(request, EROFS);
}
void RefuseAllocate(fuse_req_t request, fuse_ino_t, int, off_t, off_t, fuse_file_info*) {
  fuse_reply_err(request, EROFS);
}

fuse_lowlevel_ops Operations() {
  fuse_lowlevel_ops ops{};
  ops.init = Init;
  ops.lookup = LookUp;
  ops.getattr = GetAttr;
  ops.readlink = ReadLink;
  ops.open = Open;
  ops.read = Read;
  ops.readdir = ReadDir;
  ops.readdirplus = ReadDirPlus;
  ops.statfs = StatFs;
  // No flush: the kernel stops asking after the first, as nothing is
  // written; and nodes are never forgotten, so no forget either.
  ops.setattr = RefuseSetAttr;
  ops.mknod = RefuseMknod;
  ops.mkdir = RefuseMkdir;
  ops.unlink = RefuseName;
  ops.rmdir = RefuseName;
  ops.symlink = RefuseSymlink;
  ops.rename = RefuseRename;
  ops.link = RefuseLink;
  ops.write = RefuseWrite;
  ops.create = RefuseCreate;
  ops.setxattr = RefuseSetXattr;
  ops.removexattr = RefuseName;
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

  const fuse_lowlevel_ops ops = Operations();
  Server server(files);
  fuse_session* session = fuse_session_new(&args.args, &ops, sizeof ops, &server);
  if (session == nullptr) {
    return std::unexpected(
        Error{ErrorCode::kInvalidArgument, "cannot set up the FUSE file system", std::nullopt});
  }
  server.session = session;
  server.opened.assign(files.NodeCount(), false);
  if (fuse_session_mount(session, mountPoint.c_str()) != 0) {
    fuse_session_destroy(session);
    return std::unexpected(
        Error{ErrorCode::kPermission,
              fmt::format("{}: cannot mount here (is /dev/fuse usable, and fuse3 installed?)",
                          options.mountPoint),
              std::nullopt});
  }
  if (fuse_daemonize(options.foreground ? 1 : 0) != 0 || fuse_set_signal_handlers(session) != 0) {
    fuse_session_unmount(session);
    fuse_session_destroy(session);
    return std::unexpected(Error{ErrorCode::kIoError,
                                 fmt::format("{}: cannot serve the mount", options.mountPoint),
                                 std::nullopt});
  }
  // One request at a time: the drive table reads one run at a time.
  const int status = fuse_session_loop(session);
  fuse_remove_signal_handlers(session);
  fuse_session_unmount(session);
  fuse_session_destroy(session);
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
