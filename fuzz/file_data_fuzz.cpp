// The file-data walk over an in-memory volume. The first byte picks the file
// system type and the reads' length; the next 128 bytes are the inode (its
// size word included); the rest is the volume from sector 0.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

#include "disk/block_device_source.hpp"
#include "disk/drive_table.hpp"
#include "fs/file_data.hpp"
#include "fs/format.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tolvar;
  constexpr std::size_t kInodeBytes = 128;
  if (size < 1 + kInodeBytes) return 0;
  const FsType type = (data[0] & 1) != 0 ? FsType::kHtfs : FsType::kEafs;
  const std::uint32_t perRead = 1u + (data[0] >> 1) % 100u;
  const std::span<const std::byte> all(reinterpret_cast<const std::byte*>(data), size);
  const Inode inode = DecodeInode(type, all.subspan(1, kInodeBytes));
  std::vector<std::byte> disk(all.begin() + 1 + kInodeBytes, all.end());
  disk.resize((disk.size() + 511) / 512 * 512, std::byte{0});

  VolumeInfo volume;
  volume.fsType = type;
  volume.startSector = 0;
  volume.sizeSectors = static_cast<std::uint32_t>(disk.size() / 512);
  volume.inodeTableSector = 4;

  RecoverySettings settings;
  DriveTable drives(settings);
  std::shared_ptr<BlockDeviceSource> source = MakeMemorySource(std::move(disk));
  drives.EnumerateDrives(MakeFixedProvider({source}));
  drives.currentDrive = 0;
  (void)drives.OpenCurrentDrive();

  FileDataReader reader(drives, volume, inode, inode.size, perRead);
  // The walk never goes past the size, and a size past the blocks is damage.
  if (reader.CopyLength() > reader.Size()) std::abort();
  if (reader.SizePastBlocks() != (reader.CopyLength() < inode.size)) std::abort();
  if (reader.SizePastBlocks() && !reader.Damaged()) std::abort();
  // The walk itself, where its length keeps a run short.
  if (reader.CopyLength() > (std::uint64_t{64} << 20)) return 0;
  std::uint64_t total = 0;
  for (auto piece = reader.Next(); !piece.empty(); piece = reader.Next()) {
    if (piece.size() > std::size_t{perRead} * 512) std::abort();
    total += piece.size();
  }
  if (total != reader.CopyLength() || !reader.AtEnd()) std::abort();
  return 0;
}
