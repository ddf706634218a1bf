#include "fs/mount.hpp"

#include <algorithm>
#include <array>
#include <new>

#include "fs/extensive.hpp"
#include "fs/inode_reader.hpp"
#include "fs/timestamp.hpp"

namespace tolvar {

namespace {

constexpr std::uint32_t kPageBits = 16;
constexpr std::uint32_t kWordsPerPage = (1U << kPageBits) / 64;

// Blocks a directory can address without the triple-indirect level.
constexpr std::uint64_t kMaxDirectoryBlocks =
    kDirectAddresses + kAddressesPerIndirectBlock +
    std::uint64_t{kAddressesPerIndirectBlock} * kAddressesPerIndirectBlock;

using BlockBuffer = std::array<std::byte, kBlockBytes>;

// Records the sectors of [sector, sector + count) the drive table holds as
// unreadable, for `folder` (0: none known).
void NoteUnreadable(MountContext& context, std::uint32_t folder, std::uint64_t sector,
                    std::uint32_t count) {
  for (const auto& [first, length] : context.drives.BadSectors().RunsIn(sector, count)) {
    context.tree.Findings().unreadable.push_back({folder, first, length});
  }
}

// The addresses an indirect block of directory `folder` lists, or nothing
// when the block is not the volume's or was claimed before.
std::vector<std::uint32_t> ReadIndirect(MountContext& context, std::uint32_t folder,
                                        std::uint32_t block) {
  std::vector<std::uint32_t> addresses;
  if (!IsVolumeBlock(context.volume, block) || !context.claimed.Claim(block)) return addresses;
  BlockBuffer buffer{};
  (void)ReadBlock(context.drives, context.volume, block, buffer);
  NoteUnreadable(context, folder, BlockSector(context.volume, block), kSectorsPerBlock);
  const AddressBlock decoded = DecodeAddressBlock(buffer);
  addresses.assign(decoded.begin(), decoded.end());
  return addresses;
}

// HTFS lists end at their first zero address; a level is followed only when
// the one before it was full.
std::vector<std::uint32_t> HtfsDirectoryBlocks(MountContext& context, std::uint32_t folder,
                                               const Inode& inode) {
  std::vector<std::uint32_t> blocks;
  const std::uint64_t limit =
      std::min<std::uint64_t>(VolumeBlocks(context.volume), kMaxDirectoryBlocks);
  bool full = true;
  auto take = [&](std::uint32_t address) {
    if (address == 0 || blocks.size() >= limit) {
      full = false;
      return false;
    }
    if (IsVolumeBlock(context.volume, address) && context.claimed.Claim(address)) {
      blocks.push_back(address);
    }
    return true;
  };
  for (const std::uint32_t address : inode.direct) {
    if (!take(address)) break;
  }
  if (!full || inode.singleIndirect == 0) return blocks;
  for (const std::uint32_t address : ReadIndirect(context, folder, inode.singleIndirect)) {
    if (!take(address)) break;
  }
  if (!full || inode.doubleIndirect == 0) return blocks;
  for (const std::uint32_t list : ReadIndirect(context, folder, inode.doubleIndirect)) {
    if (list == 0 || !full) break;
    for (const std::uint32_t address : ReadIndirect(context, folder, list)) {
      if (!take(address)) break;
    }
  }
  return blocks;
}

// EAFS directories are as long as their size says; zero addresses are holes.
std::vector<std::uint32_t> EafsDirectoryBlocks(MountContext& context, std::uint32_t folder,
                                               const Inode& inode) {
  std::vector<std::uint32_t> blocks;
  const std::uint32_t first = inode.FirstBlock();
  if (!IsVolumeBlock(context.volume, first) || !context.claimed.Claim(first)) return blocks;
  blocks.push_back(first);
  const std::uint64_t bySize = (std::uint64_t{inode.size} + kBlockBytes - 1) / kBlockBytes;
  const std::uint64_t count =
      std::min({bySize, std::uint64_t{VolumeBlocks(context.volume)}, kMaxDirectoryBlocks});
  auto take = [&](std::uint32_t address) {
    if (IsVolumeBlock(context.volume, address) && context.claimed.Claim(address)) {
      blocks.push_back(address);
    }
  };
  std::uint64_t index = 1;
  for (; index < count && index < kDirectAddresses; ++index) take(inode.direct[index]);
  if (index >= count || inode.singleIndirect == 0) return blocks;
  const auto single = ReadIndirect(context, folder, inode.singleIndirect);
  for (std::uint32_t i = 0; i < single.size() && index < count; ++i, ++index) take(single[i]);
  if (index >= count || inode.doubleIndirect == 0) return blocks;
  const auto lists = ReadIndirect(context, folder, inode.doubleIndirect);
  for (std::uint32_t i = 0; i < lists.size() && index < count; ++i) {
    if (lists[i] == 0) {
      index += kAddressesPerIndirectBlock;  // a hole the size of a whole list
      continue;
    }
    const auto addresses = ReadIndirect(context, folder, lists[i]);
    if (addresses.empty()) {
      index += kAddressesPerIndirectBlock;
      continue;
    }
    for (std::uint32_t k = 0; k < addresses.size() && index < count; ++k, ++index) {
      take(addresses[k]);
    }
  }
  return blocks;
}

MountResult HandleEntry(MountContext& context, const RawDirEntry& raw, std::uint32_t parent) {
  // An entry whose time stamp reads "Error" is kept: the stamp is shown as
  // such, the entry is still the user's data.
  const InodeEntry entry =
      ReadInode(context.drives, context.volume, raw.inode, &context.inodeSectors);
  FileTree& tree = context.tree;
  std::expected<AddResult, Error> added = AddResult::kRefused;
  switch (entry.kind) {
    case EntryKind::kDirectory:
      if (context.mode == RecoveryMode::kExtensive) {
        added = tree.AddFolderName(raw.name, raw.inode, parent);
        if (added && *added == AddResult::kAdded) {
          context.observer.FolderFound(tree.FolderCount(), tree.FolderNames().back().name);
        }
      } else {
        added = tree.AddFolder(raw.name, raw.inode, parent, tree.FolderCount(), entry.time);
        if (added && *added == AddResult::kAdded) {
          context.observer.FolderFound(tree.FolderCount(), tree.Folders().back().name);
        }
      }
      break;
    case EntryKind::kFile:
      added = tree.AddFile(raw.name, raw.inode, parent, tree.FileCount(), entry.time, entry.size);
      if (added && *added == AddResult::kAdded) {
        context.observer.FileFound(tree.FileCount(), tree.Files().back().name);
      }
      break;
    case EntryKind::kOutOfRange:
      break;
  }
  if (!added) return std::unexpected(added.error());
  return {};
}

// Parses one block; the value says whether it was taken as a directory block.
std::expected<bool, Error> ParseBlockAt(MountContext& context, std::uint64_t sector,
                                        std::uint32_t parent, bool firstBlock) {
  context.observer.SectorReading(sector);
  BlockBuffer buffer{};
  // A failed read leaves zeros, which end the block: what the block held is
  // unknown, and the sectors say so in the folder's findings.
  (void)context.drives.ReadSectors(sector, kSectorsPerBlock, buffer);
  NoteUnreadable(context, parent, sector, kSectorsPerBlock);
  const bool isHtfs = context.volume.fsType == FsType::kHtfs;
  if (!isHtfs && firstBlock && !IsEafsDirectoryBlock(buffer)) return false;
  const bool longNames = context.volume.fsType != FsType::kAfs;
  std::uint32_t freeSlots = 0;
  const std::vector<RawDirEntry> entries =
      isHtfs ? ParseHtfsDirectoryEntries(buffer, &freeSlots)
             : ParseEafsDirectoryEntries(buffer, firstBlock, longNames);
  context.tree.Findings().freeSlotsSkipped += freeSlots;
  for (const RawDirEntry& raw : entries) {
    if (auto handled = HandleEntry(context, raw, parent); !handled) {
      return std::unexpected(handled.error());
    }
  }
  return true;
}

}  // namespace

bool ClaimedBlocks::Claim(std::uint32_t block) {
  auto& page = pages_[block >> kPageBits];
  if (page.empty()) page.resize(kWordsPerPage);
  const std::uint32_t bit = block & ((1U << kPageBits) - 1);
  std::uint64_t& word = page[bit / 64];
  const std::uint64_t mask = std::uint64_t{1} << (bit % 64);
  if ((word & mask) != 0) return false;
  word |= mask;
  return true;
}

std::vector<std::uint32_t> DirectoryBlocks(MountContext& context, std::uint32_t folder,
                                           const Inode& inode) {
  return context.volume.fsType == FsType::kHtfs ? HtfsDirectoryBlocks(context, folder, inode)
                                                : EafsDirectoryBlocks(context, folder, inode);
}

MountResult ParseDirectoryBlock(MountContext& context, std::uint64_t sector, std::uint32_t parent,
                                bool firstBlock) {
  auto parsed = ParseBlockAt(context, sector, parent, firstBlock);
  if (!parsed) return std::unexpected(parsed.error());
  return {};
}

MountResult WalkDirectory(MountContext& context, std::uint32_t inode) {
  if (inode < kRootInode) return {};
  const FsType type = context.volume.fsType;
  if (type != FsType::kHtfs && type != FsType::kEafs && type != FsType::kAfs) return {};
  const Inode record =
      ReadInodeRecord(context.drives, context.volume, inode, &context.inodeSectors);
  const std::uint64_t inodeSector =
      context.volume.inodeTableSector + LocateInode(type, inode).sectorOffset;
  NoteUnreadable(context, inode, inodeSector, 1);
  if (record.FirstBlock() == 0) return {};
  std::vector<std::uint32_t> blocks;
  try {
    blocks = DirectoryBlocks(context, inode, record);
  } catch (const std::bad_alloc&) {
    return std::unexpected(Error{ErrorCode::kOutOfMemory, "out of memory", {}});
  }
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    auto parsed = ParseBlockAt(context, BlockSector(context.volume, blocks[i]), inode, i == 0);
    if (!parsed) return std::unexpected(parsed.error());
    // A directory whose first block is not one adds nothing from later blocks.
    if (!*parsed) return {};
  }
  return {};
}

MountResult NormalWalk(MountContext& context) {
  context.stop.Clear();
  if (auto root = WalkDirectory(context, kRootInode); !root) return root;
  std::uint64_t numerator = 0;
  int shown = 0;
  for (std::size_t i = 0; i < context.tree.Folders().size() && !context.stop.StopRequested();
       ++i) {
    const std::uint32_t inode = context.tree.Folders()[i].inode;
    if (auto walked = WalkDirectory(context, inode); !walked) return walked;
    numerator += 100;
    auto position = static_cast<int>(std::min<std::uint64_t>(
        numerator / (std::uint64_t{context.tree.FolderCount()} + 1000), 99));
    position = std::max(position, shown);
    if (position != shown) context.observer.Progress(position);
    shown = position;
  }
  return {};
}

MountResult MountInto(FileTree& tree, DriveTable& drives, const VolumeInfo& volume,
                      RecoveryMode mode, MountObserver& observer, StopToken stop) {
  tree.ClearFileTree();
  MountContext context{drives, volume, tree, mode, observer, stop};
  const SectorRange table = InodeTableSectors(volume);
  context.inodeSectors.Aim(table.first, table.end);
  stop.Clear();
  MountResult walked;
  if (mode == RecoveryMode::kNormal) {
    observer.PhaseStarted(MountPhase::kWalk);
    walked = NormalWalk(context);
  } else {
    observer.PhaseStarted(MountPhase::kInodeScan);
    walked = ExtensiveScan(context);
    stop.Clear();
    if (walked) {
      FinalizeFolderNames(context);
      stop.Clear();
      walked = GatherLostFolders(context);
    }
  }
  stop.Clear();
  return walked;
}

std::expected<FileTree, Error> Mount(DriveTable& drives, const VolumeInfo& volume,
                                     RecoveryMode mode, MountObserver& observer, StopToken stop) {
  FileTree tree;
  if (auto mounted = MountInto(tree, drives, volume, mode, observer, stop); !mounted) {
    return std::unexpected(mounted.error());
  }
  return tree;
}

}  // namespace tolvar
