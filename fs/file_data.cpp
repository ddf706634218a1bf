#include "fs/file_data.hpp"

#include <algorithm>
#include <cstring>

#include "base/little_endian.hpp"
#include "fs/inode_reader.hpp"

namespace tolvar {
namespace {

constexpr std::uint64_t kPerIndirect = kAddressesPerIndirectBlock;
constexpr std::uint64_t kDoubleSpan = kPerIndirect * kPerIndirect;
constexpr std::uint64_t kTripleSpan = kDoubleSpan * kPerIndirect;

}  // namespace

FileDataReader::FileDataReader(DriveTable& drives, const VolumeInfo& volume,
                               std::uint32_t sectorsPerRead)
    : drives_(drives),
      volume_(volume),
      size_(0),
      sectorsPerRead_(
          std::clamp<std::uint32_t>(sectorsPerRead, 1, RecoverySettings::kMaxSectorsPerRead)),
      buffer_(std::size_t{sectorsPerRead_} * kFsSectorBytes),
      indirectBuffer_(kBlockBytes) {
  sectorLimit_ = std::uint64_t{volume.startSector} + volume.sizeSectors;
  const std::uint64_t openSectors = drives.OpenLengthBytes() / kFsSectorBytes;
  if (openSectors != 0) sectorLimit_ = std::min(sectorLimit_, openSectors);
}

FileDataReader::FileDataReader(DriveTable& drives, const VolumeInfo& volume, const Inode& inode,
                               std::uint64_t size, std::uint32_t sectorsPerRead)
    : FileDataReader(drives, volume, sectorsPerRead) {
  Start(inode, size);
}

void FileDataReader::Start(const Inode& inode, std::uint64_t size) {
  inode_ = inode;
  size_ = size;
  position_ = 0;
  lastPieceUnread_ = false;
  for (IndirectSlot& slot : slots_) slot.block = 0;
  unreadable_.clear();
  blocksOutside_ = 0;
  lastCountedOutside_ = ~std::uint64_t{0};
  copyLength_ = LengthOfBlocks();
}

std::uint64_t FileDataReader::LengthOfBlocks() {
  if (size_ == 0) return 0;
  const std::uint64_t blocks = (size_ + kBlockBytes - 1) / kBlockBytes;
  // The usual case: the last block the size needs is there.
  if (blocks <= kMaxFileBlocks && MapBlock(blocks - 1).state == BlockState::kData) return size_;
  const std::uint64_t limit = std::min(blocks, kMaxFileBlocks);
  std::optional<std::uint64_t> last;
  const std::uint64_t singleBase = kDirectAddresses;
  const std::uint64_t doubleBase = singleBase + kPerIndirect;
  const std::uint64_t tripleBase = doubleBase + kDoubleSpan;
  last = LastDataBlockIn(inode_.tripleIndirect, 3, tripleBase, limit);
  if (!last) last = LastDataBlockIn(inode_.doubleIndirect, 2, doubleBase, limit);
  if (!last) last = LastDataBlockIn(inode_.singleIndirect, 1, singleBase, limit);
  for (std::uint64_t i = std::min<std::uint64_t>(limit, kDirectAddresses); !last && i > 0; --i) {
    if (Address(inode_.direct[i - 1]).state == BlockState::kData) last = i - 1;
  }
  if (!last) return 0;
  return std::min(size_, (*last + 1) * kBlockBytes);
}

std::optional<std::uint64_t> FileDataReader::LastDataBlockIn(std::uint32_t table, unsigned levels,
                                                             std::uint64_t base,
                                                             std::uint64_t limit) {
  if (base >= limit || Address(table).state != BlockState::kData) return std::nullopt;
  const std::uint64_t sector = BlockSector(volume_, table);
  ReadIndirectBlock(sector);
  std::uint64_t childSpan = 1;
  for (unsigned level = 1; level < levels; ++level) childSpan *= kPerIndirect;
  if (!drives_.BadSectors().RunsIn(sector, kSectorsPerBlock).empty()) {
    // What the table held is unknown: it may have reached to its end.
    return std::min(limit, base + childSpan * kPerIndirect) - 1;
  }
  const AddressBlock entries = DecodeAddressBlock(indirectBuffer_);
  const std::uint64_t top =
      std::min<std::uint64_t>(kPerIndirect, (limit - base + childSpan - 1) / childSpan);
  for (std::uint64_t i = top; i > 0; --i) {
    const std::uint32_t entry = entries[i - 1];
    const std::uint64_t childBase = base + (i - 1) * childSpan;
    if (levels == 1) {
      if (Address(entry).state == BlockState::kData) return childBase;
      continue;
    }
    if (auto found = LastDataBlockIn(entry, levels - 1, childBase, limit)) return found;
  }
  return std::nullopt;
}

void FileDataReader::Seek(std::uint64_t offset) {
  position_ = std::min(offset, size_);
  position_ -= position_ % kFsSectorBytes;
}

FileDataReader::Mapped FileDataReader::Address(std::uint32_t block) const {
  if (block == 0) return {BlockState::kHole, 0};
  if (!IsVolumeBlock(volume_, block) ||
      BlockSector(volume_, block) + kSectorsPerBlock > sectorLimit_) {
    return {BlockState::kOutside, block};
  }
  return {BlockState::kData, block};
}

void FileDataReader::NoteUnreadable(std::uint64_t first, std::uint64_t count) {
  const auto runs = drives_.BadSectors().RunsIn(first, count);
  if (runs.empty()) return;
  for (const auto& [sector, length] : runs) unreadable_.push_back({sector, length});
  // Indirect blocks are read before the data they lead to, so keep the list
  // in sector order and merge what touches.
  std::sort(unreadable_.begin(), unreadable_.end(),
            [](const SectorRun& a, const SectorRun& b) { return a.first < b.first; });
  std::vector<SectorRun> merged;
  merged.reserve(unreadable_.size());
  for (const SectorRun& run : unreadable_) {
    if (!merged.empty() && merged.back().first + merged.back().count >= run.first) {
      const std::uint64_t end =
          std::max(merged.back().first + merged.back().count, run.first + run.count);
      merged.back().count = end - merged.back().first;
    } else {
      merged.push_back(run);
    }
  }
  unreadable_ = std::move(merged);
}

void FileDataReader::ReadIndirectBlock(std::uint64_t sector) {
  std::fill(indirectBuffer_.begin(), indirectBuffer_.end(), std::byte{0});
  const auto block =
      std::span(indirectBuffer_).first(std::size_t{kSectorsPerBlock} * kFsSectorBytes);
  if (indirectPath_ != nullptr) {
    (void)indirectPath_->Read(sector, block);
  } else {
    (void)drives_.ReadSectors(sector, kSectorsPerBlock, block);
  }
}

FileDataReader::Mapped FileDataReader::Follow(Mapped table, unsigned level, std::uint32_t index) {
  if (table.state != BlockState::kData) return table;  // a hole or damage covers all below it
  IndirectSlot& slot = slots_[level];
  if (slot.block != table.block) {
    const std::uint64_t sector = BlockSector(volume_, table.block);
    ReadIndirectBlock(sector);
    NoteUnreadable(sector, kSectorsPerBlock);
    slot.entries = DecodeAddressBlock(indirectBuffer_);
    slot.block = table.block;
  }
  return Address(slot.entries[index]);
}

FileDataReader::Mapped FileDataReader::MapBlock(std::uint64_t logical) {
  if (logical < kDirectAddresses) return Address(inode_.direct[logical]);
  logical -= kDirectAddresses;
  if (logical < kPerIndirect) {
    return Follow(Address(inode_.singleIndirect), 0, static_cast<std::uint32_t>(logical));
  }
  logical -= kPerIndirect;
  if (logical < kDoubleSpan) {
    const Mapped middle = Follow(Address(inode_.doubleIndirect), 0,
                                 static_cast<std::uint32_t>(logical / kPerIndirect));
    return Follow(middle, 1, static_cast<std::uint32_t>(logical % kPerIndirect));
  }
  logical -= kDoubleSpan;
  if (logical < kTripleSpan) {
    const Mapped upper = Follow(Address(inode_.tripleIndirect), 0,
                                static_cast<std::uint32_t>(logical / kDoubleSpan));
    const Mapped middle =
        Follow(upper, 1, static_cast<std::uint32_t>((logical / kPerIndirect) % kPerIndirect));
    return Follow(middle, 2, static_cast<std::uint32_t>(logical % kPerIndirect));
  }
  return {BlockState::kOutside, 0};  // beyond anything an inode can address
}

FileDataReader::Gathered FileDataReader::Gather(std::uint64_t limit) {
  const std::uint64_t fileSectors = (copyLength_ + kFsSectorBytes - 1) / kFsSectorBytes;
  const std::uint64_t firstLogical = position_ / kFsSectorBytes;

  // Gather a run of sectors that are all data and contiguous on the disk, or
  // all hole, or all damage; at most `limit` of them.
  std::uint64_t mappedBlock = firstLogical / kSectorsPerBlock;
  Mapped mapped = MapBlock(mappedBlock);
  const BlockState state = mapped.state;
  const std::uint64_t physicalFirst =
      state == BlockState::kData
          ? BlockSector(volume_, mapped.block) + firstLogical % kSectorsPerBlock
          : 0;
  std::uint64_t count = 0;
  while (count < limit && firstLogical + count < fileSectors) {
    const std::uint64_t logical = firstLogical + count;
    const std::uint64_t block = logical / kSectorsPerBlock;
    if (block != mappedBlock) {
      mappedBlock = block;
      mapped = MapBlock(block);
    }
    if (mapped.state != state) break;
    if (state == BlockState::kData &&
        BlockSector(volume_, mapped.block) + logical % kSectorsPerBlock != physicalFirst + count) {
      break;
    }
    ++count;
  }
  return {state, firstLogical, physicalFirst, count};
}

std::optional<FileDataReader::DataRun> FileDataReader::NextDataRun(std::uint64_t maxSectors) {
  if (AtEnd() || maxSectors == 0) return std::nullopt;
  const Gathered run = Gather(maxSectors);
  if (run.state != BlockState::kData || run.count == 0 ||
      run.physicalFirst > drives_.Current().totalSectors) {
    return std::nullopt;
  }
  // Sectors already known to be unreadable are zero-filled by Next.
  if (!drives_.BadSectors().RunsIn(run.physicalFirst, run.count).empty()) return std::nullopt;
  const std::uint64_t bytes =
      std::min<std::uint64_t>(run.count * kFsSectorBytes, copyLength_ - position_);
  position_ += bytes;
  lastPieceUnread_ = false;
  return DataRun{run.physicalFirst, run.count, bytes};
}

std::span<const std::byte> FileDataReader::Next() {
  if (AtEnd()) return {};
  const Gathered gathered = Gather(sectorsPerRead_);
  const BlockState state = gathered.state;
  const std::uint64_t firstLogical = gathered.firstLogical;
  const std::uint64_t physicalFirst = gathered.physicalFirst;
  const auto count = static_cast<std::uint32_t>(gathered.count);

  const std::size_t runBytes = std::size_t{count} * kFsSectorBytes;
  std::span<std::byte> run{buffer_.data(), runBytes};
  bool outside = state == BlockState::kOutside;
  if (state == BlockState::kData && physicalFirst > drives_.Current().totalSectors) {
    outside = true;  // the drive would refuse the read and leave the buffer as it was
  }
  lastPieceUnread_ = state != BlockState::kData || outside;
  if (!lastPieceUnread_) {
    (void)drives_.ReadSectors(physicalFirst, count, run);
    NoteUnreadable(physicalFirst, count);
  } else {
    std::fill(run.begin(), run.end(), std::byte{0});
  }
  if (outside) {
    const std::uint64_t firstBlock = firstLogical / kSectorsPerBlock;
    const std::uint64_t lastBlock = (firstLogical + count - 1) / kSectorsPerBlock;
    std::uint64_t blocks = lastBlock - firstBlock + 1;
    if (lastCountedOutside_ == firstBlock) --blocks;  // a block split across two runs
    blocksOutside_ += blocks;
    lastCountedOutside_ = lastBlock;
  }

  const std::size_t bytes =
      static_cast<std::size_t>(std::min<std::uint64_t>(runBytes, copyLength_ - position_));
  position_ += bytes;
  return {buffer_.data(), bytes};
}

}  // namespace tolvar
