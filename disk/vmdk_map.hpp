#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>

#include "disk/cluster_image.hpp"
#include "disk/ewf_segments.hpp"

namespace tolvar {

// Decodes a hosted sparse VMDK extent (the "KDMV" header, the grain
// directory) read through `read`, and maps virtual offsets through its
// grain tables, kept in a bounded cache. Allocated grains map to the file;
// unallocated and zeroed grains read as zeros (the extent must have no
// parent). Returns null for extents this decoder leaves to the library
// (compressed grains, a stream-optimized layout with its directory at the
// end); an error fragment (without the file's name) when the header or the
// grain directory is wrong.
[[nodiscard]] std::expected<std::unique_ptr<ClusterMap>, std::string> MakeVmdkSparseMap(
    SegmentReader read, std::uint64_t fileSize);

}  // namespace tolvar

namespace tolvar {

// The sizes of an older ESX sparse extent ("COWD"), checked.
struct VmdkCowdHeader {
  std::uint64_t capacitySectors = 0;
  std::uint64_t grainSectors = 0;
  std::uint64_t directorySector = 0;
  std::uint64_t directoryEntries = 0;
};

// Checks a "COWD" extent before anything reads it by its figures: a grain
// of a power of two sectors up to 1 MiB, a capacity, a grain directory
// with an entry for every grain table the capacity needs, and that
// directory and every grain table it names inside the file. What is wrong,
// as a fragment without the file's name, otherwise.
[[nodiscard]] std::expected<VmdkCowdHeader, std::string> CheckVmdkCowdExtent(
    const SegmentReader& read, std::uint64_t fileSize);

}  // namespace tolvar
