#pragma once

// One mounted volume as a read-only file system: the folders and files of a
// mount's file tree as nodes with host-safe names, attributes read from the
// inodes when first asked for, file data read through the drive table, and a
// report of the unreadable sectors met. Free of FUSE, so that it can be
// tested alone. Not thread-safe: the file system serves one request at a time,
// as the drive table reads one run at a time.

#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "disk/drive_table.hpp"
#include "disk/read_ahead_path.hpp"
#include "fs/file_data.hpp"
#include "fs/file_tree.hpp"
#include "fs/format.hpp"
#include "fs/inode_reader.hpp"
#include "volumes/volume_table.hpp"

namespace tolvar::mountfs {

inline constexpr std::string_view kReportFileName = ".tolvar-report.txt";

enum class NodeKind {
  kFolder,
  kFile,
  kSymlink,
  kCharDevice,
  kBlockDevice,
  kPipe,
  kSocket,
  kReport
};

using NodeIndex = std::uint32_t;
inline constexpr NodeIndex kRootNode = 0;

struct NodeAttributes {
  NodeKind kind = NodeKind::kFile;
  std::uint32_t mode = 0;  // a host st_mode: type bits and permissions
  std::uint64_t size = 0;
  std::int64_t time = 0;  // seconds since 1970
  std::uint64_t inode = 0;
  std::uint32_t links = 1;
};

class VolumeFiles {
 public:
  // `tree` must outlive this object; `source` names the image in the report.
  VolumeFiles(DriveTable& drives, const VolumeInfo& volume, const FileTree& tree,
              std::uint32_t sectorsPerRead, std::string source);

  // The node at an absolute path ("/", "/a/b"), as the names are shown.
  [[nodiscard]] std::optional<NodeIndex> Lookup(std::string_view path) const;
  [[nodiscard]] NodeAttributes Attributes(NodeIndex node);
  [[nodiscard]] bool IsFolder(NodeIndex node) const;
  // A folder's entries in order, each one's shown name and folder, and the
  // entry of a shown name.
  [[nodiscard]] std::span<const NodeIndex> Children(NodeIndex folder) const {
    return nodes_[folder].children;
  }
  [[nodiscard]] std::string_view NameOf(NodeIndex node) const { return nodes_[node].name; }
  [[nodiscard]] NodeIndex ParentOf(NodeIndex node) const { return nodes_[node].parent; }
  // Where the node stands among its folder's entries (0 for the first).
  [[nodiscard]] std::uint32_t PlaceOf(NodeIndex node) const { return nodes_[node].place; }
  [[nodiscard]] std::optional<NodeIndex> Child(NodeIndex folder, std::string_view name) const;
  // Copies up to out.size() bytes of a file (or a link's target, or the
  // report) from `offset`; returns how many. Unreadable sectors read as zeros
  // and are remembered for the report.
  [[nodiscard]] std::size_t Read(NodeIndex node, std::uint64_t offset, std::span<std::byte> out);
  // Whether the last Read gave less than the file's size promised: its
  // blocks end before its size (the report says so).
  [[nodiscard]] bool LastReadFellShort() const { return lastReadShort_; }
  // A symbolic link's target as stored (cut at a NUL byte).
  [[nodiscard]] std::string LinkTarget(NodeIndex node);
  // What the report file holds now.
  [[nodiscard]] std::string ReportText() const;
  [[nodiscard]] std::size_t NodeCount() const { return nodes_.size(); }
  // The node's path from the root, as shown ("/" for the root).
  [[nodiscard]] std::string PathOf(NodeIndex node) const;

 private:
  struct Node {
    std::string name;
    NodeIndex parent = kRootNode;
    std::uint32_t place = 0;  // among the parent's children
    std::uint32_t diskInode = 0;
    NodeKind kind = NodeKind::kFile;  // files: settled when the inode is read
    bool synthetic = false;           // made up by the mount: no inode of its own
    bool inodeRead = false;
    Inode inode;
    std::uint32_t time = 0;
    std::uint64_t size = 0;
    std::vector<NodeIndex> children;
    std::unordered_map<std::string, NodeIndex> byName;
    // For names met more than once: the next n of "name (n)" to try.
    std::unordered_map<std::string, unsigned> nextDuplicate;
  };
  struct Damage {
    std::vector<SectorRun> unreadable;
    std::uint64_t blocksOutsideVolume = 0;
    std::optional<std::uint64_t> blocksEnd;  // set when the size runs past the last block
  };

  NodeIndex AddChild(NodeIndex parent, std::string_view rawName, Node node);
  // From a plain image file, the next run of the reader's file that is data
  // goes straight into `out` (as much as fits): no piece in between.
  [[nodiscard]] bool ReadRunInto(std::span<std::byte> out);
  Node& Loaded(NodeIndex node);
  void NoteDamage(NodeIndex node);

  DriveTable& drives_;
  const VolumeInfo& volume_;
  std::string source_;
  std::vector<Node> nodes_;
  std::unordered_map<std::uint32_t, std::uint32_t> linksByInode_;
  NodeIndex reportNode_ = 0;
  // Inodes are asked for one by one as the kernel looks files up, mostly in
  // table order: one read serves many, as in the walk.
  ReadAheadPath inodeSectors_;
  // Indirect blocks, read ahead over the volume: a table's next level is
  // often written right after it.
  ReadAheadPath indirectSectors_;
  FileDataReader reader_;
  std::optional<NodeIndex> readerNode_;
  std::uint64_t pieceStart_ = 0;
  std::span<const std::byte> piece_;
  std::map<NodeIndex, Damage> damage_;
  bool lastReadShort_ = false;
  // What a time stamp that reads "Error" is shown as: the time of mounting.
  std::int64_t mountTime_ = 0;
};

}  // namespace tolvar::mountfs
