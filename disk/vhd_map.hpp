#pragma once

// Our own reader of VHD files (fixed, dynamic and differencing): the footer
// and the dynamic-disk header with their checksums, the block allocation
// table and the sector bitmaps of a differencing disk.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <vector>

#include "disk/cluster_image.hpp"
#include "disk/ewf_segments.hpp"

namespace tolvar {

struct VhdLayout {
  enum class Type { kFixed, kDynamic, kDifferencing };
  Type type = Type::kFixed;
  std::uint64_t diskBytes = 0;  // the footer's current size
  // Dynamic and differencing disks only.
  std::uint64_t dynamicHeaderOffset = 0;
  std::uint64_t blockBytes = 0;
  std::uint64_t bitmapBytes = 0;     // in front of each block's data, whole sectors
  std::vector<std::uint32_t> table;  // one sector number per block, 0xffffffff: none
  // The disk's own identifier (the footer's), and the one a differencing
  // disk records for its parent (all zeros when it records none).
  std::array<std::byte, 16> uniqueId{};
  std::array<std::byte, 16> parentUniqueId{};
};

// Reads the footer (the last sector, or its copy in the first when the last
// is damaged), the dynamic-disk header and the block table through `read`,
// checking the checksums and every size and offset against the file's size.
// What is wrong, as a fragment without the file's name, otherwise.
[[nodiscard]] std::expected<VhdLayout, std::string> ReadVhdLayout(const SegmentReader& read,
                                                                  std::uint64_t fileSize);

// Maps a disk's bytes to the file: a fixed disk's from offset 0; a dynamic
// disk's through its block table, unallocated blocks as zeros; a
// differencing disk's sectors to the file where the block's bitmap marks
// them and to the parent (kFallback) elsewhere. Sectors of a block that lie
// past the end of the file, or whose bitmap cannot be read, fail to read.
[[nodiscard]] std::unique_ptr<ClusterMap> MakeVhdMap(SegmentReader read, std::uint64_t fileSize,
                                                     VhdLayout layout);

}  // namespace tolvar
