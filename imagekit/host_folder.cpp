#include <dirent.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <map>
#include <utility>

#include "imagekit/image_builder.hpp"

namespace tolvar::imagekit {

namespace {

Error HostError(const std::string& path, int error) {
  return Error{error == EACCES ? ErrorCode::kPermission : ErrorCode::kNotReadable,
               fmt::format("cannot read {}: {}", path, std::strerror(error)),
               {}};
}

std::int64_t ClampTime(std::int64_t t) {
  return std::clamp<std::int64_t>(t, std::numeric_limits<std::int32_t>::min(),
                                  std::numeric_limits<std::int32_t>::max());
}

std::uint16_t Clamp16(std::uint64_t v) {
  return static_cast<std::uint16_t>(std::min<std::uint64_t>(v, 0xFFFF));
}

std::expected<std::vector<std::string>, Error> SortedNames(const std::string& path) {
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return std::unexpected(HostError(path, errno));
  std::vector<std::string> names;
  errno = 0;
  while (dirent* e = ::readdir(dir)) {
    std::string_view name = e->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  int error = errno;
  ::closedir(dir);
  if (error != 0) return std::unexpected(HostError(path, error));
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

std::expected<Node, Error> ReadHostFolder(const std::string& path,
                                          std::vector<std::string>* warnings) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::unexpected(HostError(path, errno));
  if (!S_ISDIR(st.st_mode)) {
    return std::unexpected(
        Error{ErrorCode::kInvalidArgument, fmt::format("{} is not a folder", path), {}});
  }
  Node root = Node::Folder("");
  root.permissions = static_cast<std::uint16_t>(st.st_mode & 07777);
  root.mtime = ClampTime(st.st_mtime);
  root.uid = Clamp16(st.st_uid);
  root.gid = Clamp16(st.st_gid);

  // Files with several names: the first name met (in sorted breadth-first
  // order) holds the data, the others link to it.
  std::map<std::pair<dev_t, ino_t>, std::string> firstName;
  struct Pending {
    Node* node;
    std::string hostPath;
    std::string volumePath;
  };
  std::vector<Pending> queue{{&root, path, ""}};
  for (std::size_t q = 0; q < queue.size(); ++q) {
    Pending current = queue[q];
    auto names = SortedNames(current.hostPath);
    if (!names) return std::unexpected(names.error());
    current.node->children.reserve(names->size());
    for (const std::string& name : *names) {
      std::string hostPath = current.hostPath + "/" + name;
      std::string volumePath = current.volumePath + "/" + name;
      struct stat e {};
      if (::lstat(hostPath.c_str(), &e) != 0) return std::unexpected(HostError(hostPath, errno));
      Node node;
      node.name = name;
      if (S_ISDIR(e.st_mode)) {
        node = Node::Folder(name);
      } else if (S_ISREG(e.st_mode)) {
        auto key = std::make_pair(e.st_dev, e.st_ino);
        auto seen = e.st_nlink > 1 ? firstName.find(key) : firstName.end();
        if (seen != firstName.end()) {
          node = Node::HardLink(name, seen->second);
        } else {
          if (e.st_nlink > 1) firstName.emplace(key, volumePath);
          node.kind = NodeKind::kFile;
          node.size = static_cast<std::uint64_t>(e.st_size);
          node.hostPath = hostPath;
        }
      } else if (S_ISLNK(e.st_mode)) {
        std::string target(static_cast<std::size_t>(std::max<off_t>(e.st_size, 0)) + 256, '\0');
        ssize_t got = ::readlink(hostPath.c_str(), target.data(), target.size());
        if (got < 0) return std::unexpected(HostError(hostPath, errno));
        target.resize(static_cast<std::size_t>(got));
        node = Node::Symlink(name, std::move(target));
      } else if (S_ISCHR(e.st_mode) || S_ISBLK(e.st_mode)) {
        std::uint32_t major = ::major(e.st_rdev);
        std::uint32_t minor = ::minor(e.st_rdev);
        if (minor > 0xFF && warnings != nullptr) {
          warnings->push_back(
              fmt::format("{}: minor device number {} kept to its low 8 bits", hostPath, minor));
        }
        node =
            Node::Device(name, S_ISCHR(e.st_mode) ? NodeKind::kCharDevice : NodeKind::kBlockDevice,
                         major * 256 + (minor & 0xFF));
      } else if (S_ISFIFO(e.st_mode)) {
        node = Node::Pipe(name);
      } else {
        if (warnings != nullptr) {
          warnings->push_back(
              fmt::format("{}: sockets have no place on the disk; passed over", hostPath));
        }
        continue;
      }
      if (node.kind != NodeKind::kHardLink) {
        node.permissions = static_cast<std::uint16_t>(e.st_mode & 07777);
      }
      node.mtime = ClampTime(e.st_mtime);
      if (node.mtime != e.st_mtime && warnings != nullptr) {
        warnings->push_back(fmt::format("{}: time stamp clamped to 32 bits", hostPath));
      }
      node.uid = Clamp16(e.st_uid);
      node.gid = Clamp16(e.st_gid);
      current.node->children.push_back(std::move(node));
    }
    // The children vector is complete, so pointers into it stay valid.
    for (Node& child : current.node->children) {
      if (child.kind == NodeKind::kFolder) {
        queue.push_back(
            {&child, current.hostPath + "/" + child.name, current.volumePath + "/" + child.name});
      }
    }
  }
  return root;
}

}  // namespace tolvar::imagekit
