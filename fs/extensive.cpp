#include "fs/extensive.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>

#include "fs/inode_reader.hpp"

namespace tolvar {

namespace {

std::string PlaceholderName(std::uint32_t inode) {
  return fmt::format("{}{}", kPlaceholderPrefix, inode);
}

// The inode number the first block of a candidate directory names as ".",
// or 0 when the block is not a directory block of this volume's type that
// may be taken for slot `slot`.
std::uint32_t CandidateSelf(FsType type, std::span<const std::byte> head, std::uint32_t slot,
                            std::uint32_t* parent) {
  DirectoryHead names{};
  if (type != FsType::kHtfs) {
    if (!IsEafsDirectoryBlock(head)) return 0;
    names = EafsDirectoryHead(head);
  } else {
    if (!IsHtfsDirectoryBlock(head)) return 0;
    names = HtfsDirectoryHead(head);
    if (names.parent < kRootInode) return 0;
  }
  if (names.self < kRootInode || names.self != slot) return 0;
  *parent = names.parent;
  return names.self;
}

// Marks every folder below `inode` as reached.
void MarkReached(const FileTree& tree, std::uint32_t inode, std::vector<char>& reached) {
  std::vector<std::uint32_t> pending{inode};
  while (!pending.empty()) {
    const std::uint32_t next = pending.back();
    pending.pop_back();
    for (const std::uint32_t index : tree.ChildFolders(next)) {
      if (reached[index] != 0) continue;
      reached[index] = 1;
      pending.push_back(tree.Folders()[index].inode);
    }
  }
}

}  // namespace

std::uint32_t ExtensiveScanSectors(const VolumeInfo& volume, std::uint64_t driveSectors) {
  if (volume.fsType == FsType::kNone) return 0;
  const std::uint32_t perSector = InodesPerSector(volume.fsType);
  std::uint64_t sectors = volume.inodeCount / perSector;
  const std::uint64_t end =
      std::min(std::uint64_t{volume.startSector} + volume.sizeSectors, driveSectors);
  const std::uint64_t available = end > volume.inodeTableSector ? end - volume.inodeTableSector : 0;
  sectors = std::min(sectors, available);
  if (volume.fsType != FsType::kHtfs) {
    sectors = std::min<std::uint64_t>(sectors, (kEafsMaxInode + perSector - 1) / perSector);
  }
  return static_cast<std::uint32_t>(sectors);
}

MountResult ExtensiveScan(MountContext& context) {
  const VolumeInfo& volume = context.volume;
  const FsType type = volume.fsType;
  if (type == FsType::kNone) return {};
  const std::uint32_t perSector = InodesPerSector(type);
  const std::uint32_t slotBytes = InodeBytes(type);
  const std::uint32_t sectors = ExtensiveScanSectors(volume, context.drives.Current().totalSectors);
  const std::uint64_t slots = std::max<std::uint64_t>(std::uint64_t{sectors} * perSector, 1);
  FileTree& tree = context.tree;

  std::uint32_t slot = 1;  // the inode number of the slot being looked at
  std::array<std::byte, kFsSectorBytes> sector{};
  std::array<std::byte, kFsSectorBytes> head{};
  // The sweep reads the table in order through a read-ahead of its own, so
  // that the directory walks between its sectors do not take its run away.
  ReadAheadPath scan(context.drives, kInodeTableReadAhead, context.stop);
  scan.Aim(volume.inodeTableSector, std::uint64_t{volume.inodeTableSector} + sectors);
  for (std::uint32_t s = 0; s < sectors && !context.stop.StopRequested(); ++s) {
    const std::uint64_t sectorNumber = std::uint64_t{volume.inodeTableSector} + s;
    const auto read = scan.Sector(sectorNumber);
    std::copy(read.begin(), read.end(), sector.begin());
    // An unreadable table sector hides whatever folders its slots held.
    if (context.drives.BadSectors().Contains(sectorNumber)) {
      tree.Findings().unreadable.push_back({0, sectorNumber, 1});
    }
    for (std::uint32_t k = 0; k < perSector; ++k, ++slot) {
      if (slot % 1000 == 0) {
        context.observer.Progress(static_cast<int>(std::uint64_t{slot} * 100 / slots));
        context.observer.SectorReading(sectorNumber);
      }
      const Inode inode =
          DecodeInode(type, std::span<const std::byte>(sector).subspan(std::size_t{k} * slotBytes));
      if (!IsDirectoryInode(inode) || !IsVolumeBlock(volume, inode.FirstBlock())) continue;
      head.fill(std::byte{0});
      const std::uint64_t headSector = BlockSector(volume, inode.FirstBlock());
      (void)context.drives.ReadSectors(headSector, 1, head);
      // A candidate whose first block does not read cannot be told from
      // data: the sectors are counted, for the root as its own.
      if (context.drives.BadSectors().Contains(headSector)) {
        tree.Findings().unreadable.push_back({slot == kRootInode ? kRootInode : 0, headSector, 1});
      }
      std::uint32_t parent = 0;
      const std::uint32_t self = CandidateSelf(type, head, slot, &parent);
      if (self == 0) continue;
      if (self != kRootInode) {
        auto added =
            tree.AddFolder(PlaceholderName(self), self, parent, tree.FolderCount(), inode.time);
        if (!added) return std::unexpected(added.error());
        if (*added == AddResult::kAdded) {
          context.observer.FolderFound(tree.FolderCount(), tree.Folders().back().name);
        }
      }
      if (auto walked = WalkDirectory(context, self); !walked) return walked;
    }
  }
  return {};
}

void FinalizeFolderNames(MountContext& context) {
  context.observer.PhaseStarted(MountPhase::kFinalizingNames);
  FileTree& tree = context.tree;
  for (std::size_t i = 0; i < tree.Folders().size(); ++i) {
    const FolderNode& folder = tree.Folders()[i];
    const FolderNameRecord* listed = tree.FindFolderName(folder.inode);
    if (listed != nullptr && listed->parent == folder.parent) tree.SetFolderName(i, listed->name);
  }
}

MountResult GatherLostFolders(MountContext& context) {
  MountObserver& observer = context.observer;
  FileTree& tree = context.tree;
  observer.PhaseStarted(MountPhase::kGatheringLostFolders);
  if (auto added = tree.AddFolder(kLostDirName, kLostDirInode, kRootInode, tree.FolderCount(), 0);
      !added) {
    return std::unexpected(added.error());
  } else if (*added == AddResult::kAdded) {
    observer.FolderFound(tree.FolderCount(), kLostDirName);
  }
  context.stop.Clear();
  std::uint64_t numerator = 0;
  int shown = -1;
  std::size_t i = 0;
  for (; i < tree.Folders().size() && !context.stop.StopRequested(); ++i) {
    const std::uint64_t quotient = numerator / std::max<std::uint32_t>(tree.FolderCount(), 1);
    const int position = quotient >= 100 ? 99 : static_cast<int>(quotient);
    if (position != shown) observer.Progress(position);
    shown = position;
    numerator += 100;
    const std::uint32_t parent = tree.Folders()[i].parent;
    if (parent == kRootInode || tree.FindFolder(parent) != nullptr) continue;
    auto added = tree.AddPlaceholderFolder(PlaceholderName(parent), parent, kLostDirInode,
                                           tree.FolderCount());
    if (!added) return std::unexpected(added.error());
    if (*added == AddResult::kAdded) {
      observer.FolderFound(tree.FolderCount(), tree.Folders().back().name);
    }
  }

  if (i == tree.Folders().size()) {
    // Every missing parent has its placeholder now; what is still cut off
    // from the root hangs in a cycle of parents. Break each cycle at its
    // first folder in list order.
    std::vector<char> reached(tree.Folders().size(), 0);
    MarkReached(tree, kRootInode, reached);
    for (std::size_t k = 0; k < reached.size(); ++k) {
      if (reached[k] != 0) continue;
      tree.MoveFolder(k, kLostDirInode);
      reached[k] = 1;
      MarkReached(tree, tree.Folders()[k].inode, reached);
    }
  }
  context.stop.Clear();
  return {};
}

}  // namespace tolvar
