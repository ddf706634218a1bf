#pragma once

// Reading a file's data: the walk over an inode's block addresses (ten
// direct, then single, double and triple indirect, each indirect block
// holding 256 four-byte addresses), in runs of contiguous sectors.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "disk/drive_table.hpp"
#include "disk/read_ahead_path.hpp"
#include "disk/sector_source.hpp"
#include "fs/format.hpp"
#include "volumes/volume_table.hpp"

namespace tolvar {

// The blocks a file can address: 10 + 256 + 256^2 + 256^3.
inline constexpr std::uint64_t kMaxFileBlocks =
    kDirectAddresses + std::uint64_t{kAddressesPerIndirectBlock} +
    std::uint64_t{kAddressesPerIndirectBlock} * kAddressesPerIndirectBlock +
    std::uint64_t{kAddressesPerIndirectBlock} * kAddressesPerIndirectBlock *
        kAddressesPerIndirectBlock;

// Reads the `size` bytes of a file whose addresses are in `inode`, at most
// `sectorsPerRead` sectors per ReadSectors call. An address of 0 is a hole
// and reads as zeros without touching the disk. An address outside the
// volume (or past the end of the drive) is damage: its bytes read as zeros
// and are counted. A size that runs past the file's last block in the volume
// (a damaged size word, or addresses lost at the end) is damage too: the
// file is read as far as its blocks go and no further (CopyLength). Sectors that stay unreadable
// are zero-filled by the drive table and listed here. Indirect blocks are read once each; the walk
// keeps one indirect block per level, so memory does not grow with the file.
class FileDataReader {
 public:
  FileDataReader(DriveTable& drives, const VolumeInfo& volume, const Inode& inode,
                 std::uint64_t size, std::uint32_t sectorsPerRead);
  // A reader to be aimed at files with Start, reusing its buffers.
  FileDataReader(DriveTable& drives, const VolumeInfo& volume, std::uint32_t sectorsPerRead);

  // Reads indirect blocks through `path` (nothing: straight through the
  // drive table), for a reader that keeps them near what it has read
  // lately. The path must outlive the reader or be replaced.
  void ReadIndirectBlocksThrough(ReadAheadPath* path) { indirectPath_ = path; }

  // Begins another file: its position, damage and cached indirect blocks
  // start afresh.
  void Start(const Inode& inode, std::uint64_t size);

  // Moves to `offset` rounded down to a whole sector, for reads out of
  // order; the next piece starts there. Damage noted so far is kept.
  void Seek(std::uint64_t offset);

  // The next piece of the file (at most sectorsPerRead sectors of it); empty
  // at the end. The bytes stay valid until the next call.
  [[nodiscard]] std::span<const std::byte> Next();

  // A run of the file's data stored contiguously on the drive.
  struct DataRun {
    std::uint64_t firstSector = 0;  // absolute, on the drive
    std::uint64_t sectors = 0;
    std::uint64_t bytes = 0;  // of the file: the last sector may hold less
  };
  // For copies made without reading through this reader: when the next
  // piece is data (not a hole, damage, or a sector known to be unreadable),
  // moves past up to `maxSectors` sectors of it as Next would and says where
  // they are; otherwise nothing, and the reader stays where it is. A caller
  // that then cannot copy the run goes back with Seek and reads it with Next,
  // which notes what does not read.
  [[nodiscard]] std::optional<DataRun> NextDataRun(std::uint64_t maxSectors);

  [[nodiscard]] bool AtEnd() const { return position_ >= copyLength_; }
  [[nodiscard]] std::uint64_t Position() const { return position_; }
  [[nodiscard]] std::uint64_t Size() const { return size_; }
  // What the walk gives: the size, or less when the size runs past the last
  // block (SizePastBlocks).
  [[nodiscard]] std::uint64_t CopyLength() const { return copyLength_; }
  [[nodiscard]] bool SizePastBlocks() const { return copyLength_ < size_; }
  // Whether the last piece Next gave is all zeros that were never read (a
  // hole or damage), so a writer may leave a hole in its place.
  [[nodiscard]] bool LastPieceUnread() const { return lastPieceUnread_; }

  // Unreadable sectors met so far (data and indirect blocks), in sector
  // order, adjacent runs merged.
  [[nodiscard]] const std::vector<SectorRun>& UnreadableSectors() const { return unreadable_; }
  // Data blocks whose address, or whose indirect block's address, lies
  // outside the volume; plus blocks past what the addresses can reach.
  [[nodiscard]] std::uint64_t BlocksOutsideVolume() const { return blocksOutside_; }
  [[nodiscard]] bool Damaged() const {
    return blocksOutside_ != 0 || !unreadable_.empty() || SizePastBlocks();
  }

 private:
  enum class BlockState { kData, kHole, kOutside };
  struct Mapped {
    BlockState state = BlockState::kHole;
    std::uint32_t block = 0;
  };
  struct IndirectSlot {
    std::uint32_t block = 0;  // 0: nothing loaded (address 0 is a hole, never a table)
    AddressBlock entries{};
  };

  struct Gathered {
    BlockState state = BlockState::kHole;
    std::uint64_t firstLogical = 0;
    std::uint64_t physicalFirst = 0;
    std::uint64_t count = 0;
  };
  // The run from the position: sectors all data and contiguous, all hole or
  // all damage, at most `limit` of them.
  [[nodiscard]] Gathered Gather(std::uint64_t limit);
  [[nodiscard]] Mapped MapBlock(std::uint64_t logical);
  [[nodiscard]] Mapped Follow(Mapped table, unsigned level, std::uint32_t index);
  [[nodiscard]] Mapped Address(std::uint32_t block) const;
  // The length the file's blocks reach: the end of its last block that is
  // data in the volume, at most `size_`.
  [[nodiscard]] std::uint64_t LengthOfBlocks();
  // The last logical block below `limit` with a data address in the tree of
  // `table` (an indirect block `levels` above the data), whose first logical
  // block is `base`.
  [[nodiscard]] std::optional<std::uint64_t> LastDataBlockIn(std::uint32_t table, unsigned levels,
                                                             std::uint64_t base,
                                                             std::uint64_t limit);
  void NoteUnreadable(std::uint64_t first, std::uint64_t count);
  // Fills indirectBuffer_ with the block at `sector`: zeros where it does not read.
  void ReadIndirectBlock(std::uint64_t sector);

  DriveTable& drives_;
  const VolumeInfo& volume_;
  Inode inode_;
  std::uint64_t size_;
  std::uint64_t copyLength_ = 0;
  bool lastPieceUnread_ = false;
  std::uint32_t sectorsPerRead_;
  std::uint64_t position_ = 0;
  std::uint64_t sectorLimit_ = 0;  // first absolute sector not readable as data
  std::vector<std::byte> buffer_;
  std::vector<std::byte> indirectBuffer_;
  ReadAheadPath* indirectPath_ = nullptr;
  IndirectSlot slots_[3];
  std::vector<SectorRun> unreadable_;
  std::uint64_t blocksOutside_ = 0;
  std::uint64_t lastCountedOutside_ = ~std::uint64_t{0};
};

}  // namespace tolvar
