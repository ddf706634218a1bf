#include "fs/format.hpp"

namespace tolvar {

namespace {

std::uint32_t Byte(std::span<const std::byte> bytes, std::size_t offset) {
  return offset < bytes.size() ? std::to_integer<std::uint32_t>(bytes[offset]) : 0U;
}

// Appends the bytes of `raw` up to the first NUL, keeping `name` within the
// longest name a record holds.
void AppendNameBytes(std::string& name, std::span<const std::byte> raw) {
  for (const std::byte b : raw) {
    if (b == std::byte{0} || name.size() >= kMaxNameBytes) return;
    name.push_back(static_cast<char>(b));
  }
}

}  // namespace

std::uint8_t ReadU8(std::span<const std::byte> bytes, std::size_t offset) {
  return static_cast<std::uint8_t>(Byte(bytes, offset));
}

std::uint16_t ReadU16(std::span<const std::byte> bytes, std::size_t offset) {
  return static_cast<std::uint16_t>(Byte(bytes, offset) | (Byte(bytes, offset + 1) << 8U));
}

std::uint32_t ReadU32(std::span<const std::byte> bytes, std::size_t offset) {
  return Byte(bytes, offset) | (Byte(bytes, offset + 1) << 8U) | (Byte(bytes, offset + 2) << 16U) |
         (Byte(bytes, offset + 3) << 24U);
}

std::uint32_t DecodeAddress3(std::span<const std::byte> bytes, std::size_t offset) {
  return Byte(bytes, offset) | (Byte(bytes, offset + 1) << 8U) | (Byte(bytes, offset + 2) << 16U);
}

Superblock DecodeSuperblock(std::span<const std::byte> sector) {
  Superblock sb;
  if (sector.size() < kFsSectorBytes) return sb;
  sb.signature = ReadU32(sector, 504);
  sb.sizeBlocks = ReadU32(sector, 4);
  sb.htfsWord0 = ReadU32(sector, 0);
  sb.htfsWord244 = ReadU32(sector, 244);
  sb.inodeTableBlocks = ReadU32(sector, 248);
  sb.freeCount = ReadU16(sector, 8);
  if (sb.signature == kHtfsSignature) {
    sb.type = FsType::kHtfs;
  } else if (sb.signature == kEafsSignature) {
    sb.type = FsType::kEafs;
  } else if (sb.signature == kAfsSignature && sb.freeCount == kAfsNoFreeListCount) {
    sb.type = FsType::kAfs;
  }
  return sb;
}

bool IsPlausibleSuperblock(const Superblock& superblock) {
  switch (superblock.type) {
    case FsType::kEafs:
    case FsType::kAfs:
      return true;
    case FsType::kHtfs:
      return superblock.htfsWord0 != 0 && superblock.htfsWord244 != 0;
    case FsType::kNone:
      break;
  }
  return false;
}

Inode DecodeEafsInode(std::span<const std::byte> slot) {
  Inode inode;
  if (slot.size() < kEafsInodeBytes) return inode;
  inode.mode = ReadU16(slot, 0);
  inode.size = ReadU32(slot, 8);
  for (std::uint32_t i = 0; i < kDirectAddresses; ++i) {
    inode.direct[i] = DecodeAddress3(slot, 12 + 3 * i);
  }
  inode.singleIndirect = DecodeAddress3(slot, 42);
  inode.doubleIndirect = DecodeAddress3(slot, 45);
  inode.tripleIndirect = DecodeAddress3(slot, 48);
  inode.time = ReadU32(slot, 52);
  return inode;
}

Inode DecodeHtfsInode(std::span<const std::byte> slot) {
  Inode inode;
  if (slot.size() < kHtfsInodeBytes) return inode;
  inode.mode = ReadU16(slot, 0);
  inode.size = ReadU32(slot, 12);
  for (std::uint32_t i = 0; i < kDirectAddresses; ++i) {
    inode.direct[i] = ReadU32(slot, 20 + 4 * i);
  }
  inode.singleIndirect = ReadU32(slot, 60);
  inode.doubleIndirect = ReadU32(slot, 64);
  inode.tripleIndirect = ReadU32(slot, 68);
  inode.time = ReadU32(slot, 76);
  return inode;
}

Inode DecodeInode(FsType type, std::span<const std::byte> slot) {
  return type == FsType::kHtfs ? DecodeHtfsInode(slot) : DecodeEafsInode(slot);
}

std::uint32_t InodeBytes(FsType type) {
  return type == FsType::kHtfs ? kHtfsInodeBytes : kEafsInodeBytes;
}

std::uint32_t InodesPerSector(FsType type) {
  return type == FsType::kHtfs ? kHtfsInodesPerSector : kEafsInodesPerSector;
}

bool IsDirectoryMode(std::uint16_t mode) {
  // Equivalent to the type nibble being exactly 4: bit 0x4000 set and every
  // other type bit clear.
  return (mode & 0xF000U) == 0x4000U;
}

bool IsDirectoryInode(const Inode& inode) {
  return IsDirectoryMode(inode.mode) && inode.FirstBlock() != 0;
}

InodeLocation LocateInode(FsType type, std::uint32_t inodeNumber) {
  const std::uint32_t perSector = InodesPerSector(type);
  const std::uint32_t index = inodeNumber == 0 ? 0 : inodeNumber - 1;
  return {index / perSector, (index % perSector) * InodeBytes(type)};
}

bool IsEafsDirectoryBlock(std::span<const std::byte> block) {
  return ReadU8(block, 2) == '.' && ReadU8(block, 18) == '.' && ReadU8(block, 19) == '.';
}

bool IsHtfsDirectoryBlock(std::span<const std::byte> block) {
  return ReadU8(block, 8) == 1 || ReadU8(block, 9) == '.';
}

DirectoryHead EafsDirectoryHead(std::span<const std::byte> block) {
  return {ReadU16(block, 0), ReadU16(block, 16)};
}

DirectoryHead HtfsDirectoryHead(std::span<const std::byte> block) {
  return {ReadU32(block, 0), ReadU32(block, 12)};
}

std::vector<RawDirEntry> ParseEafsDirectoryEntries(std::span<const std::byte> block,
                                                   bool firstBlock, bool longNames) {
  std::vector<RawDirEntry> entries;
  if (block.size() < kBlockBytes) return entries;
  if (firstBlock && !IsEafsDirectoryBlock(block)) return entries;
  std::string pending;  // the pieces of a long name seen so far
  bool chain = false;
  for (std::uint32_t slot = firstBlock ? 2 : 0; slot < kEafsEntriesPerBlock; ++slot) {
    const std::size_t at = std::size_t{slot} * kEafsEntryBytes;
    const std::uint16_t number = ReadU16(block, at);
    const auto nameBytes = block.subspan(at + 2, kEafsNameBytes);
    if (number == kEafsLongNameMark) {
      if (!longNames) continue;
      AppendNameBytes(pending, nameBytes);
      chain = true;
      continue;
    }
    std::string name = chain ? std::move(pending) : std::string{};
    pending.clear();
    chain = false;
    if (number < kFirstEntryInode) continue;  // free or deleted: a pending chain is dropped
    AppendNameBytes(name, nameBytes);
    entries.push_back({number, std::move(name)});
  }
  return entries;
}

std::vector<RawDirEntry> ParseHtfsDirectoryEntries(std::span<const std::byte> block) {
  std::vector<RawDirEntry> entries;
  const std::size_t size = std::min<std::size_t>(block.size(), kBlockBytes);
  constexpr std::size_t kHeaderBytes = 9;
  std::size_t offset = 0;
  while (offset + kHeaderBytes <= size) {
    const std::uint32_t number = ReadU32(block, offset);
    if (number == 0 || number == 0xFFFFFFFFU) break;
    const std::uint16_t recordLength = ReadU16(block, offset + 6);
    if (recordLength == 0) break;
    const std::uint8_t nameLength = ReadU8(block, offset + 8);
    if (nameLength == 0) break;
    const std::size_t nameStart = offset + kHeaderBytes;
    if (nameStart + nameLength <= size) {
      std::string name;
      AppendNameBytes(name, block.subspan(nameStart, nameLength));
      if (name != "." && name != ".." && number >= kFirstEntryInode) {
        entries.push_back({number, std::move(name)});
      }
    }
    offset += recordLength;
  }
  return entries;
}

}  // namespace tolvar
