#pragma once

// Mounting a volume: the directory walks of both types and the pieces the
// extensive search shares with them.

#include <cstdint>
#include <expected>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/error.hpp"
#include "base/settings.hpp"
#include "base/stop_token.hpp"
#include "disk/drive_table.hpp"
#include "fs/file_tree.hpp"
#include "fs/format.hpp"
#include "fs/inode_reader.hpp"
#include "volumes/volume_table.hpp"

namespace tolvar {

// The parts of a mount, in the order they run.
enum class MountPhase {
  kWalk,                  // Normal: the folders from the root
  kInodeScan,             // Extensive: every inode slot of the table
  kFinalizingNames,       // Extensive: folders get the names their parents list
  kGatheringLostFolders,  // Extensive: folders without a parent go below "LostDir"
};

// The events of one mount, on the mounting thread, in order. Every hook
// defaults to nothing.
class MountObserver {
 public:
  virtual ~MountObserver() = default;
  virtual void PhaseStarted(MountPhase /*phase*/) {}
  // A directory block (or, while scanning, an inode-table sector) is read.
  virtual void SectorReading(std::uint64_t /*sector*/) {}
  // A folder or (Extensive) a folder name was recorded; `folderCount` is the
  // number of folders now listed.
  virtual void FolderFound(std::uint32_t /*folderCount*/, std::string_view /*name*/) {}
  // A file was recorded; `fileCount` is the number of files now listed.
  virtual void FileFound(std::uint32_t /*fileCount*/, std::string_view /*name*/) {}
  // The current phase's position, 0 to 99; sent when it changes.
  virtual void Progress(int /*position*/) {}
};

// Blocks already read as directory blocks or indirect lists during one mount.
// A block belongs to one directory; a second claim on it (a damaged or
// hostile volume) is refused, which bounds a mount's work by the volume.
class ClaimedBlocks {
 public:
  // True the first time `block` is claimed.
  [[nodiscard]] bool Claim(std::uint32_t block);
  void Clear() { pages_.clear(); }

 private:
  std::unordered_map<std::uint32_t, std::vector<std::uint64_t>> pages_;
};

// What a mount works on. The references outlive the mount.
struct MountContext {
  DriveTable& drives;
  const VolumeInfo& volume;
  FileTree& tree;
  RecoveryMode mode;
  MountObserver& observer;
  StopToken stop;
  ClaimedBlocks claimed{};
  // The inode table, read ahead in windows (aimed by MountInto).
  ReadAheadPath inodeSectors{drives, kInodeTableReadAhead};
};

using MountResult = std::expected<void, Error>;

// The data blocks of directory `inode` in order, as the walk reads them. HTFS:
// direct addresses up to the first zero, then the single- and double-indirect
// lists, each taken only when the level before it was full, up to their first
// zero. EAFS: every block its size covers, through direct, single- and
// double-indirect addresses; holes are left out. Addresses outside the volume
// and blocks already claimed in this mount are left out.
// Indirect blocks that do not read are recorded against `folder`.
[[nodiscard]] std::vector<std::uint32_t> DirectoryBlocks(MountContext& context,
                                                         std::uint32_t folder, const Inode& inode);

// Parses one directory block at absolute `sector` with `parent` as the
// parent inode: each usable entry becomes a file, folder or (extensive mode)
// folder-name record. `firstBlock`: an EAFS block must pass the "." and ".."
// test and its first two slots are skipped.
[[nodiscard]] MountResult ParseDirectoryBlock(MountContext& context, std::uint64_t sector,
                                              std::uint32_t parent, bool firstBlock = true);

// Reads directory `inode` and parses each of its blocks with it as parent.
// An EAFS directory whose first block fails the "." and ".." test adds nothing.
[[nodiscard]] MountResult WalkDirectory(MountContext& context, std::uint32_t inode);

// The Normal mode: the root, then every folder in list order (those found on
// the way included), until the list ends or a stop is requested.
[[nodiscard]] MountResult NormalWalk(MountContext& context);

// Mounts `volume` in `mode` into a new file tree: the Normal walk, or the
// Extensive scan followed by the name pass and the gathering of lost
// folders. A stop ends the phase it comes in (the token is cleared between
// phases and at the end); what was found so far is kept. The only error is
// running out of memory (code kOutOfMemory).
[[nodiscard]] std::expected<FileTree, Error> Mount(DriveTable& drives, const VolumeInfo& volume,
                                                   RecoveryMode mode, MountObserver& observer,
                                                   StopToken stop);

// The same into a tree the caller owns, which is emptied first (a front end
// that keeps one tree for the whole session).
[[nodiscard]] MountResult MountInto(FileTree& tree, DriveTable& drives, const VolumeInfo& volume,
                                    RecoveryMode mode, MountObserver& observer, StopToken stop);

}  // namespace tolvar
