#pragma once

// The block allocation table of a VHDX file, decoded by our own code so that
// blocks in states that hold no trustworthy data read as unreadable sectors
// rather than as the zeros the library would serve.

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "disk/ewf_segments.hpp"

namespace tolvar {

struct VhdxBlockStates {
  std::uint64_t blockBytes = 0;
  // One flag per payload block of the virtual disk: true when the block's
  // table entry is in a reserved or undefined state, says "partially
  // present" without a parent, says "not present" or "unmapped" where the
  // disk must hold the data (a fixed disk; unmapped in a differencing
  // disk, whose content is then undefined), or points outside the file.
  std::vector<bool> unreadable;
};

// Reads the region table, the metadata (block size, sector size, disk size,
// whether there is a parent) and the block table through `read`. What is
// wrong, as a fragment without the file's name, when they cannot be found
// or are out of bounds.
[[nodiscard]] std::expected<VhdxBlockStates, std::string> ReadVhdxBlockStates(
    const SegmentReader& read, std::uint64_t fileSize);

}  // namespace tolvar
