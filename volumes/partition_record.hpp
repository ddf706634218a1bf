#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace tolvar {

// The small partition record that the SCO install leaves at a fixed sector.
inline constexpr std::uint32_t kPartitionRecordSector = 105;
inline constexpr std::uint16_t kPartitionRecordMark = 0x1234;
inline constexpr std::size_t kPartitionRecordEntries = 7;

struct PartitionRecordEntry {
  std::uint32_t startSector = 0;
  std::uint32_t lengthKb = 0;  // length in 1024-byte units

  // The sectors the entry asks to be scanned (32-bit, wrapping).
  [[nodiscard]] std::uint32_t SectorCount() const { return lengthKb * 2u; }
};

struct PartitionRecord {
  std::array<PartitionRecordEntry, kPartitionRecordEntries> entries{};
};

// Decodes the record from its sector; nothing when the mark is not there or
// the sector is short.
[[nodiscard]] std::optional<PartitionRecord> DecodePartitionRecord(
    std::span<const std::byte> sector);

}  // namespace tolvar
