// A whole Normal and Extensive mount over an in-memory disk. The first byte
// picks the file system type; the rest is the disk, with the volume at
// sector 0 and its figures taken from the superblock as discovery would.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "disk/block_device_source.hpp"
#include "disk/drive_table.hpp"
#include "fs/file_tree.hpp"
#include "fs/format.hpp"
#include "fs/mount.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tolvar;
  if (size < 2) return 0;
  const FsType type = (data[0] & 1) != 0 ? FsType::kHtfs : FsType::kEafs;
  std::vector<std::byte> bytes(size - 1);
  for (std::size_t i = 1; i < size; ++i) bytes[i - 1] = std::byte{data[i]};
  bytes.resize((bytes.size() + 511) / 512 * 512, std::byte{0});
  if (bytes.size() < 1024) bytes.resize(1024, std::byte{0});

  const Superblock sb = DecodeSuperblock(std::span<const std::byte>(bytes).subspan(512));
  VolumeInfo volume;
  volume.fsType = type;
  volume.startSector = 0;
  volume.sizeSectors = std::min<std::uint32_t>(sb.sizeBlocks * 2, 0xA000000);
  volume.inodeTableSector = 4;
  volume.inodeCount = type == FsType::kHtfs ? sb.inodeTableBlocks * 8 : sb.sizeBlocks * 32;

  RecoverySettings settings;
  DriveTable drives(settings);
  std::shared_ptr<BlockDeviceSource> source = MakeMemorySource(std::move(bytes));
  drives.EnumerateDrives(MakeFixedProvider({source}));
  drives.currentDrive = 0;
  (void)drives.OpenCurrentDrive();

  for (const RecoveryMode mode : {RecoveryMode::kNormal, RecoveryMode::kExtensive}) {
    MountObserver quiet;
    auto tree = Mount(drives, volume, mode, quiet, {});
    if (!tree) std::abort();
    // The folder order visits each folder at most once, each after its parent.
    std::vector<char> visited(tree->Folders().size(), 0);
    VisitFolderTree(*tree, kRootInode, [&](std::uint32_t index, std::uint32_t parentIndex) {
      if (index >= visited.size() || visited[index] != 0) std::abort();
      if (parentIndex != kNoFolderIndex && (parentIndex >= visited.size() || visited[parentIndex] == 0)) {
        std::abort();
      }
      visited[index] = 1;
    });
    if (mode == RecoveryMode::kExtensive && tree->FindFolder(kLostDirInode) == nullptr) std::abort();
  }
  return 0;
}
