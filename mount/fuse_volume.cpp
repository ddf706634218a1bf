#define FUSE_USE_VERSION 34

#include "mount/fuse_volume.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <fuse_lowlevel.h>
#include <signal.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

namespace tolvar::mountfs {

namespace {

// Nothing on the volume changes while it is mounted: the kernel may keep
// names and attributes as long as it likes. The report is the exception.
constexpr double kKeepSeconds = 3600;
// A file up to this size is put in the kernel's page cache whole when it is
// opened, rather than asked for piece by piece as it is read.
constexpr std::uint64_t kPushedFileBytes = std::uint64_t{1} << 20;
// How many of the files after an opened one are cached ahead of their open:
// at most this many times kPushedFileBytes of memory the kernel can drop.
constexpr std::size_t kFilesAhead = 16;
// Closed files whose cached pages wait to be let go before the filler is
// woken for them alone.
constexpr std::size_t kDropsPerWake = 16;

// The kernel's node 1 is the root; node n + 1 is our node n.
fuse_ino_t InoOf(NodeIndex node) { return static_cast<fuse_ino_t>(node) + 1; }

// Where a small file's bytes stand in the kernel's page cache, as far as
// this mount put them there.
enum class Cached : std::uint8_t { kNo, kQueued, kPushing, kYes, kDropQueued };

// What the requests share: the volume, and what every answer repeats. The
// requests come one at a time; the filler thread shares the volume with
// them, so both take `lock` to touch it.
struct Server {
  explicit Server(VolumeFiles& volumeFiles)
      : files(volumeFiles),
        cached(volumeFiles.NodeCount(), Cached::kNo),
        openCount(volumeFiles.NodeCount(), 0) {}

  VolumeFiles& files;
  fuse_session* session = nullptr;
  uid_t owner = ::getuid();
  gid_t group = ::getgid();
  std::vector<char> buffer;  // one request at a time

  std::mutex lock;
  std::condition_variable work;  // for the filler: a job, or `stopping`
  std::condition_variable pushEnded;
  std::vector<Cached> cached;            // by node
  std::vector<std::uint32_t> openCount;  // by node: handles the kernel holds
  std::deque<NodeIndex> pushes;          // files to cache ahead, in folder order
  std::deque<NodeIndex> drops;           // closed files whose pages go
  bool fillerRuns = false;               // without it nothing is queued, and nothing let go
  bool stopping = false;
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
  const std::lock_guard held(server.lock);
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
  const std::lock_guard held(server.lock);
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
  const std::lock_guard held(server.lock);
  const auto node = NodeOf(server, ino);
  if (!node || server.files.Attributes(*node).kind != NodeKind::kSymlink) {
    fuse_reply_err(request, EINVAL);
    return;
  }
  const std::string target = server.files.LinkTarget(*node);
  fuse_reply_readlink(request, target.c_str());
}

bool IsPushedSize(const NodeAttributes& attributes) {
  return attributes.kind == NodeKind::kFile && attributes.size > 0 &&
         attributes.size <= kPushedFileBytes;
}

// Hands the kernel a whole small file before it asks: one message instead of
// a read request per read-ahead window. Only for a file no handle holds
// open: no read of it can then be waiting on a page the kernel would have to
// lock to take the bytes. A file that does not read whole is left to the
// read requests, which say so. Called with `held` locked; the lock is let go
// while the kernel takes the bytes.
bool PushIntoPageCache(Server& server, std::unique_lock<std::mutex>& held, std::vector<char>& bytes,
                       NodeIndex node, std::uint64_t size) {
  const auto length = static_cast<std::size_t>(size);
  if (bytes.size() < length) bytes.resize(length);
  const std::size_t got =
      server.files.Read(node, 0, std::as_writable_bytes(std::span(bytes.data(), length)));
  if (server.files.LastReadFellShort() || got != length) return false;
  held.unlock();
  fuse_bufvec data = FUSE_BUFVEC_INIT(length);
  data.buf[0].mem = bytes.data();
  // Refused (an old kernel, or a node the kernel has let go of): the read
  // requests serve the file instead.
  const bool stored =
      fuse_lowlevel_notify_store(server.session, InoOf(node), 0, &data, fuse_buf_copy_flags{}) == 0;
  held.lock();
  return stored;
}

// The files after `node` in its folder go to the filler, so that a program
// reading the folder's files in turn finds the next ones already cached.
void QueueFollowing(Server& server, NodeIndex node) {
  if (!server.fillerRuns) return;
  const std::span<const NodeIndex> siblings = server.files.Children(server.files.ParentOf(node));
  const std::size_t first = std::size_t{server.files.PlaceOf(node)} + 1;
  const std::size_t end = std::min(siblings.size(), first + kFilesAhead);
  bool added = false;
  for (std::size_t place = first; place < end; ++place) {
    const NodeIndex next = siblings[place];
    if (server.openCount[next] != 0 || server.cached[next] != Cached::kNo ||
        server.files.IsFolder(next)) {
      continue;
    }
    server.cached[next] = Cached::kQueued;
    server.pushes.push_back(next);
    added = true;
  }
  if (added) server.work.notify_one();
}

// The filler thread. It lets go of the pages of closed files first: the
// image's own cached pages hold the same bytes, and pages freed as fast as
// they are filled are cheap to fill again, where fresh memory costs more
// than the copy. Then it caches queued files that no handle holds open; one
// opened meanwhile waits for its push to end (see Open).
void FillPageCache(Server& server) {
  std::vector<char> bytes;
  std::unique_lock held(server.lock);
  while (true) {
    server.work.wait(
        held, [&] { return server.stopping || !server.pushes.empty() || !server.drops.empty(); });
    if (server.stopping) return;
    if (!server.drops.empty()) {
      const NodeIndex node = server.drops.front();
      server.drops.pop_front();
      // Opened again since (its next close asks again), or being cached
      // afresh: its pages stay.
      const bool stays =
          server.cached[node] != Cached::kDropQueued && server.cached[node] != Cached::kNo;
      if (server.openCount[node] != 0 || stays) continue;
      server.cached[node] = Cached::kNo;
      held.unlock();
      (void)fuse_lowlevel_notify_inval_inode(server.session, InoOf(node), 0, 0);
      held.lock();
      continue;
    }
    const NodeIndex node = server.pushes.front();
    server.pushes.pop_front();
    if (server.cached[node] != Cached::kQueued) continue;
    const NodeAttributes attributes = server.files.Attributes(node);
    if (server.openCount[node] != 0 || !IsPushedSize(attributes)) {
      server.cached[node] = Cached::kNo;
      continue;
    }
    server.cached[node] = Cached::kPushing;
    const bool stored = PushIntoPageCache(server, held, bytes, node, attributes.size);
    server.cached[node] = stored ? Cached::kYes : Cached::kNo;
    server.pushEnded.notify_all();
  }
}

void Open(fuse_req_t request, fuse_ino_t ino, fuse_file_info* info) {
  Server& server = ServerOf(request);
  if ((info->flags & O_ACCMODE) != O_RDONLY || (info->flags & O_TRUNC) != 0) {
    fuse_reply_err(request, EROFS);
    return;
  }
  std::unique_lock held(server.lock);
  const auto node = NodeOf(server, ino);
  if (!node || server.files.IsFolder(*node)) {
    held.unlock();
    fuse_reply_err(request, node ? EISDIR : ENOENT);
    return;
  }
  const NodeAttributes attributes = server.files.Attributes(*node);
  // The report grows as damage is met: never serve it from the page cache.
  if (attributes.kind == NodeKind::kReport) {
    info->direct_io = 1;
  } else {
    info->keep_cache = 1;
  }
  if (server.openCount[*node] == 0 && IsPushedSize(attributes)) {
    server.pushEnded.wait(held, [&] { return server.cached[*node] != Cached::kPushing; });
    if (server.cached[*node] == Cached::kDropQueued) {
      server.cached[*node] = Cached::kYes;  // its pages stay
    } else if (server.cached[*node] != Cached::kYes) {
      server.cached[*node] = Cached::kPushing;  // the filler leaves it alone
      server.cached[*node] = PushIntoPageCache(server, held, server.buffer, *node, attributes.size)
                                 ? Cached::kYes
                                 : Cached::kNo;
    }
    QueueFollowing(server, *node);
  }
  ++server.openCount[*node];
  held.unlock();
  fuse_reply_open(request, info);
}

void Release(fuse_req_t request, fuse_ino_t ino, fuse_file_info*) {
  Server& server = ServerOf(request);
  {
    const std::lock_guard held(server.lock);
    const auto node = NodeOf(server, ino);
    if (node && server.openCount[*node] != 0 && --server.openCount[*node] == 0 &&
        server.fillerRuns && server.files.Attributes(*node).kind == NodeKind::kFile) {
      if (server.cached[*node] == Cached::kYes) server.cached[*node] = Cached::kDropQueued;
      server.drops.push_back(*node);
      if (server.drops.size() >= kDropsPerWake) server.work.notify_one();
    }
  }
  fuse_reply_err(request, 0);
}

void Read(fuse_req_t request, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
  Server& server = ServerOf(request);
  const std::lock_guard held(server.lock);
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
  const std::lock_guard held(server.lock);
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
  ops.release = Release;
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

// The filler blocks every signal, so that those that end the mount reach the
// thread waiting on the kernel's requests. Without it (no thread to be had)
// files are still cached at their open, and their pages kept.
std::optional<std::thread> StartFiller(Server& server) {
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &before);
  std::optional<std::thread> filler;
  try {
    filler.emplace(FillPageCache, std::ref(server));
  } catch (const std::system_error&) {
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return filler;
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
  // Requests one at a time, beside the filler. Started only now: the daemon
  // has forked, and threads do not cross a fork.
  std::optional<std::thread> filler = StartFiller(server);
  server.fillerRuns = filler.has_value();  // before any request is read
  const int status = fuse_session_loop(session);
  {
    const std::lock_guard held(server.lock);
    server.stopping = true;
  }
  server.work.notify_all();
  if (filler) filler->join();
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
