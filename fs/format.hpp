#pragma once

// On-disk structures of HTFS and EAFS, decoded from byte spans. Nothing here
// does I/O; every function is safe on any input of the stated size.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/little_endian.hpp"
#include "volumes/superblock_probe.hpp"
#include "volumes/volume_table.hpp"

namespace tolvar {

inline constexpr std::uint32_t kBlockBytes = 1024;
inline constexpr std::uint32_t kSectorsPerBlock = 2;
inline constexpr std::uint32_t kFsSectorBytes = 512;

inline constexpr std::uint32_t kRootInode = 2;
inline constexpr std::uint32_t kFirstEntryInode = 3;  // numbers below are never listed

inline constexpr std::uint32_t kEafsInodesPerSector = 8;
inline constexpr std::uint32_t kHtfsInodesPerSector = 4;

inline constexpr std::uint32_t kDirectAddresses = 10;
inline constexpr std::uint32_t kAddressesPerIndirectBlock = kBlockBytes / 4;

inline constexpr std::uint32_t kEafsEntryBytes = 16;
inline constexpr std::uint32_t kEafsEntriesPerBlock = kBlockBytes / kEafsEntryBytes;
inline constexpr std::uint32_t kEafsNameBytes = 14;
inline constexpr std::uint16_t kEafsLongNameMark = 0xFFFF;  // a piece of a longer name
inline constexpr std::size_t kMaxNameBytes = 255;

// EAFS directory entries carry 16-bit inode numbers, so no EAFS inode above
// this number can ever be reached from a directory.
inline constexpr std::uint32_t kEafsMaxInode = 0xFFFF;

// The superblock is decoded by volumes/superblock_probe.hpp (DecodeSuperblock),
// the one decoder both discovery and this reader use.

// One inode of either type, with every block address it holds.
struct Inode {
  std::uint16_t mode = 0;
  std::uint32_t size = 0;
  std::uint32_t time = 0;  // seconds since 1970, signed when shown
  // The rest of the record, as stored, for reports and timelines.
  std::uint16_t links = 0;
  std::uint16_t owner = 0;
  std::uint16_t group = 0;
  std::uint32_t accessTime = 0;
  std::uint32_t modificationTime = 0;
  std::uint32_t changeTime = 0;
  std::array<std::uint32_t, kDirectAddresses> direct{};
  std::uint32_t singleIndirect = 0;
  std::uint32_t doubleIndirect = 0;
  std::uint32_t tripleIndirect = 0;

  [[nodiscard]] std::uint32_t FirstBlock() const { return direct[0]; }
};

// EAFS: mode u16 @0, size u32 @8, 13 3-byte addresses from @12 (10 direct,
// single, double, triple indirect), time u32 @52. Needs 64 bytes.
[[nodiscard]] Inode DecodeEafsInode(std::span<const std::byte> slot);
// HTFS: mode u16 @0, size u32 @12, 10 direct u32 @20, single @60, double @64,
// triple @68, time u32 @76. Needs 128 bytes.
[[nodiscard]] Inode DecodeHtfsInode(std::span<const std::byte> slot);
[[nodiscard]] Inode DecodeInode(FsType type, std::span<const std::byte> slot);

// The block addresses an indirect block lists, in order; bytes missing from
// a short `block` read as zero addresses.
using AddressBlock = std::array<std::uint32_t, kAddressesPerIndirectBlock>;
[[nodiscard]] AddressBlock DecodeAddressBlock(std::span<const std::byte> block);

[[nodiscard]] std::uint32_t InodeBytes(FsType type);
[[nodiscard]] std::uint32_t InodesPerSector(FsType type);

// The file-type nibble of an inode's mode (mode & 0xF000).
enum class ModeType : std::uint16_t {
  kPipe = 0x1000,
  kCharDevice = 0x2000,
  kDirectory = 0x4000,
  kBlockDevice = 0x6000,
  kRegular = 0x8000,
  kSymlink = 0xA000,
  kSocket = 0xC000,
};
[[nodiscard]] constexpr std::uint16_t ModeTypeBits(std::uint16_t mode) { return mode & 0xF000U; }
[[nodiscard]] constexpr bool HasModeType(std::uint16_t mode, ModeType type) {
  return ModeTypeBits(mode) == static_cast<std::uint16_t>(type);
}

// File-type nibble 4 and a first block: the only inodes walked as directories.
[[nodiscard]] bool IsDirectoryMode(std::uint16_t mode);
[[nodiscard]] bool IsDirectoryInode(const Inode& inode);

// Where inode `n` (n >= 1) sits: sector offset from the inode table and byte offset in it.
struct InodeLocation {
  std::uint32_t sectorOffset = 0;
  std::uint32_t byteOffset = 0;
};
[[nodiscard]] InodeLocation LocateInode(FsType type, std::uint32_t inodeNumber);

// Directory-block recognition. EAFS: '.' at byte 2 and '.' at bytes 18, 19.
// HTFS (used by the inode-table scan): first name length 1 or first name
// character '.'. Both need at least 20 bytes.
[[nodiscard]] bool IsEafsDirectoryBlock(std::span<const std::byte> block);
[[nodiscard]] bool IsHtfsDirectoryBlock(std::span<const std::byte> block);

// One live entry of a directory block, as the block lists it.
struct RawDirEntry {
  std::uint32_t inode = 0;
  std::string name;  // at most 255 bytes, cut at the first NUL
};

// The entries of an EAFS directory block (1024 bytes). `firstBlock`: the block
// must pass the "." and ".." test and its first two slots are skipped; later
// blocks of a directory contribute all 64 slots. Slots below inode 3 are
// passed over. Chains of 0xFFFF entries are joined with the real entry that
// follows into one long name; a free slot or the block's end drops a chain.
// Without `longNames` (AFS) names end at 14 bytes and 0xFFFF slots are
// passed over.
[[nodiscard]] std::vector<RawDirEntry> ParseEafsDirectoryEntries(std::span<const std::byte> block,
                                                                 bool firstBlock,
                                                                 bool longNames = true);

// The entries of an HTFS directory block. Stops at an inode number of
// 0xFFFFFFFF, a record length of 0, a live entry's name length of 0, or an
// offset past the block. An entry with inode number 0 is a freed slot: when
// its record length is one the file system writes (a multiple of 4, at least
// HtfsRecordBytes of its name length, ending inside the block) it is passed
// over and counted in `freeSlots` (when given); any other ends the block.
// Nothing outside `block` is read: an entry whose header or name would reach
// past the block is dropped. "." and ".." and numbers below 3 are skipped.
[[nodiscard]] std::vector<RawDirEntry> ParseHtfsDirectoryEntries(
    std::span<const std::byte> block, std::uint32_t* freeSlots = nullptr);

// Inode number, 2 spare bytes, record length, name length: the name follows.
inline constexpr std::uint32_t kHtfsEntryHeaderBytes = 9;
// The smallest record an entry with a name of `nameLength` bytes takes: the
// header and the name, rounded up to 4 bytes.
[[nodiscard]] std::uint32_t HtfsRecordBytes(std::uint32_t nameLength);

// The "." and ".." inode numbers at the head of a directory block.
struct DirectoryHead {
  std::uint32_t self = 0;
  std::uint32_t parent = 0;
};
[[nodiscard]] DirectoryHead EafsDirectoryHead(std::span<const std::byte> block);
[[nodiscard]] DirectoryHead HtfsDirectoryHead(std::span<const std::byte> block);

}  // namespace tolvar
