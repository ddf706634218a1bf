#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <utility>
#include <vector>

namespace tolvar::testing {

// Builds small disks in memory: the partition record, HTFS and EAFS
// superblock sectors and raw words, for the discovery tests. Only the words
// the discovery reads are written; everything else stays zero.
class DiskBuilder {
 public:
  static constexpr std::uint32_t kSector = 512;
  static constexpr std::uint32_t kRecordSector = 105;

  explicit DiskBuilder(std::uint64_t sectors);

  // The record at sector 105: mark, then up to seven (start, length in KB).
  DiskBuilder& PartitionRecord(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& entries,
                               std::uint16_t mark = 0x1234);
  // An HTFS superblock in `sector`: size word, inode-table length and the two
  // words that must be non-zero.
  DiskBuilder& HtfsSuperblock(std::uint32_t sector, std::uint32_t sizeBlocks,
                              std::uint32_t inodeTableBlocks, std::uint32_t word0 = 1,
                              std::uint32_t word244 = 1);
  DiskBuilder& EafsSuperblock(std::uint32_t sector, std::uint32_t sizeBlocks);
  // Inode 2 of the volume whose superblock is at `superblockSector`: a
  // folder whose first block is 3, what tells a volume from a stray copy of
  // its superblock.
  DiskBuilder& RootFolder(std::uint64_t superblockSector, bool htfs);
  DiskBuilder& Put16(std::uint64_t sector, std::size_t offset, std::uint16_t value);
  DiskBuilder& Put32(std::uint64_t sector, std::size_t offset, std::uint32_t value);

  [[nodiscard]] const std::vector<std::byte>& Bytes() const { return bytes_; }
  [[nodiscard]] std::vector<std::byte> Take() { return std::move(bytes_); }
  [[nodiscard]] std::span<const std::byte> SectorBytes(std::uint64_t sector) const;
  // Writes the disk to `path`, replacing what was there.
  void WriteTo(const std::filesystem::path& path) const;

 private:
  std::vector<std::byte> bytes_;
};

}  // namespace tolvar::testing
