#pragma once

#include <cstdint>
#include <expected>
#include <list>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "disk/block_device_source.hpp"

namespace tolvar {

// Where one run of a virtual disk's bytes lies in its image file.
struct ImagePiece {
  enum class Kind {
    kData,        // stored uncompressed at `hostOffset` of the image file
    kZero,        // a hole or a cluster marked as zeros
    kFallback,    // stored in a way only the image library reads, or in a parent image
    kCompressed,  // stored compressed: `storedLength` bytes at `hostOffset`, which the map
                  // decompresses into a whole cluster of `clusterBytes`
  };
  Kind kind = Kind::kZero;
  std::uint64_t hostOffset = 0;
  // kCompressed only: the stored bytes (inside the file), the cluster's
  // size once decompressed, and where in it the asked offset lies.
  std::uint64_t storedLength = 0;
  std::uint64_t clusterBytes = 0;
  std::uint64_t withinCluster = 0;
  // Bytes from the asked offset to the end of its cluster (or of the disk);
  // never zero.
  std::uint64_t length = 0;
};

// The cluster (grain) tables of one sparse image file, decoded by our own
// code: where each virtual byte is stored. Decoding checks every figure it
// reads from the file against the file's size, so a piece of kind kData
// always lies inside the file.
class ClusterMap {
 public:
  virtual ~ClusterMap() = default;
  [[nodiscard]] virtual std::uint64_t VirtualSize() const = 0;
  // The piece holding virtual byte `offset` (below VirtualSize()); what is
  // wrong with the tables there, as a fragment without the file's name,
  // when they cannot be read or are damaged.
  [[nodiscard]] virtual std::expected<ImagePiece, std::string> Map(std::uint64_t offset) = 0;
  // Decompresses the stored bytes of a kCompressed piece into `cluster`
  // (its clusterBytes long); false when they do not decompress to exactly
  // a whole cluster, which makes the cluster unreadable.
  [[nodiscard]] virtual bool Decompress(std::span<const std::byte> stored,
                                        std::span<std::byte> cluster) const {
    (void)stored;
    (void)cluster;
    return false;
  }
};

// Decoded second-level tables, the least recently used dropped first so
// that the cache stays within its byte budget whatever the disk's size.
class TableCache {
 public:
  // `tableEntries`: how many entries each table has.
  TableCache(std::size_t budgetBytes, std::size_t tableEntries);

  // The table numbered `key`, or null when it is not cached.
  [[nodiscard]] const std::vector<std::uint64_t>* Find(std::uint64_t key);
  const std::vector<std::uint64_t>& Insert(std::uint64_t key, std::vector<std::uint64_t> table);

 private:
  struct Slot {
    std::uint64_t key;
    std::vector<std::uint64_t> table;
  };
  std::size_t capacity_;
  std::list<Slot> slots_;  // most recently used first
  std::unordered_map<std::uint64_t, std::list<Slot>::iterator> index_;
};

// How much memory the second-level tables of one image may hold.
inline constexpr std::size_t kTableCacheBytes = 16u << 20;

// Serves a sparse image: pieces of kind kData are read from `fd` (owned,
// opened read-only) with one read per run of adjacent clusters, holes as
// zeros, compressed clusters decompressed by the map (the last one kept),
// and pieces of kind kFallback through `fallback`, the image library's
// source for the same disk or the parent's, which also describes the drive.
// Reads that fail, and tables found damaged, fail the read as an unreadable
// sector.
[[nodiscard]] std::unique_ptr<BlockDeviceSource> MakeClusterImageSource(
    std::string path, int fd, std::unique_ptr<ClusterMap> map,
    std::unique_ptr<BlockDeviceSource> fallback);

}  // namespace tolvar
