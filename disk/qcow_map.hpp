#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>

#include "disk/cluster_image.hpp"
#include "disk/ewf_segments.hpp"

namespace tolvar {

// Decodes a qcow2 image's header (versions 2 and 3) and its L1 table, and
// maps virtual offsets through its L2 tables, read through `read` and kept
// in a bounded cache. Uncompressed clusters map to the file, compressed
// ones to their stored bytes (kCompressed, decompressed by the map);
// unallocated clusters and those marked as zeros read as zeros, or, when
// the image has a backing file, unallocated ones go to it (kFallback).
// Returns null for images this decoder leaves to the library (version 1,
// encryption, incompatible features); an error fragment (without the
// file's name) when the header or L1 table is wrong.
[[nodiscard]] std::expected<std::unique_ptr<ClusterMap>, std::string> MakeQcowMap(
    SegmentReader read, std::uint64_t fileSize);

// The backing file's name a qcow2 header records: none, the name, or what
// is wrong with it (a fragment), such as a name outside the header or one
// that is not UTF-8 text (named with its bytes as they are, for whoever
// shows the message to escape).
[[nodiscard]] std::expected<std::optional<std::string>, std::string> ReadQcowBackingName(
    const SegmentReader& read, std::uint64_t fileSize);

}  // namespace tolvar
