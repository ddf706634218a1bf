#include "tests/support/disk_builder.hpp"

#include <fstream>
#include <stdexcept>

namespace tolvar::testing {

DiskBuilder::DiskBuilder(std::uint64_t sectors) : bytes_(sectors * kSector) {}

DiskBuilder& DiskBuilder::Put16(std::uint64_t sector, std::size_t offset, std::uint16_t value) {
  const std::size_t at = sector * kSector + offset;
  if (at + 2 > bytes_.size()) throw std::out_of_range("DiskBuilder::Put16 past the disk");
  bytes_[at] = static_cast<std::byte>(value & 0xFF);
  bytes_[at + 1] = static_cast<std::byte>(value >> 8);
  return *this;
}

DiskBuilder& DiskBuilder::Put32(std::uint64_t sector, std::size_t offset, std::uint32_t value) {
  const std::size_t at = sector * kSector + offset;
  if (at + 4 > bytes_.size()) throw std::out_of_range("DiskBuilder::Put32 past the disk");
  for (std::size_t i = 0; i < 4; ++i) bytes_[at + i] = static_cast<std::byte>(value >> (8 * i));
  return *this;
}

DiskBuilder& DiskBuilder::PartitionRecord(
    const std::vector<std::pair<std::uint32_t, std::uint32_t>>& entries, std::uint16_t mark) {
  if (entries.size() > 7) throw std::invalid_argument("the record has seven entries");
  Put16(kRecordSector, 0, mark);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    Put32(kRecordSector, 2 + 8 * i, entries[i].first);
    Put32(kRecordSector, 6 + 8 * i, entries[i].second);
  }
  return *this;
}

DiskBuilder& DiskBuilder::HtfsSuperblock(std::uint32_t sector, std::uint32_t sizeBlocks,
                                         std::uint32_t inodeTableBlocks, std::uint32_t word0,
                                         std::uint32_t word244) {
  Put32(sector, 0, word0);
  Put32(sector, 4, sizeBlocks);
  Put32(sector, 244, word244);
  Put32(sector, 248, inodeTableBlocks);
  Put32(sector, 504, 0xA060492A);
  return *this;
}

DiskBuilder& DiskBuilder::EafsSuperblock(std::uint32_t sector, std::uint32_t sizeBlocks) {
  Put32(sector, 4, sizeBlocks);
  Put32(sector, 504, 0xFD187E21);
  return *this;
}

DiskBuilder& DiskBuilder::RootFolder(std::uint64_t superblockSector, bool htfs) {
  // The inode table starts at the volume's block 2, three sectors past the
  // superblock; inode 2 is its second slot (128-byte HTFS, 64-byte EAFS inodes).
  const std::uint64_t sector = superblockSector + 3;
  const std::size_t slot = htfs ? 128 : 64;
  Put16(sector, slot, 0x41ED);
  if (htfs) {
    Put32(sector, slot + 20, 3);
  } else {
    Put16(sector, slot + 12, 3);  // the first of three address bytes
  }
  return *this;
}

std::span<const std::byte> DiskBuilder::SectorBytes(std::uint64_t sector) const {
  return std::span<const std::byte>(bytes_).subspan(sector * kSector, kSector);
}

void DiskBuilder::WriteTo(const std::filesystem::path& path) const {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes_.data()),
            static_cast<std::streamsize>(bytes_.size()));
  if (!out) throw std::runtime_error("DiskBuilder::WriteTo failed: " + path.string());
}

}  // namespace tolvar::testing
