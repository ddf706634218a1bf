#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/wizard_state.hpp"
#include "disk/drive_table.hpp"
#include "fs/file_tree.hpp"
#include "fs/mount.hpp"
#include "volumes/volume_table.hpp"

namespace tolvar::testing {

// A volume written byte by byte for tests: the superblock, inodes and
// directory blocks are placed exactly where a test wants them, damage
// included. The volume starts at sector `start` of a disk of its own size.
class TinyVolume {
 public:
  struct HtfsEntry {
    std::uint32_t inode = 0;
    std::string name;
    std::uint16_t recordLength = 0;  // 0: header plus name, rounded up to 4
    int nameLength = -1;             // -1: the name's length
  };

  TinyVolume(FsType type, std::uint32_t sizeBlocks, std::uint32_t inodeTableBlocks = 16,
             std::uint32_t start = 0, std::uint32_t diskSectors = 0);

  // An inode with the given addresses (direct first; EAFS writes 3-byte
  // addresses, HTFS u32).
  TinyVolume& Inode(std::uint32_t n, std::uint16_t mode, std::uint32_t size,
                    std::vector<std::uint32_t> direct, std::uint32_t time = kTime,
                    std::uint32_t single = 0, std::uint32_t dbl = 0);
  TinyVolume& Dir(std::uint32_t n, std::vector<std::uint32_t> blocks, std::uint32_t time = kTime,
                  std::uint32_t single = 0, std::uint32_t dbl = 0, std::uint32_t size = 0);
  TinyVolume& File(std::uint32_t n, std::uint32_t size, std::uint32_t time = kTime,
                   std::uint32_t block = 0);
  // EAFS: 16-byte slots from slot 0 (pass "." and ".." yourself when wanted).
  TinyVolume& EafsBlock(std::uint32_t block,
                        const std::vector<std::pair<std::uint16_t, std::string>>& slots);
  // A first EAFS block: ".", "..", then `slots`.
  TinyVolume& EafsDir(std::uint32_t block, std::uint16_t self, std::uint16_t parent,
                      const std::vector<std::pair<std::uint16_t, std::string>>& slots);
  TinyVolume& HtfsBlock(std::uint32_t block, const std::vector<HtfsEntry>& entries);
  // A first HTFS block: "." (record length 12), "..", then `entries`.
  TinyVolume& HtfsDir(std::uint32_t block, std::uint32_t self, std::uint32_t parent,
                      std::vector<HtfsEntry> entries);
  // u32 addresses of an indirect block.
  TinyVolume& Indirect(std::uint32_t block, const std::vector<std::uint32_t>& addresses);
  TinyVolume& Fill(std::uint32_t block, std::byte value);

  [[nodiscard]] std::vector<std::byte>& Bytes() { return bytes_; }
  [[nodiscard]] VolumeInfo Info() const;

  static constexpr std::uint32_t kTime = 1165482300;  // 07-Dec-2006 09:05:00 UTC
  static constexpr std::uint16_t kDirMode = 040755;
  static constexpr std::uint16_t kFileMode = 0100644;

 private:
  [[nodiscard]] std::size_t BlockOffset(std::uint32_t block) const;
  void Put8(std::size_t at, std::uint8_t v);
  void Put16(std::size_t at, std::uint16_t v);
  void Put32(std::size_t at, std::uint32_t v);

  FsType type_;
  std::uint32_t sizeBlocks_;
  std::uint32_t inodeTableBlocks_;
  std::uint32_t start_;
  std::vector<std::byte> bytes_;
};

// A drive table over bytes in memory, with the state a mount works on.
struct MountRig {
  explicit MountRig(std::vector<std::byte> bytes, VolumeInfo info);

  RecoverySettings settings;
  DriveTable drives{settings};
  VolumeInfo volume;
  FileTree tree;
  WizardState state;
  MountObserver observer;  // hears nothing

  // Mounts the volume into `tree` in `mode`, reporting to `listener` (the
  // silent observer unless given) with the state's stop flag.
  MountResult Mount(RecoveryMode mode, MountObserver* listener = nullptr);
  // The engine's context for the mode in state.recoveryMode.
  [[nodiscard]] MountContext Context() {
    return {drives, volume, tree, state.recoveryMode, observer, state.Stop()};
  }

  // For each folder record, whether it hangs below the root, as a browse
  // tree would show it.
  [[nodiscard]] std::vector<bool> ReachableFolders() const;
  // The root's entries as a browse list shows them: folders, then files.
  [[nodiscard]] std::vector<std::string> RootEntries() const;
  // Paths of everything below the root as "a/b/c", folders with a trailing
  // "/": the folders reachable from the root and the files in them.
  [[nodiscard]] std::vector<std::string> Listing() const;
  [[nodiscard]] std::string FolderPath(std::uint32_t inode) const;
  [[nodiscard]] const FolderNode* FolderNamed(std::string_view name) const;
  [[nodiscard]] std::vector<std::string> FileNames() const;
};

}  // namespace tolvar::testing
