#include "disk/cluster_image.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "disk/sized_image_source.hpp"

namespace tolvar {

TableCache::TableCache(std::size_t budgetBytes, std::size_t tableEntries)
    : capacity_(std::max<std::size_t>(
          1, budgetBytes / (std::max<std::size_t>(tableEntries, 1) * sizeof(std::uint64_t)))) {}

const std::vector<std::uint64_t>* TableCache::Find(std::uint64_t key) {
  const auto found = index_.find(key);
  if (found == index_.end()) return nullptr;
  if (found->second != slots_.begin()) slots_.splice(slots_.begin(), slots_, found->second);
  return &slots_.front().table;
}

const std::vector<std::uint64_t>& TableCache::Insert(std::uint64_t key,
                                                     std::vector<std::uint64_t> table) {
  if (const auto found = index_.find(key); found != index_.end()) {
    found->second->table = std::move(table);
    slots_.splice(slots_.begin(), slots_, found->second);
    return slots_.front().table;
  }
  if (slots_.size() >= capacity_) {
    index_.erase(slots_.back().key);
    slots_.pop_back();
  }
  slots_.push_front(Slot{key, std::move(table)});
  index_[key] = slots_.begin();
  return slots_.front().table;
}

namespace {

class ClusterImageSource final : public BlockDeviceSource {
 public:
  ClusterImageSource(std::string path, int fd, std::unique_ptr<ClusterMap> map,
                     std::unique_ptr<BlockDeviceSource> fallback)
      : path_(std::move(path)), fd_(fd), map_(std::move(map)), fallback_(std::move(fallback)) {}
  ~ClusterImageSource() override {
    map_.reset();
    ::close(fd_);
  }
  ClusterImageSource(const ClusterImageSource&) = delete;
  ClusterImageSource& operator=(const ClusterImageSource&) = delete;

  DeviceDescription Describe() const override { return fallback_->Describe(); }
  std::uint64_t LengthBytes() const override { return map_->VirtualSize(); }

  std::expected<void, Error> ReadAt(std::uint64_t offset, std::span<std::byte> out) override {
    if (auto within = CheckReadWithin(path_, map_->VirtualSize(), offset, out.size()); !within) {
      return within;
    }
    // The runs are found under the lock (the table cache changes), then
    // read without it.
    std::vector<Run> runs;
    {
      std::lock_guard lock(mutex_);
      std::uint64_t at = offset;
      const std::uint64_t end = offset + out.size();
      while (at < end) {
        auto piece = map_->Map(at);
        if (!piece) return std::unexpected(ReadErrorAt(path_, at, piece.error()));
        const std::uint64_t take = std::min(piece->length, end - at);
        if (!runs.empty() && runs.back().kind == piece->kind &&
            piece->kind != ImagePiece::Kind::kCompressed &&
            (piece->kind != ImagePiece::Kind::kData ||
             runs.back().hostOffset + runs.back().length == piece->hostOffset)) {
          runs.back().length += take;
        } else {
          runs.push_back(Run{piece->kind, at - offset, piece->hostOffset, take, piece->storedLength,
                             piece->clusterBytes, piece->withinCluster});
        }
        at += take;
      }
    }
    for (const Run& run : runs) {
      const auto part = out.subspan(run.outOffset, run.length);
      switch (run.kind) {
        case ImagePiece::Kind::kZero:
          std::ranges::fill(part, std::byte{0});
          break;
        case ImagePiece::Kind::kData:
          if (!ReadHost(run.hostOffset, part)) {
            return std::unexpected(ReadErrorAt(path_, offset + run.outOffset));
          }
          break;
        case ImagePiece::Kind::kFallback:
          if (auto read = fallback_->ReadAt(offset + run.outOffset, part); !read) return read;
          break;
        case ImagePiece::Kind::kCompressed:
          if (!ReadCompressed(run, part)) {
            return std::unexpected(ReadErrorAt(path_, offset + run.outOffset,
                                               "a compressed cluster does not decompress"));
          }
          break;
      }
    }
    return {};
  }

 private:
  struct Run {
    ImagePiece::Kind kind;
    std::uint64_t outOffset;
    std::uint64_t hostOffset;
    std::uint64_t length;
    std::uint64_t storedLength;
    std::uint64_t clusterBytes;
    std::uint64_t withinCluster;
  };

  // The last cluster decompressed is kept: reads of one sector at a time
  // would otherwise decompress the same cluster again for each.
  bool ReadCompressed(const Run& run, std::span<std::byte> out) {
    std::lock_guard lock(compressedMutex_);
    if (!cachedValid_ || cachedHostOffset_ != run.hostOffset ||
        cachedCluster_.size() != run.clusterBytes) {
      cachedValid_ = false;
      std::vector<std::byte> stored(run.storedLength);
      cachedCluster_.assign(run.clusterBytes, std::byte{0});
      if (!ReadHost(run.hostOffset, stored) || !map_->Decompress(stored, cachedCluster_)) {
        return false;
      }
      cachedValid_ = true;
      cachedHostOffset_ = run.hostOffset;
    }
    if (run.withinCluster > cachedCluster_.size() ||
        out.size() > cachedCluster_.size() - run.withinCluster) {
      return false;
    }
    std::copy_n(cachedCluster_.begin() + static_cast<std::ptrdiff_t>(run.withinCluster), out.size(),
                out.begin());
    return true;
  }

  bool ReadHost(std::uint64_t hostOffset, std::span<std::byte> out) const {
    std::size_t done = 0;
    while (done < out.size()) {
      const ssize_t got =
          ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(hostOffset + done));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      done += static_cast<std::size_t>(got);
    }
    return true;
  }

  std::string path_;
  int fd_;
  std::unique_ptr<ClusterMap> map_;
  std::unique_ptr<BlockDeviceSource> fallback_;
  std::mutex mutex_;
  std::mutex compressedMutex_;
  bool cachedValid_ = false;
  std::uint64_t cachedHostOffset_ = 0;
  std::vector<std::byte> cachedCluster_;
};

}  // namespace

std::unique_ptr<BlockDeviceSource> MakeClusterImageSource(
    std::string path, int fd, std::unique_ptr<ClusterMap> map,
    std::unique_ptr<BlockDeviceSource> fallback) {
  return std::make_unique<ClusterImageSource>(std::move(path), fd, std::move(map),
                                              std::move(fallback));
}

}  // namespace tolvar
