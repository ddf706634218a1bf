#include "mount/volume_files.hpp"

#include <fmt/format.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <unordered_set>

#include "fs/inode_reader.hpp"
#include "fs/timestamp.hpp"
#include "recovery/host_names.hpp"
#include "recovery/report.hpp"
#include "recovery/whole_range_io.hpp"

namespace tolvar::mountfs {

namespace {

constexpr std::uint32_t kRootInode = 2;
// Inode 1 holds bad blocks on these file systems, never a file: free for the report.
constexpr std::uint32_t kReportInode = 1;
// A stored link target longer than this is damage, not a target.
constexpr std::uint64_t kMaxLinkTarget = 4096;

NodeKind KindOfMode(std::uint16_t mode) {
  switch (mode & 0xF000) {
    case 0x1000:
      return NodeKind::kPipe;
    case 0x2000:
      return NodeKind::kCharDevice;
    case 0x6000:
      return NodeKind::kBlockDevice;
    case 0xA000:
      return NodeKind::kSymlink;
    case 0xC000:
      return NodeKind::kSocket;
    default:
      return NodeKind::kFile;
  }
}

std::uint32_t HostTypeBits(NodeKind kind) {
  switch (kind) {
    case NodeKind::kFolder:
      return S_IFDIR;
    case NodeKind::kSymlink:
      return S_IFLNK;
    case NodeKind::kCharDevice:
      return S_IFCHR;
    case NodeKind::kBlockDevice:
      return S_IFBLK;
    case NodeKind::kPipe:
      return S_IFIFO;
    case NodeKind::kSocket:
      return S_IFSOCK;
    case NodeKind::kFile:
    case NodeKind::kReport:
      return S_IFREG;
  }
  return S_IFREG;
}

// A few short windows: a file's indirect blocks lie apart, each near its data.
constexpr ReadAheadShape kIndirectReadAhead{32, 4};

}  // namespace

VolumeFiles::VolumeFiles(DriveTable& drives, const VolumeInfo& volume, const FileTree& tree,
                         std::uint32_t sectorsPerRead, std::string source)
    : drives_(drives),
      volume_(volume),
      source_(std::move(source)),
      inodeSectors_(drives, kInodeTableReadAhead),
      indirectSectors_(drives, kIndirectReadAhead),
      reader_(drives, volume, sectorsPerRead),
      mountTime_(static_cast<std::int64_t>(std::time(nullptr))) {
  const SectorRange table = InodeTableSectors(volume);
  inodeSectors_.Aim(table.first, table.end);
  indirectSectors_.Aim(volume.startSector, std::uint64_t{volume.startSector} + volume.sizeSectors);
  reader_.ReadIndirectBlocksThrough(&indirectSectors_);
  Node root;
  root.kind = NodeKind::kFolder;
  root.diskInode = kRootInode;
  nodes_.push_back(std::move(root));

  // The report takes its name first; an entry of the volume with the same
  // name is shown under a numbered one.
  Node report;
  report.kind = NodeKind::kReport;
  report.diskInode = kReportInode;
  report.synthetic = true;
  report.inodeRead = true;
  reportNode_ = AddChild(kRootNode, {}, std::move(report));

  // Depth first from the root, each folder once, without recursion: a
  // chain of nested folders is as deep as the disk says.
  std::unordered_set<std::uint32_t> seenFolders{kRootInode};
  std::vector<std::pair<std::uint32_t, NodeIndex>> pending{{kRootInode, kRootNode}};
  while (!pending.empty()) {
    const auto [folderInode, folderNode] = pending.back();
    pending.pop_back();
    for (const std::uint32_t index : tree.ChildFolders(folderInode)) {
      const FolderNode& folder = tree.Folders()[index];
      if (!seenFolders.insert(folder.inode).second) continue;
      Node node;
      node.kind = NodeKind::kFolder;
      node.diskInode = folder.inode;
      node.time = folder.time;
      // The extensive search's gathering folder has no inode of its own.
      node.synthetic = folder.inode == kLostDirInode;
      node.inodeRead = node.synthetic;
      const NodeIndex added = AddChild(folderNode, folder.name, std::move(node));
      pending.emplace_back(folder.inode, added);
    }
    for (const std::uint32_t index : tree.ChildFiles(folderInode)) {
      const FileNode& file = tree.Files()[index];
      Node node;
      node.diskInode = file.inode;
      node.time = file.time;
      node.size = file.size;
      AddChild(folderNode, file.name, std::move(node));
      ++linksByInode_[file.inode];
    }
  }
}

NodeIndex VolumeFiles::AddChild(NodeIndex parent, std::string_view rawName, Node node) {
  const NodeIndex index = static_cast<NodeIndex>(nodes_.size());
  std::string shown =
      node.kind == NodeKind::kReport ? std::string(kReportFileName) : EscapeHostName(rawName);
  // Names must be unique within a folder; a damaged or searched volume can
  // hold the same name twice, or thousands of times: the number to try next
  // is kept per name, so each costs one look-up.
  auto& siblings = nodes_[parent].byName;
  if (siblings.contains(shown)) {
    const std::string wanted = shown;
    unsigned& next = nodes_[parent].nextDuplicate.try_emplace(wanted, 1).first->second;
    do {
      shown = DuplicateName(wanted, next++);
    } while (siblings.contains(shown));
  }
  node.name = shown;
  node.parent = parent;
  node.place = static_cast<std::uint32_t>(nodes_[parent].children.size());
  siblings.emplace(std::move(shown), index);
  nodes_[parent].children.push_back(index);
  nodes_.push_back(std::move(node));
  return index;
}

std::optional<NodeIndex> VolumeFiles::Lookup(std::string_view path) const {
  NodeIndex node = kRootNode;
  while (!path.empty()) {
    const std::size_t start = path.find_first_not_of('/');
    if (start == std::string_view::npos) break;
    path.remove_prefix(start);
    const std::size_t end = std::min(path.find('/'), path.size());
    const auto child = Child(node, path.substr(0, end));
    if (!child) return std::nullopt;
    node = *child;
    path.remove_prefix(end);
  }
  return node;
}

std::optional<NodeIndex> VolumeFiles::Child(NodeIndex folder, std::string_view name) const {
  const auto& names = nodes_[folder].byName;
  const auto found = names.find(std::string(name));
  if (found == names.end()) return std::nullopt;
  return found->second;
}

VolumeFiles::Node& VolumeFiles::Loaded(NodeIndex index) {
  Node& node = nodes_[index];
  if (!node.inodeRead) {
    node.inode = ReadInodeRecord(drives_, volume_, node.diskInode, &inodeSectors_);
    node.inodeRead = true;
    if (index == kRootNode) node.time = node.inode.time;
    if (node.kind != NodeKind::kFolder) {
      node.kind = KindOfMode(node.inode.mode);
      const bool hasData = node.kind == NodeKind::kFile || node.kind == NodeKind::kSymlink;
      if (!hasData) node.size = 0;
    }
  }
  return node;
}

NodeAttributes VolumeFiles::Attributes(NodeIndex index) {
  Node& node = Loaded(index);
  NodeAttributes attributes;
  attributes.kind = node.kind;
  attributes.inode = node.diskInode;
  attributes.time =
      IsShowableTimestamp(node.time) ? static_cast<std::int32_t>(node.time) : mountTime_;
  attributes.size = node.size;
  std::uint32_t permissions = node.inode.mode & 07777;
  if (node.kind == NodeKind::kFolder) {
    // Folders made up by the mount, or whose inode does not say folder, are
    // shown open to everyone.
    if (node.synthetic || !IsDirectoryMode(node.inode.mode)) permissions = 0555;
    attributes.links = 2;
    for (const NodeIndex child : node.children) {
      if (nodes_[child].kind == NodeKind::kFolder) ++attributes.links;
    }
  } else if (node.kind == NodeKind::kReport) {
    permissions = 0444;
    attributes.size = ReportText().size();
  } else {
    const auto links = linksByInode_.find(node.diskInode);
    attributes.links = links == linksByInode_.end() ? 1 : links->second;
  }
  attributes.mode = HostTypeBits(node.kind) | permissions;
  return attributes;
}

bool VolumeFiles::IsFolder(NodeIndex node) const { return nodes_[node].kind == NodeKind::kFolder; }

std::string VolumeFiles::PathOf(NodeIndex index) const {
  if (index == kRootNode) return "/";
  std::vector<std::string_view> names;
  for (NodeIndex at = index; at != kRootNode; at = nodes_[at].parent) {
    names.push_back(nodes_[at].name);
  }
  std::string path;
  for (auto name = names.rbegin(); name != names.rend(); ++name) {
    path += '/';
    path += *name;
  }
  return path;
}

void VolumeFiles::NoteDamage(NodeIndex node) {
  if (!reader_.Damaged()) return;
  Damage& damage = damage_[node];
  for (const SectorRun& run : reader_.UnreadableSectors()) {
    if (std::ranges::find(damage.unreadable, run) == damage.unreadable.end()) {
      damage.unreadable.push_back(run);
    }
  }
  std::ranges::sort(damage.unreadable, {}, &SectorRun::first);
  damage.blocksOutsideVolume = std::max(damage.blocksOutsideVolume, reader_.BlocksOutsideVolume());
  if (reader_.SizePastBlocks()) damage.blocksEnd = reader_.CopyLength();
}

std::size_t VolumeFiles::Read(NodeIndex index, std::uint64_t offset, std::span<std::byte> out) {
  lastReadShort_ = false;
  if (index == reportNode_) {
    const std::string text = ReportText();
    if (offset >= text.size()) return 0;
    const std::size_t count = std::min<std::size_t>(out.size(), text.size() - offset);
    std::memcpy(out.data(), text.data() + offset, count);
    return count;
  }
  Node& node = Loaded(index);
  if (node.kind != NodeKind::kFile && node.kind != NodeKind::kSymlink) return 0;
  std::size_t done = 0;
  while (done < out.size() && offset + done < node.size) {
    const std::uint64_t want = offset + done;
    // What the last piece read still holds serves first: the kernel asks
    // for pieces of its own size, which rarely line up with the reader's.
    if (readerNode_ == index && want >= pieceStart_ && want < pieceStart_ + piece_.size()) {
      const std::size_t from = static_cast<std::size_t>(want - pieceStart_);
      const std::size_t count = std::min(out.size() - done, piece_.size() - from);
      std::memcpy(out.data() + done, piece_.data() + from, count);
      done += count;
      continue;
    }
    if (readerNode_ != index) {
      reader_.Start(node.inode, node.size);
      readerNode_ = index;
    }
    if (reader_.Position() != want) reader_.Seek(want);
    // Seek goes to a whole sector: a run goes straight in only from there.
    if (reader_.Position() == want && ReadRunInto(out.subspan(done))) {
      done += static_cast<std::size_t>(reader_.Position() - want);
      continue;
    }
    pieceStart_ = reader_.Position();
    piece_ = reader_.Next();
    NoteDamage(index);
    if (piece_.empty()) {
      lastReadShort_ = offset + done < node.size;
      break;
    }
  }
  return done;
}

bool VolumeFiles::ReadRunInto(std::span<std::byte> out) {
  // Only from where the kernel asked, and whole sectors of it.
  const std::uint64_t at = reader_.Position();
  if (at % kSectorSize != 0 || out.size() < kSectorSize) return false;
  const auto run = reader_.NextDataRun(out.size() / kSectorSize);
  if (!run) return false;
  const auto backing = drives_.FileBacking(run->firstSector, run->sectors);
  if (backing && !backing->device &&
      ReadWholeAt(backing->fd, backing->offset, out.first(static_cast<std::size_t>(run->bytes)))) {
    piece_ = {};
    return true;
  }
  // Read the ordinary way, which retries and notes what does not read.
  reader_.Seek(at);
  return false;
}

std::string VolumeFiles::LinkTarget(NodeIndex index) {
  Node& node = Loaded(index);
  std::string target(static_cast<std::size_t>(std::min(node.size, kMaxLinkTarget)), '\0');
  target.resize(Read(index, 0, std::as_writable_bytes(std::span(target))));
  if (const std::size_t nul = target.find('\0'); nul != std::string::npos) target.resize(nul);
  return target;
}

std::string VolumeFiles::ReportText() const {
  std::string text = fmt::format(
      "Files of {} volume \"{}\" with unreadable sectors met while reading them; those sectors "
      "read as zeros.\n",
      source_, volume_.volumeName);
  if (damage_.empty()) return text + "None so far.\n";
  for (const auto& [node, damage] : damage_) {
    text += PathOf(node) + ":";
    if (!damage.unreadable.empty()) {
      text += " unreadable sectors " + SectorRunsText(damage.unreadable);
    }
    if (damage.blocksOutsideVolume != 0) {
      text += fmt::format("{} {} blocks outside the volume", damage.unreadable.empty() ? "" : ";",
                          damage.blocksOutsideVolume);
    }
    if (damage.blocksEnd) {
      const bool first = damage.unreadable.empty() && damage.blocksOutsideVolume == 0;
      text +=
          fmt::format("{} its size of {} bytes runs past its last block; reads past byte {} fail",
                      first ? "" : ";", nodes_[node].size, *damage.blocksEnd);
    }
    text += '\n';
  }
  return text;
}

}  // namespace tolvar::mountfs
