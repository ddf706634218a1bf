#include "imagekit/volume_plan.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <unordered_set>

#include "imagekit/sco_format.hpp"

namespace tolvar::imagekit::detail {

namespace f = format;

namespace {

constexpr std::uint64_t kSingleSpan = f::kAddressesPerIndirect;
constexpr std::uint64_t kDoubleSpan = kSingleSpan * kSingleSpan;

Error Invalid(std::string message) {
  return Error{ErrorCode::kInvalidArgument, std::move(message), {}};
}

std::uint64_t Blocks(std::uint64_t bytes) { return (bytes + f::kBlockBytes - 1) / f::kBlockBytes; }

std::uint32_t HtfsRecordLength(std::size_t nameLength) {
  return static_cast<std::uint32_t>((f::kHtfsEntryName + nameLength + 3) & ~std::size_t{3});
}

std::uint32_t EafsSlotsFor(std::size_t nameLength) {
  return static_cast<std::uint32_t>(
      std::max<std::size_t>(1, (nameLength + f::kEafsNameBytes - 1) / f::kEafsNameBytes));
}

std::string ChildPath(const std::string& parent, const std::string& name) {
  return parent == "/" ? "/" + name : parent + "/" + name;
}

std::uint16_t TypeBits(NodeKind kind) {
  switch (kind) {
    case NodeKind::kFolder:
      return f::kModeDirectory;
    case NodeKind::kSymlink:
      return f::kModeSymlink;
    case NodeKind::kCharDevice:
      return f::kModeCharDevice;
    case NodeKind::kBlockDevice:
      return f::kModeBlockDevice;
    case NodeKind::kPipe:
      return f::kModePipe;
    case NodeKind::kFile:
    case NodeKind::kHardLink:
      break;
  }
  return f::kModeRegular;
}

// Hands out blocks the way a file written from start to end gets them: the
// ten direct blocks, then each indirect block just before the blocks it lists.
void AllocateIndirect(int level, std::uint64_t& remaining, std::uint32_t& next,
                      std::vector<std::uint32_t>& data, std::vector<std::uint32_t>& indirectBlocks,
                      std::vector<std::pair<std::uint32_t, std::vector<std::uint32_t>>>& lists) {
  std::size_t me = lists.size();
  lists.push_back({next, {}});
  indirectBlocks.push_back(next++);
  for (std::uint32_t j = 0; j < f::kAddressesPerIndirect && remaining > 0; ++j) {
    lists[me].second.push_back(next);
    if (level == 1) {
      data.push_back(next++);
      --remaining;
    } else {
      AllocateIndirect(level - 1, remaining, next, data, indirectBlocks, lists);
    }
  }
}

}  // namespace

std::uint64_t IndirectBlocksFor(std::uint64_t n) {
  std::uint64_t count = 0;
  if (n <= f::kDirectBlocks) return 0;
  n -= f::kDirectBlocks;
  count += 1;  // single
  if (n <= kSingleSpan) return count;
  n -= kSingleSpan;
  std::uint64_t d = std::min(n, kDoubleSpan);
  count += 1 + (d + kSingleSpan - 1) / kSingleSpan;
  n -= d;
  if (n == 0) return count;
  count += 1 + (n + kDoubleSpan - 1) / kDoubleSpan + (n + kSingleSpan - 1) / kSingleSpan;
  return count;
}

std::expected<VolumePlan, Error> VolumePlan::Prepare(const VolumeDescription& volume,
                                                     std::size_t index) {
  VolumePlan plan;
  plan.volume_ = &volume;
  plan.index_ = index;
  plan.report_.fs = volume.fs;
  if (volume.root.kind != NodeKind::kFolder) {
    return std::unexpected(Invalid(fmt::format("volume {}: the root must be a folder", index + 1)));
  }
  if (volume.fname.size() > 6 || volume.fpack.size() > 6) {
    return std::unexpected(Invalid(
        fmt::format("volume {}: the volume and pack names hold at most 6 bytes", index + 1)));
  }
  if (auto r = plan.Flatten(); !r) return std::unexpected(r.error());
  if (auto r = plan.ResolveLinks(); !r) return std::unexpected(r.error());
  plan.SizeDirectories();
  if (auto r = plan.SizeInodeTable(); !r) return std::unexpected(r.error());

  std::uint64_t needed = 0;
  for (const Flat& node : plan.flat_) {
    needed += node.dataBlocks + IndirectBlocksFor(node.dataBlocks);
  }
  if (needed + plan.firstDataBlock_ > plan.MaximumBlocks()) {
    return std::unexpected(Error{
        ErrorCode::kNoSpace,
        fmt::format("volume {}: the contents need {} blocks, more than the {} blocks a volume "
                    "of this type can hold",
                    index + 1, needed + plan.firstDataBlock_, plan.MaximumBlocks()),
        {}});
  }
  plan.neededBlocks_ = static_cast<std::uint32_t>(needed);

  std::int64_t latest = std::numeric_limits<std::int64_t>::min();
  for (const Flat& node : plan.flat_) latest = std::max(latest, node.node->mtime);
  plan.report_.time = volume.time.value_or(latest > 0 ? latest : kDefaultTime);
  if (plan.report_.time < std::numeric_limits<std::int32_t>::min() ||
      plan.report_.time > std::numeric_limits<std::int32_t>::max()) {
    return std::unexpected(Invalid(
        fmt::format("volume {}: the time {} does not fit 32 bits", index + 1, plan.report_.time)));
  }
  return plan;
}

std::expected<void, Error> VolumePlan::Flatten() {
  // Breadth-first, so the children of every folder are consecutive.
  flat_.push_back(Flat{&volume_->root, 0, 0, 0, 2, 0, 0, 0, 0, 0});
  report_.nodes.push_back(NodeReport{"/", NodeKind::kFolder, 0, 0, 0, {}, {}});
  std::unordered_set<std::string_view> names;
  for (std::size_t i = 0; i < flat_.size(); ++i) {
    const Node& node = *flat_[i].node;
    std::string path = report_.nodes[i].path;
    auto fail = [&](std::string_view what) {
      return std::unexpected(Invalid(fmt::format("volume {}: {}: {}", index_ + 1, path, what)));
    };
    if (node.mtime < std::numeric_limits<std::int32_t>::min() ||
        node.mtime > std::numeric_limits<std::int32_t>::max()) {
      return fail("the time stamp does not fit 32 bits");
    }
    Flat& me = flat_[i];
    switch (node.kind) {
      case NodeKind::kFile:
        me.size = node.contents ? node.contents->size() : node.size;
        if (me.size > std::numeric_limits<std::uint32_t>::max()) {
          return fail("files hold at most 4294967295 bytes");
        }
        break;
      case NodeKind::kSymlink:
        me.size = node.target.size();
        if (me.size > f::kBlockBytes * f::kDirectBlocks) {
          return fail("a symbolic link's target holds at most 10240 bytes");
        }
        break;
      case NodeKind::kCharDevice:
      case NodeKind::kBlockDevice:
        if (volume_->fs != FsKind::kHtfs && node.device > f::kEafsMaxAddress) {
          return fail("EAFS and AFS device numbers hold at most 24 bits");
        }
        break;
      case NodeKind::kFolder:
      case NodeKind::kPipe:
      case NodeKind::kHardLink:
        break;
    }
    me.dataBlocks = static_cast<std::uint32_t>(Blocks(me.size));
    if (node.kind != NodeKind::kFolder) {
      if (!node.children.empty()) return fail("only folders hold entries");
      continue;
    }
    if (flat_.size() + node.children.size() > std::numeric_limits<std::uint32_t>::max() / 2) {
      return fail("too many entries");
    }
    me.firstChild = static_cast<std::uint32_t>(flat_.size());
    me.childCount = static_cast<std::uint32_t>(node.children.size());
    names.clear();
    for (const Node& child : node.children) {
      std::string childPath = ChildPath(path, child.name);
      auto childFail = [&](std::string_view what) {
        return std::unexpected(
            Invalid(fmt::format("volume {}: {}: {}", index_ + 1, childPath, what)));
      };
      if (child.name.empty()) return fail("an entry has an empty name");
      if (child.name.size() > f::kMaxNameBytes) {
        return childFail("the name is longer than 255 bytes");
      }
      if (volume_->fs == FsKind::kAfs && child.name.size() > f::kEafsNameBytes) {
        return childFail("AFS names hold at most 14 bytes");
      }
      if (child.name == "." || child.name == ".." ||
          child.name.find_first_of(std::string_view("/\0", 2)) != std::string::npos) {
        return childFail("the name may not be \".\" or \"..\" or hold '/' or NUL");
      }
      if (!names.insert(child.name).second) return childFail("the name occurs twice");
      std::uint32_t links = child.kind == NodeKind::kFolder ? 2 : 1;
      flat_.push_back(Flat{&child, static_cast<std::uint32_t>(i), 0, 0, links, 0, 0, 0, 0, 0});
      report_.nodes.push_back(NodeReport{std::move(childPath), child.kind, 0, 0, 0, {}, {}});
    }
  }
  // Inode numbers in the same breadth-first order; hard links get theirs later.
  std::uint32_t next = f::kRootInode;
  for (std::size_t i = 0; i < flat_.size(); ++i) {
    if (flat_[i].node->kind == NodeKind::kHardLink) continue;
    report_.nodes[i].inode = next++;
  }
  usedInodes_ = next - 1;
  for (std::size_t i = 0; i < flat_.size(); ++i) {
    report_.nodes[i].parentInode = report_.nodes[flat_[i].parent].inode;
    if (flat_[i].node->kind == NodeKind::kFolder && i != 0) ++flat_[flat_[i].parent].links;
  }
  return {};
}

void VolumePlan::BuildPathIndex() const {
  if (!byPath_.empty()) return;
  byPath_.reserve(report_.nodes.size());
  for (std::size_t i = 0; i < report_.nodes.size(); ++i) byPath_.emplace(report_.nodes[i].path, i);
}

std::optional<std::size_t> VolumePlan::FindPath(std::string_view path) const {
  BuildPathIndex();
  std::string normal(path);
  while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
  if (normal.empty() || normal.front() != '/') normal.insert(normal.begin(), '/');
  auto it = byPath_.find(normal);
  if (it == byPath_.end()) return std::nullopt;
  return it->second;
}

std::expected<void, Error> VolumePlan::ResolveLinks() {
  for (std::size_t i = 0; i < flat_.size(); ++i) {
    if (flat_[i].node->kind != NodeKind::kHardLink) continue;
    auto fail = [&](std::string_view what) {
      return std::unexpected(
          Invalid(fmt::format("volume {}: {}: {}", index_ + 1, report_.nodes[i].path, what)));
    };
    auto target = FindPath(flat_[i].node->target);
    // A link may name another link; follow the chain, which cannot be
    // longer than the number of nodes.
    for (std::size_t hops = 0; target && flat_[*target].node->kind == NodeKind::kHardLink; ++hops) {
      if (hops > flat_.size()) return fail("the hard links form a loop");
      target = FindPath(flat_[*target].node->target);
    }
    if (!target)
      return fail(fmt::format("the link target {} does not exist", flat_[i].node->target));
    if (flat_[*target].node->kind == NodeKind::kFolder)
      return fail("folders cannot be hard-linked");
    flat_[i].target = static_cast<std::uint32_t>(*target);
    flat_[i].dataBlocks = 0;
    ++flat_[*target].links;
    report_.nodes[i].inode = report_.nodes[*target].inode;
    report_.nodes[i].kind = NodeKind::kHardLink;
  }
  return {};
}

void VolumePlan::SizeDirectories() {
  for (std::size_t i = 0; i < flat_.size(); ++i) {
    Flat& dir = flat_[i];
    if (dir.node->kind != NodeKind::kFolder) continue;
    if (volume_->fs == FsKind::kHtfs) {
      std::uint32_t block = 0;
      std::uint32_t offset = 24;  // "." and ".." take 12 bytes each
      for (std::uint32_t c = 0; c < dir.childCount; ++c) {
        Flat& child = flat_[dir.firstChild + c];
        std::uint32_t length = HtfsRecordLength(child.node->name.size());
        if (offset + length > f::kBlockBytes) {
          ++block;
          offset = 0;
        }
        child.entryBlock = block;
        child.entryOffset = offset;
        offset += length;
      }
      dir.size = std::uint64_t{block + 1} * f::kBlockBytes;
    } else {
      std::uint32_t slot = 2;  // after "." and ".."
      for (std::uint32_t c = 0; c < dir.childCount; ++c) {
        Flat& child = flat_[dir.firstChild + c];
        std::uint32_t slots = EafsSlotsFor(child.node->name.size());
        // A long name's chain stays within one block.
        if (slot % f::kEafsEntriesPerBlock + slots > f::kEafsEntriesPerBlock) {
          slot = (slot / f::kEafsEntriesPerBlock + 1) * f::kEafsEntriesPerBlock;
        }
        std::uint32_t last = slot + slots - 1;
        child.entryBlock = last / f::kEafsEntriesPerBlock;
        child.entryOffset = (last % f::kEafsEntriesPerBlock) * f::kEafsEntryBytes;
        slot += slots;
      }
      dir.size = std::uint64_t{slot} * f::kEafsEntryBytes;
    }
    dir.dataBlocks = static_cast<std::uint32_t>(Blocks(dir.size));
  }
}

std::expected<void, Error> VolumePlan::SizeInodeTable() {
  std::uint32_t perBlock =
      volume_->fs == FsKind::kHtfs ? f::kHtfsInodesPerBlock : f::kEafsInodesPerBlock;
  std::uint64_t slots = volume_->inodes.value_or(std::uint64_t{usedInodes_} +
                                                 std::max<std::uint32_t>(16, usedInodes_ / 10));
  if (slots < usedInodes_) {
    return std::unexpected(Invalid(fmt::format("volume {}: the contents need {} inodes, {} given",
                                               index_ + 1, usedInodes_, slots)));
  }
  if (volume_->fs != FsKind::kHtfs) {
    if (usedInodes_ > f::kEafsMaxInode) {
      return std::unexpected(Error{
          ErrorCode::kNoSpace,
          fmt::format("volume {}: {} entries need inode numbers up to {}, but EAFS inode numbers "
                      "end at {}",
                      index_ + 1, flat_.size(), usedInodes_, f::kEafsMaxInode),
          {}});
    }
    if (volume_->inodes && slots > f::kEafsMaxInode) {
      return std::unexpected(Invalid(fmt::format("volume {}: EAFS volumes hold at most {} inodes",
                                                 index_ + 1, f::kEafsMaxInode)));
    }
    slots = std::min<std::uint64_t>((slots + perBlock - 1) / perBlock * perBlock, f::kEafsMaxInode);
  } else {
    slots = (slots + perBlock - 1) / perBlock * perBlock;
    if (slots > std::numeric_limits<std::uint32_t>::max() / 2) {
      return std::unexpected(Invalid(fmt::format("volume {}: too many inodes", index_ + 1)));
    }
  }
  report_.inodeSlots = static_cast<std::uint32_t>(slots);
  report_.inodeTableBlocks = static_cast<std::uint32_t>((slots + perBlock - 1) / perBlock);
  firstDataBlock_ = f::kInodeTableBlock + report_.inodeTableBlocks;
  report_.firstDataBlock = firstDataBlock_;
  return {};
}

std::uint32_t VolumePlan::DefaultBlocks() const {
  std::uint64_t room = std::max<std::uint64_t>(64, neededBlocks_ / 8);
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(MinimumBlocks() + room, MaximumBlocks()));
}

std::uint32_t VolumePlan::MaximumBlocks() const {
  std::uint32_t probeLimit = f::kMaxVolumeSectors / f::kSectorsPerBlock;
  if (volume_->fs != FsKind::kHtfs) return std::min(probeLimit, f::kEafsMaxAddress + 1);
  return probeLimit;
}

std::expected<void, Error> VolumePlan::Place(std::uint32_t startSector, std::uint32_t sizeBlocks) {
  if (sizeBlocks < MinimumBlocks()) {
    return std::unexpected(Error{ErrorCode::kNoSpace,
                                 fmt::format("volume {}: {} blocks given, the contents need {}",
                                             index_ + 1, sizeBlocks, MinimumBlocks()),
                                 {}});
  }
  if (sizeBlocks > MaximumBlocks()) {
    return std::unexpected(Invalid(
        fmt::format("volume {}: {} blocks is more than the {} a volume of this type may have",
                    index_ + 1, sizeBlocks, MaximumBlocks())));
  }
  report_.startSector = startSector;
  report_.sizeBlocks = sizeBlocks;
  std::uint32_t next = firstDataBlock_;
  std::vector<std::pair<std::uint32_t, std::vector<std::uint32_t>>> lists;
  for (std::size_t i = 0; i < flat_.size(); ++i) {
    const Flat& node = flat_[i];
    NodeReport& out = report_.nodes[i];
    out.size = node.node->kind == NodeKind::kHardLink ? flat_[node.target].size : node.size;
    if (node.dataBlocks == 0) continue;
    std::uint64_t remaining = node.dataBlocks;
    out.dataBlocks.reserve(node.dataBlocks);
    for (std::uint32_t d = 0; d < f::kDirectBlocks && remaining > 0; ++d, --remaining) {
      out.dataBlocks.push_back(next++);
    }
    lists.clear();
    std::array<std::uint32_t, 3> tops{};
    for (int level = 1; level <= 3 && remaining > 0; ++level) {
      tops[static_cast<std::size_t>(level - 1)] = next;
      AllocateIndirect(level, remaining, next, out.dataBlocks, out.indirectBlocks, lists);
    }
    if (!lists.empty()) {
      NodeIndirect& mine = indirect_[i];
      mine.tops = tops;
      for (auto& [block, addresses] : lists) {
        mine.blocks.push_back(Indirect{block, std::move(addresses)});
      }
    }
  }
  for (std::size_t i = 0; i < flat_.size(); ++i) {
    if (flat_[i].node->kind == NodeKind::kHardLink) {
      report_.nodes[i].dataBlocks = report_.nodes[flat_[i].target].dataBlocks;
      report_.nodes[i].indirectBlocks = report_.nodes[flat_[i].target].indirectBlocks;
    }
  }
  nextFree_ = next;
  report_.usedBlocks = next - firstDataBlock_;
  report_.freeBlocks = sizeBlocks - next;
  report_.freeInodes = report_.inodeSlots - usedInodes_;
  return {};
}

std::uint64_t VolumePlan::InodeOffset(std::uint32_t inode) const {
  std::uint32_t bytes = volume_->fs == FsKind::kHtfs ? f::kHtfsInodeBytes : f::kEafsInodeBytes;
  return BlockOffset(f::kInodeTableBlock) + std::uint64_t{inode - 1} * bytes;
}

std::optional<std::uint64_t> VolumePlan::EntryOffset(std::size_t index) const {
  if (index == 0 || index >= flat_.size()) return std::nullopt;
  const Flat& node = flat_[index];
  const NodeReport& parent = report_.nodes[node.parent];
  return BlockOffset(parent.dataBlocks.at(node.entryBlock)) + node.entryOffset;
}

std::vector<std::byte> VolumePlan::DirectoryBytes(std::size_t index) const {
  const Flat& dir = flat_[index];
  std::vector<std::byte> bytes(std::size_t{dir.dataBlocks} * f::kBlockBytes);
  std::span<std::byte> all(bytes);
  std::uint32_t self = report_.nodes[index].inode;
  std::uint32_t parent = report_.nodes[dir.parent].inode;
  auto name = [](std::span<std::byte> at, std::string_view text) {
    std::memcpy(at.data(), text.data(), text.size());
  };
  if (volume_->fs == FsKind::kHtfs) {
    // Entries in order; the last entry of each block reaches the block end.
    auto put = [&](std::uint32_t block, std::uint32_t offset, std::uint32_t inode,
                   std::string_view text, std::uint32_t length) {
      std::span<std::byte> e = all.subspan(std::size_t{block} * f::kBlockBytes + offset);
      f::PutU32(e, f::kHtfsEntryInode, inode);
      f::PutU16(e, f::kHtfsEntryRecordLength, length);
      f::PutU8(e, f::kHtfsEntryNameLength, static_cast<std::uint32_t>(text.size()));
      name(e.subspan(f::kHtfsEntryName), text);
    };
    auto lengthUpTo = [&](std::uint32_t c, std::uint32_t offset) {
      // The record length of child c: up to the next entry in the same block,
      // else to the block end.
      if (c + 1 < dir.childCount) {
        const Flat& next = flat_[dir.firstChild + c + 1];
        const Flat& me = flat_[dir.firstChild + c];
        if (next.entryBlock == me.entryBlock) return next.entryOffset - offset;
      }
      return f::kBlockBytes - offset;
    };
    put(0, 0, self, ".", 12);
    std::uint32_t dotDotLength = 12;
    if (dir.childCount == 0 || flat_[dir.firstChild].entryBlock != 0)
      dotDotLength = f::kBlockBytes - 12;
    put(0, 12, parent, "..", dotDotLength);
    for (std::uint32_t c = 0; c < dir.childCount; ++c) {
      std::size_t ci = dir.firstChild + c;
      const Flat& child = flat_[ci];
      put(child.entryBlock, child.entryOffset, report_.nodes[ci].inode, child.node->name,
          lengthUpTo(c, child.entryOffset));
    }
  } else {
    auto put = [&](std::size_t offset, std::uint32_t inode, std::string_view text) {
      std::span<std::byte> e = all.subspan(offset, f::kEafsEntryBytes);
      f::PutU16(e, 0, inode);
      name(e.subspan(2), text);
    };
    put(0, self, ".");
    put(f::kEafsEntryBytes, parent, "..");
    for (std::uint32_t c = 0; c < dir.childCount; ++c) {
      std::size_t ci = dir.firstChild + c;
      const Flat& child = flat_[ci];
      std::string_view text = child.node->name;
      std::uint32_t slots = EafsSlotsFor(text.size());
      std::size_t last = std::size_t{child.entryBlock} * f::kBlockBytes + child.entryOffset;
      std::size_t first = last - std::size_t{slots - 1} * f::kEafsEntryBytes;
      for (std::uint32_t s = 0; s + 1 < slots; ++s) {
        put(first + s * f::kEafsEntryBytes, f::kEafsLongNameMark,
            text.substr(s * f::kEafsNameBytes, f::kEafsNameBytes));
      }
      put(last, report_.nodes[ci].inode, text.substr((slots - 1) * f::kEafsNameBytes));
    }
  }
  return bytes;
}

void VolumePlan::EncodeInode(std::size_t index, std::span<std::byte> out) const {
  const Flat& node = flat_[index];
  const Node& n = *node.node;
  const NodeReport& report = report_.nodes[index];
  std::uint16_t mode =
      n.rawMode.value_or(static_cast<std::uint16_t>(TypeBits(n.kind) | (n.permissions & 07777)));
  std::uint32_t time = static_cast<std::uint32_t>(static_cast<std::int32_t>(n.mtime));
  bool device = n.kind == NodeKind::kCharDevice || n.kind == NodeKind::kBlockDevice;
  // Block addresses in inode order: direct, then the top of each indirection level.
  std::uint32_t addresses[13] = {};
  for (std::size_t d = 0; d < f::kDirectBlocks && d < report.dataBlocks.size(); ++d) {
    addresses[d] = report.dataBlocks[d];
  }
  if (auto it = indirect_.find(index); it != indirect_.end()) {
    for (std::size_t level = 0; level < 3; ++level) addresses[10 + level] = it->second.tops[level];
  }
  if (device) addresses[0] = n.device;
  std::uint32_t blocksHeld =
      static_cast<std::uint32_t>(report.dataBlocks.size() + report.indirectBlocks.size());
  if (volume_->fs == FsKind::kHtfs) {
    f::PutU16(out, f::kHtfsMode, mode);
    f::PutU16(out, f::kHtfsLinks, node.links);
    f::PutU16(out, f::kHtfsUid, n.uid);
    f::PutU16(out, f::kHtfsGid, n.gid);
    f::PutU32(out, f::kHtfsSize, static_cast<std::uint32_t>(node.size));
    f::PutU32(out, f::kHtfsBlockCount, blocksHeld);
    for (std::size_t a = 0; a < 13; ++a) f::PutU32(out, f::kHtfsDirect + 4 * a, addresses[a]);
    f::PutU32(out, f::kHtfsAccessTime, time);
    f::PutU32(out, f::kHtfsShownTime, time);
    f::PutU32(out, f::kHtfsChangeTime, time);
  } else {
    f::PutU16(out, f::kEafsMode, mode);
    f::PutU16(out, f::kEafsLinks, node.links);
    f::PutU16(out, f::kEafsUid, n.uid);
    f::PutU16(out, f::kEafsGid, n.gid);
    f::PutU32(out, f::kEafsSize, static_cast<std::uint32_t>(node.size));
    for (std::size_t a = 0; a < 13; ++a) f::PutU24(out, f::kEafsAddresses + 3 * a, addresses[a]);
    f::PutU32(out, f::kEafsShownTime, time);
    f::PutU32(out, f::kEafsModifyTime, time);
    f::PutU32(out, f::kEafsChangeTime, time);
  }
}

std::expected<void, Error> VolumePlan::WriteNodeBlocks(ImageWriter& writer,
                                                       std::size_t index) const {
  const Flat& node = flat_[index];
  const NodeReport& report = report_.nodes[index];
  if (report.dataBlocks.empty() || node.node->kind == NodeKind::kHardLink) return {};
  const Node& n = *node.node;

  // The bytes of the node, produced in file order.
  std::vector<std::byte> directory;
  int fd = -1;
  if (n.kind == NodeKind::kFolder) {
    directory = DirectoryBytes(index);
  } else if (n.kind == NodeKind::kFile && !n.contents && !n.hostPath.empty()) {
    fd = ::open(n.hostPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      return std::unexpected(
          Error{ErrorCode::kNotReadable,
                fmt::format("cannot read {}: {}", n.hostPath, std::strerror(errno)),
                {}});
    }
  }
  struct CloseFd {
    int fd;
    ~CloseFd() {
      if (fd >= 0) ::close(fd);
    }
  } closer{fd};
  std::uint64_t produced = 0;
  auto produce = [&](std::span<std::byte> out) -> std::expected<void, Error> {
    std::uint64_t have = node.size > produced ? node.size - produced : 0;
    std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(have, out.size()));
    std::memset(out.data() + take, 0, out.size() - take);
    if (n.kind == NodeKind::kFolder) {
      std::memcpy(out.data(), directory.data() + produced, take);
    } else if (n.kind == NodeKind::kSymlink) {
      std::memcpy(out.data(), n.target.data() + produced, take);
    } else if (n.contents) {
      std::memcpy(out.data(), n.contents->data() + produced, take);
    } else if (fd >= 0) {
      std::size_t got = 0;
      while (got < take) {
        ssize_t r = ::read(fd, out.data() + got, take - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
          return std::unexpected(
              Error{ErrorCode::kNotReadable,
                    fmt::format("cannot read {}: {}", n.hostPath,
                                r < 0 ? std::strerror(errno) : "the file became shorter"),
                    {}});
        }
        got += static_cast<std::size_t>(r);
      }
    } else {
      FillBytes(n.fill, produced, out.first(take));
    }
    produced += take;
    return {};
  };

  // Walk the node's blocks in block order, data runs and indirect blocks.
  static const std::vector<Indirect> kNone;
  auto found = indirect_.find(index);
  const std::vector<Indirect>& indirect = found == indirect_.end() ? kNone : found->second.blocks;
  std::vector<std::byte> buffer;
  std::size_t d = 0;
  std::size_t k = 0;
  std::vector<std::byte> list(f::kBlockBytes);
  while (d < report.dataBlocks.size() || k < indirect.size()) {
    if (k < indirect.size() &&
        (d == report.dataBlocks.size() || indirect[k].block < report.dataBlocks[d])) {
      std::fill(list.begin(), list.end(), std::byte{0});
      for (std::size_t a = 0; a < indirect[k].addresses.size(); ++a) {
        f::PutU32(list, 4 * a, indirect[k].addresses[a]);
      }
      if (auto w = writer.Write(BlockOffset(indirect[k].block), list); !w) return w;
      ++k;
      continue;
    }
    // A run of consecutive data blocks, at most 1 MiB at a time.
    std::size_t run = 1;
    while (d + run < report.dataBlocks.size() && run < 1024 &&
           report.dataBlocks[d + run] == report.dataBlocks[d] + run &&
           (k == indirect.size() || indirect[k].block > report.dataBlocks[d + run])) {
      ++run;
    }
    buffer.resize(run * f::kBlockBytes);
    if (auto p = produce(buffer); !p) return p;
    bool zeroFill = n.kind == NodeKind::kFile && !n.contents && fd < 0 &&
                    n.fill.pattern == Fill::Pattern::kZero;
    if (!zeroFill) {
      if (auto w = writer.WriteData(BlockOffset(report.dataBlocks[d]), buffer); !w) return w;
    }
    d += run;
  }
  return {};
}

void VolumePlan::EncodeSuperblock(std::span<std::byte> out, std::uint32_t nextFree,
                                  std::span<const std::uint32_t> cache,
                                  std::uint32_t cacheLink) const {
  bool htfs = volume_->fs == FsKind::kHtfs;
  if (htfs) {
    f::PutU32(out, f::kSbFirstDataBlock, firstDataBlock_);
  } else {
    f::PutU16(out, f::kSbFirstDataBlock, firstDataBlock_);
  }
  f::PutU32(out, f::kSbSizeBlocks, report_.sizeBlocks);
  if (volume_->fs == FsKind::kAfs) {
    // AFS marks its superblock with an all-ones free count and keeps no
    // free-block chain.
    f::PutU16(out, f::kSbFreeCount, f::kAfsFreeCountMark);
  } else {
    f::PutU16(out, f::kSbFreeCount, static_cast<std::uint32_t>(cache.size() + 1));
    f::PutU32(out, f::kSbFreeList, cacheLink);
    for (std::size_t i = 0; i < cache.size(); ++i)
      f::PutU32(out, f::kSbFreeList + 4 * (i + 1), cache[i]);
  }
  // Free-inode cache: the lowest free inode numbers that fit its 16-bit slots.
  std::uint32_t cacheSlots = htfs ? f::kHtfsInodeCacheSlots : f::kEafsInodeCacheSlots;
  std::uint32_t cached = 0;
  for (std::uint32_t ino = usedInodes_ + 1;
       ino <= report_.inodeSlots && ino <= 0xFFFF && cached < cacheSlots; ++ino, ++cached) {
    f::PutU16(out, f::kSbInodeList + 2 * cached, ino);
  }
  f::PutU16(out, f::kSbInodeCount, cached);
  std::uint32_t time = static_cast<std::uint32_t>(static_cast<std::int32_t>(report_.time));
  f::PutU32(out, f::kSbTime, time);
  f::PutU32(out, f::kSbTotalFree, report_.sizeBlocks - nextFree);
  f::PutU16(out, f::kSbTotalFreeInodes, std::min<std::uint32_t>(report_.freeInodes, 0xFFFF));
  std::memcpy(out.data() + f::kSbFname, volume_->fname.data(), volume_->fname.size());
  std::memcpy(out.data() + f::kSbFpack, volume_->fpack.data(), volume_->fpack.size());
  if (htfs) {
    f::PutU32(out, f::kSbHtfsInodeSlots, report_.inodeSlots);
    f::PutU32(out, f::kSbHtfsInodeBlocks, report_.inodeTableBlocks);
  }
  f::PutU32(out, f::kSbState, f::kCleanStateBase - time);
  f::PutU32(out, f::kSbMagic,
            htfs                          ? f::kHtfsMagic
            : volume_->fs == FsKind::kAfs ? f::kAfsMagic
                                          : f::kEafsMagic);
  f::PutU32(out, f::kSbType, f::kBlockType1024);
}

std::expected<void, Error> VolumePlan::WriteFreeList(ImageWriter& writer) const {
  // Free blocks are nextFree_ .. size - 1. Chunks of up to 49 free blocks
  // plus a link: the superblock holds the first chunk, each further chunk
  // lives in a free block of its own (the first free blocks, in order), whose
  // number is the link of the chunk before. A zero link ends the list.
  std::uint64_t freeCount = report_.sizeBlocks - nextFree_;
  std::uint64_t perChunk = f::kFreeCacheSlots - 1;
  std::uint64_t holders = freeCount > perChunk && volume_->fs != FsKind::kAfs
                              ? (freeCount - perChunk + f::kFreeCacheSlots - 1) / f::kFreeCacheSlots
                              : 0;
  std::uint32_t firstEntry = nextFree_ + static_cast<std::uint32_t>(holders);
  std::uint64_t entries = freeCount - holders;
  auto chunk = [&](std::uint64_t c, std::vector<std::uint32_t>& blocks) {
    blocks.clear();
    for (std::uint64_t e = c * perChunk; e < entries && e < (c + 1) * perChunk; ++e) {
      blocks.push_back(static_cast<std::uint32_t>(firstEntry + e));
    }
  };
  std::vector<std::uint32_t> blocks;
  std::vector<std::byte> sector(f::kSectorBytes);
  chunk(0, blocks);
  EncodeSuperblock(sector, nextFree_, blocks, holders > 0 ? nextFree_ : 0);
  if (auto w = writer.Write(BlockOffset(0) + f::kSuperblockSector * f::kSectorBytes, sector); !w) {
    return w;
  }
  std::vector<std::byte> holder(f::kBlockBytes);
  for (std::uint64_t h = 0; h < holders; ++h) {
    std::fill(holder.begin(), holder.end(), std::byte{0});
    chunk(h + 1, blocks);
    std::uint32_t link = h + 1 < holders ? nextFree_ + static_cast<std::uint32_t>(h + 1) : 0;
    f::PutU16(holder, f::kChainCount, static_cast<std::uint32_t>(blocks.size() + 1));
    f::PutU32(holder, f::kChainList, link);
    for (std::size_t i = 0; i < blocks.size(); ++i)
      f::PutU32(holder, f::kChainList + 4 * (i + 1), blocks[i]);
    if (auto w = writer.Write(BlockOffset(nextFree_ + static_cast<std::uint32_t>(h)), holder); !w) {
      return w;
    }
  }
  return {};
}

std::expected<void, Error> VolumePlan::Write(ImageWriter& writer) const {
  if (auto w = WriteFreeList(writer); !w) return w;
  std::uint32_t inodeBytes = volume_->fs == FsKind::kHtfs ? f::kHtfsInodeBytes : f::kEafsInodeBytes;
  std::vector<std::byte> table(std::size_t{report_.inodeTableBlocks} * f::kBlockBytes);
  for (std::size_t i = 0; i < flat_.size(); ++i) {
    if (flat_[i].node->kind == NodeKind::kHardLink) continue;
    std::size_t at = std::size_t{report_.nodes[i].inode - 1} * inodeBytes;
    EncodeInode(i, std::span<std::byte>(table).subspan(at, inodeBytes));
  }
  if (auto w = writer.WriteData(BlockOffset(f::kInodeTableBlock), table); !w) return w;
  for (std::size_t i = 0; i < flat_.size(); ++i) {
    if (auto w = WriteNodeBlocks(writer, i); !w) return w;
  }
  return {};
}

}  // namespace tolvar::imagekit::detail
