#pragma once

// The constants of the disks the builder writes: the HTFS and EAFS layouts
// and the partition information in front of them. Kept here, apart from the
// reader, so that images are built from the format and not from the code
// that reads it. docs/format/ explains every value.

#include <cstddef>
#include <cstdint>
#include <span>

namespace tolvar::imagekit::format {

inline constexpr std::uint32_t kSectorBytes = 512;
inline constexpr std::uint32_t kBlockBytes = 1024;
inline constexpr std::uint32_t kSectorsPerBlock = 2;

// Volume: block 0 holds the (empty) boot sector and, in its second sector,
// the superblock; block 1 is unused; the inode table starts at block 2.
inline constexpr std::uint32_t kSuperblockSector = 1;
inline constexpr std::uint32_t kInodeTableBlock = 2;
inline constexpr std::uint32_t kRootInode = 2;

inline constexpr std::uint32_t kHtfsMagic = 0xA060492A;
inline constexpr std::uint32_t kEafsMagic = 0xFD187E21;
// AFS: the EAFS layout with this magic and the free count at byte 8 all ones.
inline constexpr std::uint32_t kAfsMagic = 0xFD187E20;
inline constexpr std::uint16_t kAfsFreeCountMark = 0xFFFF;
inline constexpr std::uint32_t kBlockType1024 = 2;            // superblock type word
inline constexpr std::uint32_t kCleanStateBase = 0x7C269D38;  // state = base - time when clean

// Superblock byte offsets (classic System V layout).
inline constexpr std::size_t kSbFirstDataBlock = 0;     // u16 (EAFS) / u32 (HTFS)
inline constexpr std::size_t kSbSizeBlocks = 4;         // u32
inline constexpr std::size_t kSbFreeCount = 8;          // u16: entries of the free-block cache
inline constexpr std::size_t kSbFreeList = 12;          // 50 x u32
inline constexpr std::size_t kSbInodeCount = 212;       // u16: entries of the free-inode cache
inline constexpr std::size_t kSbInodeList = 216;        // u16 each
inline constexpr std::size_t kSbTime = 420;             // u32
inline constexpr std::size_t kSbTotalFree = 432;        // u32
inline constexpr std::size_t kSbTotalFreeInodes = 436;  // u16
inline constexpr std::size_t kSbFname = 440;            // 6 bytes
inline constexpr std::size_t kSbFpack = 446;            // 6 bytes
inline constexpr std::size_t kSbState = 500;            // u32
inline constexpr std::size_t kSbMagic = 504;            // u32
inline constexpr std::size_t kSbType = 508;             // u32
// HTFS only: these two words take the place of free-inode cache slots 14 to 17.
inline constexpr std::size_t kSbHtfsInodeSlots = 244;   // u32, non-zero
inline constexpr std::size_t kSbHtfsInodeBlocks = 248;  // u32: inode table length in blocks

inline constexpr std::uint32_t kFreeCacheSlots = 50;
inline constexpr std::uint32_t kEafsInodeCacheSlots = 100;
inline constexpr std::uint32_t kHtfsInodeCacheSlots = 14;
// A free-list chain block: u16 count at 0, then 50 u32 block numbers at 4.
inline constexpr std::size_t kChainCount = 0;
inline constexpr std::size_t kChainList = 4;

// Block addresses of an inode: 10 direct, then single, double, triple indirect.
inline constexpr std::uint32_t kDirectBlocks = 10;
inline constexpr std::uint32_t kAddressesPerIndirect = 256;  // u32 each, both formats

// EAFS inode, 64 bytes.
inline constexpr std::uint32_t kEafsInodeBytes = 64;
inline constexpr std::uint32_t kEafsInodesPerBlock = kBlockBytes / kEafsInodeBytes;
inline constexpr std::size_t kEafsMode = 0;
inline constexpr std::size_t kEafsLinks = 2;
inline constexpr std::size_t kEafsUid = 4;
inline constexpr std::size_t kEafsGid = 6;
inline constexpr std::size_t kEafsSize = 8;
inline constexpr std::size_t kEafsAddresses = 12;  // 13 x 3 bytes
inline constexpr std::size_t kEafsShownTime = 52;  // the time stamp a reader shows
inline constexpr std::size_t kEafsModifyTime = 56;
inline constexpr std::size_t kEafsChangeTime = 60;
inline constexpr std::uint32_t kEafsMaxAddress = 0xFFFFFF;
// Directory entries: u16 inode + 14 name bytes. 0xFFFF marks the leading
// parts of a long name, so it is never a real inode number.
inline constexpr std::uint32_t kEafsEntryBytes = 16;
inline constexpr std::uint32_t kEafsNameBytes = 14;
inline constexpr std::uint32_t kEafsEntriesPerBlock = kBlockBytes / kEafsEntryBytes;
inline constexpr std::uint16_t kEafsLongNameMark = 0xFFFF;
inline constexpr std::uint32_t kEafsMaxInode = 0xFFFE;

// HTFS inode, 128 bytes.
inline constexpr std::uint32_t kHtfsInodeBytes = 128;
inline constexpr std::uint32_t kHtfsInodesPerBlock = kBlockBytes / kHtfsInodeBytes;
inline constexpr std::size_t kHtfsMode = 0;
inline constexpr std::size_t kHtfsLinks = 2;
inline constexpr std::size_t kHtfsUid = 4;
inline constexpr std::size_t kHtfsGid = 6;
inline constexpr std::size_t kHtfsSize = 12;
inline constexpr std::size_t kHtfsBlockCount = 16;  // our choice: blocks held, indirect included
inline constexpr std::size_t kHtfsDirect = 20;      // 10 x u32
inline constexpr std::size_t kHtfsSingle = 60;
inline constexpr std::size_t kHtfsDouble = 64;  // our choice
inline constexpr std::size_t kHtfsTriple = 68;  // our choice
inline constexpr std::size_t kHtfsAccessTime = 72;
inline constexpr std::size_t kHtfsShownTime = 76;  // the time stamp a reader shows
inline constexpr std::size_t kHtfsChangeTime = 80;
// Directory entries: u32 inode, 2 spare bytes, u16 record length, u8 name
// length, the name; records are padded to 4 bytes and the last one of a
// block reaches the block end.
inline constexpr std::size_t kHtfsEntryInode = 0;
inline constexpr std::size_t kHtfsEntryRecordLength = 6;
inline constexpr std::size_t kHtfsEntryNameLength = 8;
inline constexpr std::size_t kHtfsEntryName = 9;

// Mode word type bits.
inline constexpr std::uint16_t kModePipe = 0x1000;
inline constexpr std::uint16_t kModeCharDevice = 0x2000;
inline constexpr std::uint16_t kModeDirectory = 0x4000;
inline constexpr std::uint16_t kModeBlockDevice = 0x6000;
inline constexpr std::uint16_t kModeRegular = 0x8000;
inline constexpr std::uint16_t kModeSymlink = 0xA000;

inline constexpr std::uint32_t kMaxNameBytes = 255;
// Volumes beyond this many sectors are passed over by the volume probe.
inline constexpr std::uint32_t kMaxVolumeSectors = 0xA000000;

// Partition information.
inline constexpr std::uint32_t kRecordSector = 105;
inline constexpr std::uint16_t kRecordMark = 0x1234;
inline constexpr std::uint32_t kRecordEntriesRead = 7;
inline constexpr std::uint32_t kDivisions = 8;
inline constexpr std::uint32_t kPartitionStart = 63;
inline constexpr std::uint8_t kPartitionType = 0x63;
inline constexpr std::uint8_t kXenixPartitionType = 0x02;
inline constexpr std::uint32_t kPartitionReserved = 52;
inline constexpr std::uint32_t kDivisionTableSector = 42;  // within the partition
inline constexpr std::uint32_t kBadTrackSector = 44;       // within the partition
inline constexpr std::uint16_t kBadTrackMark = 0x4321;
// Bad-track table (ours): mark, u16 count, then (bad, replacement) u32 pairs.
inline constexpr std::size_t kMaxBadTracks = (kSectorBytes - 4) / 8;
inline constexpr std::size_t kMbrPartitionEntry = 446;

// Little-endian stores and loads.
inline void PutU8(std::span<std::byte> b, std::size_t at, std::uint32_t v) {
  b[at] = static_cast<std::byte>(v & 0xFF);
}
inline void PutU16(std::span<std::byte> b, std::size_t at, std::uint32_t v) {
  PutU8(b, at, v);
  PutU8(b, at + 1, v >> 8);
}
inline void PutU24(std::span<std::byte> b, std::size_t at, std::uint32_t v) {
  PutU16(b, at, v);
  PutU8(b, at + 2, v >> 16);
}
inline void PutU32(std::span<std::byte> b, std::size_t at, std::uint32_t v) {
  PutU16(b, at, v);
  PutU16(b, at + 2, v >> 16);
}
inline std::uint32_t GetU8(std::span<const std::byte> b, std::size_t at) {
  return std::to_integer<std::uint32_t>(b[at]);
}
inline std::uint32_t GetU16(std::span<const std::byte> b, std::size_t at) {
  return GetU8(b, at) | GetU8(b, at + 1) << 8;
}
inline std::uint32_t GetU32(std::span<const std::byte> b, std::size_t at) {
  return GetU16(b, at) | GetU16(b, at + 2) << 16;
}

}  // namespace tolvar::imagekit::format
