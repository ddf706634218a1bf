#pragma once

// Mounting a volume: the directory walks of both types, the mount worker's
// sequence of steps and the pieces the extensive search shares with them.

#include <cstdint>
#include <expected>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "app/state/error.hpp"
#include "app/state/feedback.hpp"
#include "app/state/wizard_state.hpp"
#include "disk/drive_table.hpp"
#include "fs/file_tree.hpp"
#include "fs/format.hpp"
#include "volumes/volume_table.hpp"

namespace tolvar {

class FileFilterList;

inline constexpr std::string_view kMountingHelp =
    "\r\n                Please Wait, Tolvar is mounting the selected file system. Once this "
    "process is completed, it will show you the                       data.";
inline constexpr std::string_view kBrowseHelp =
    "\r\n                Please select the file(s) and folder(s) to recover from right pane and "
    "copy using   Recover Selected      or                             Recover All options from "
    "the Recovery Menu.\r\n                You can open a file by Double Clicking it.";
inline constexpr std::string_view kMountingStatus = "Mounting volume, please wait...";
inline constexpr std::string_view kTreeStatus = "Creating Tree Structure, Please wait";

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
  WizardState& state;
  Feedback& feedback;
  ClaimedBlocks claimed{};
};

using MountResult = std::expected<void, Error>;

// The data blocks of directory `inode` in order, as the walk reads them. HTFS:
// direct addresses up to the first zero, then the single- and double-indirect
// lists, each taken only when the level before it was full, up to their first
// zero. EAFS: every block its size covers, through direct, single- and
// double-indirect addresses; holes are left out. Addresses outside the volume
// and blocks already claimed in this mount are left out.
[[nodiscard]] std::vector<std::uint32_t> DirectoryBlocks(MountContext& context, const Inode& inode);

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

// The window controls a mount switches. Every hook defaults to nothing.
class MountWindow {
 public:
  virtual ~MountWindow() = default;
  virtual void SetBackButton(bool /*shownAndEnabled*/) {}
  virtual void SetStopButton(bool /*shownAndEnabled*/) {}
  // The browse step's layout with the six list columns.
  virtual void ShowBrowseLayout() {}
  // Tree enabled, list shown, menus in their browse state.
  virtual void ShowBrowseControls() {}
};

struct MountViews {
  MountWindow& window;
  FolderTreeSink& tree;
  TreeItemId rootItem = kNoTreeItem;
  BrowseListSink& list;
  const FileFilterList* filters = nullptr;
};

// The mount worker's steps in order: clear the lists, walk (Normal) or scan,
// name and gather (Extensive), then build the tree and list the root. A stop
// shortens the walk but the tree and list are always built. The only error
// is running out of memory (after its message has been shown).
[[nodiscard]] MountResult MountWorker(MountContext& context, MountViews& views);

}  // namespace tolvar
