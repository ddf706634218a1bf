#include "fs/format.hpp"

#include <algorithm>

namespace tolvar {

namespace {

// Appends the bytes of `raw` up to the first NUL, keeping `name` within the
// longest name a record holds.
void AppendNameBytes(std::string& name, std::span<const std::byte> raw) {
  for (const std::byte b : raw) {
    if (b == std::byte{0} || name.size() >= kMaxNameBytes) return;
    name.push_back(static_cast<char>(b));
  }
}

// Link count, owner and group sit at bytes 2, 4 and 6 in both layouts.
void ReadOwnership(std::span<const std::byte> slot, Inode& inode) {
  inode.links = le::Read16(slot, 2);
  inode.owner = le::Read16(slot, 4);
  inode.group = le::Read16(slot, 6);
}

}  // namespace

Inode DecodeEafsInode(std::span<const std::byte> slot) {
  Inode inode;
  if (slot.size() < kEafsInodeBytes) return inode;
  inode.mode = le::Read16(slot, 0);
  inode.size = le::Read32(slot, 8);
  for (std::uint32_t i = 0; i < kDirectAddresses; ++i) {
    inode.direct[i] = le::Read24(slot, 12 + 3 * i);
  }
  inode.singleIndirect = le::Read24(slot, 42);
  inode.doubleIndirect = le::Read24(slot, 45);
  inode.tripleIndirect = le::Read24(slot, 48);
  inode.time = le::Read32(slot, 52);
  ReadOwnership(slot, inode);
  inode.accessTime = le::Read32(slot, 52);
  inode.modificationTime = le::Read32(slot, 56);
  inode.changeTime = le::Read32(slot, 60);
  return inode;
}

AddressBlock DecodeAddressBlock(std::span<const std::byte> block) {
  AddressBlock addresses{};
  const std::size_t count = std::min<std::size_t>(addresses.size(), block.size() / 4);
  for (std::size_t i = 0; i < count; ++i) addresses[i] = le::Read32(block, i * 4);
  return addresses;
}

Inode DecodeHtfsInode(std::span<const std::byte> slot) {
  Inode inode;
  if (slot.size() < kHtfsInodeBytes) return inode;
  inode.mode = le::Read16(slot, 0);
  inode.size = le::Read32(slot, 12);
  for (std::uint32_t i = 0; i < kDirectAddresses; ++i) {
    inode.direct[i] = le::Read32(slot, 20 + 4 * i);
  }
  inode.singleIndirect = le::Read32(slot, 60);
  inode.doubleIndirect = le::Read32(slot, 64);
  inode.tripleIndirect = le::Read32(slot, 68);
  inode.time = le::Read32(slot, 76);
  ReadOwnership(slot, inode);
  inode.accessTime = le::Read32(slot, 72);
  inode.modificationTime = le::Read32(slot, 76);
  inode.changeTime = le::Read32(slot, 80);
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
  return HasModeType(mode, ModeType::kDirectory);
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
  return le::Read8(block, 2) == '.' && le::Read8(block, 18) == '.' && le::Read8(block, 19) == '.';
}

bool IsHtfsDirectoryBlock(std::span<const std::byte> block) {
  return le::Read8(block, 8) == 1 || le::Read8(block, 9) == '.';
}

DirectoryHead EafsDirectoryHead(std::span<const std::byte> block) {
  return {le::Read16(block, 0), le::Read16(block, 16)};
}

DirectoryHead HtfsDirectoryHead(std::span<const std::byte> block) {
  return {le::Read32(block, 0), le::Read32(block, 12)};
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
    const std::uint16_t number = le::Read16(block, at);
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

std::uint32_t HtfsRecordBytes(std::uint32_t nameLength) {
  return (kHtfsEntryHeaderBytes + std::max<std::uint32_t>(nameLength, 1) + 3) & ~std::uint32_t{3};
}

std::vector<RawDirEntry> ParseHtfsDirectoryEntries(std::span<const std::byte> block,
                                                   std::uint32_t* freeSlots) {
  std::vector<RawDirEntry> entries;
  const std::size_t size = std::min<std::size_t>(block.size(), kBlockBytes);
  std::size_t offset = 0;
  while (offset + kHtfsEntryHeaderBytes <= size) {
    const std::uint32_t number = le::Read32(block, offset);
    if (number == 0xFFFFFFFFU) break;
    const std::uint16_t recordLength = le::Read16(block, offset + 6);
    if (recordLength == 0) break;
    const std::uint8_t nameLength = le::Read8(block, offset + 8);
    if (number == 0) {
      // A deleted entry keeps its record length: when that length is one the
      // file system could have written, the live entries after it are
      // still there to be read.
      const bool plausible = recordLength % 4 == 0 && recordLength >= HtfsRecordBytes(nameLength) &&
                             offset + recordLength <= size;
      if (!plausible) break;
      if (freeSlots != nullptr) ++*freeSlots;
      offset += recordLength;
      continue;
    }
    if (nameLength == 0) break;
    const std::size_t nameStart = offset + kHtfsEntryHeaderBytes;
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
