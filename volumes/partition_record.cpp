#include "volumes/partition_record.hpp"

#include "base/little_endian.hpp"

namespace tolvar {

std::optional<PartitionRecord> DecodePartitionRecord(std::span<const std::byte> sector) {
  // Mark, then seven (start, length) pairs; bytes from 58 on are not used.
  constexpr std::size_t kUsedBytes = 2 + 8 * kPartitionRecordEntries;
  if (sector.size() < kUsedBytes) return std::nullopt;
  if (le::Read16(sector, 0) != kPartitionRecordMark) return std::nullopt;
  PartitionRecord record;
  for (std::size_t i = 0; i < kPartitionRecordEntries; ++i) {
    record.entries[i].startSector = le::Read32(sector, 2 + 8 * i);
    record.entries[i].lengthKb = le::Read32(sector, 6 + 8 * i);
  }
  return record;
}

}  // namespace tolvar
