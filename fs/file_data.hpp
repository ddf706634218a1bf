#pragma once

// Reading a file's data: the walk over an inode's block addresses (ten
// direct, then single, double and triple indirect, each indirect block
// holding 256 four-byte addresses), in runs of contiguous sectors.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "disk/drive_table.hpp"
#include "fs/format.hpp"
#include "volumes/volume_table.hpp"

namespace tolvar {

// A run of absolute sectors: `first` and the `count` that follow it.
struct SectorRun {
  std::uint64_t first = 0;
  std::uint64_t count = 0;
  friend bool operator==(const SectorRun&, const SectorRun&) = default;
};

// The blocks a file can address: 10 + 256 + 256^2 + 256^3.
inline constexpr std::uint64_t kMaxFileBlocks =
    kDirectAddresses + std::uint64_t{kAddressesPerIndirectBlock} +
    std::uint64_t{kAddressesPerIndirectBlock} * kAddressesPerIndirectBlock +
    std::uint64_t{kAddressesPerIndirectBlock} * kAddressesPerIndirectBlock *
        kAddressesPerIndirectBlock;

// Reads exactly `size` bytes of a file whose addresses are in `inode`, at
// most `sectorsPerRead` sectors per ReadSectors call. An address of 0 is a
// hole and reads as zeros without touching the disk. An address outside the
// volume (or past the end of the drive) is damage: its bytes read as zeros
// and are counted. Sectors that stay unreadable are zero-filled by the drive
// table and listed here. Indirect blocks are read once each; the walk keeps
// one indirect block per level, so memory does not grow with the file.
class FileDataReader {
 public:
  FileDataReader(DriveTable& drives, const VolumeInfo& volume, const Inode& inode,
                 std::uint64_t size, std::uint32_t sectorsPerRead);
  // A reader to be aimed at files with Start, reusing its buffers.
  FileDataReader(DriveTable& drives, const VolumeInfo& volume, std::uint32_t sectorsPerRead);

  // Begins another file: its position, damage and cached indirect blocks
  // start afresh.
  void Start(const Inode& inode, std::uint64_t size);

  // Moves to `offset` rounded down to a whole sector, for reads out of
  // order; the next piece starts there. Damage noted so far is kept.
  void Seek(std::uint64_t offset);

  // The next piece of the file (at most sectorsPerRead sectors of it); empty
  // at the end. The bytes stay valid until the next call.
  [[nodiscard]] std::span<const std::byte> Next();

  [[nodiscard]] bool AtEnd() const { return position_ >= size_; }
  [[nodiscard]] std::uint64_t Position() const { return position_; }
  [[nodiscard]] std::uint64_t Size() const { return size_; }

  // Unreadable sectors met so far (data and indirect blocks), in sector
  // order, adjacent runs merged.
  [[nodiscard]] const std::vector<SectorRun>& UnreadableSectors() const { return unreadable_; }
  // Data blocks whose address, or whose indirect block's address, lies
  // outside the volume; plus blocks past what the addresses can reach.
  [[nodiscard]] std::uint64_t BlocksOutsideVolume() const { return blocksOutside_; }
  [[nodiscard]] bool Damaged() const { return blocksOutside_ != 0 || !unreadable_.empty(); }

 private:
  enum class BlockState { kData, kHole, kOutside };
  struct Mapped {
    BlockState state = BlockState::kHole;
    std::uint32_t block = 0;
  };
  struct IndirectSlot {
    std::uint32_t block = 0;  // 0: nothing loaded
    std::vector<std::uint32_t> entries;
  };

  [[nodiscard]] Mapped MapBlock(std::uint64_t logical);
  [[nodiscard]] Mapped Follow(Mapped table, unsigned level, std::uint32_t index);
  [[nodiscard]] Mapped Address(std::uint32_t block) const;
  void NoteUnreadable(std::uint64_t first, std::uint64_t count);

  DriveTable& drives_;
  const VolumeInfo& volume_;
  Inode inode_;
  std::uint64_t size_;
  std::uint32_t sectorsPerRead_;
  std::uint64_t position_ = 0;
  std::uint64_t sectorLimit_ = 0;  // first absolute sector not readable as data
  std::vector<std::byte> buffer_;
  std::vector<std::byte> indirectBuffer_;
  IndirectSlot slots_[3];
  std::vector<SectorRun> unreadable_;
  std::uint64_t blocksOutside_ = 0;
  std::uint64_t lastCountedOutside_ = ~std::uint64_t{0};
};

}  // namespace tolvar
