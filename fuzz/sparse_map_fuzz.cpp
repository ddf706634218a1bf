// Our qcow2, sparse VMDK and VHD table decoders, and the older sparse
// extent's check, over an arbitrary file:
// every piece they map lies inside the disk and, when it is data, inside
// the file; nothing reads past the file.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "disk/qcow_map.hpp"
#include "disk/vhd_map.hpp"
#include "disk/vmdk_map.hpp"

namespace {

void Walk(tolvar::ClusterMap& map, std::size_t fileSize, const tolvar::SegmentReader& read) {
  const std::uint64_t size = map.VirtualSize();
  const auto check = [&](std::uint64_t at) -> std::uint64_t {
    const auto piece = map.Map(at);
    if (!piece) {
      if (piece.error().empty() || piece.error().find('\n') != std::string::npos) std::abort();
      return 512;
    }
    if (piece->length == 0 || piece->length > size - at) std::abort();
    if (piece->kind == tolvar::ImagePiece::Kind::kData &&
        (piece->hostOffset > fileSize || piece->length > fileSize - piece->hostOffset)) {
      std::abort();
    }
    if (piece->kind == tolvar::ImagePiece::Kind::kCompressed) {
      if (piece->hostOffset > fileSize || piece->storedLength > fileSize - piece->hostOffset ||
          piece->withinCluster + piece->length > piece->clusterBytes) {
        std::abort();
      }
      // Whatever the stored bytes are, decompressing stays inside the cluster.
      std::vector<std::byte> stored(piece->storedLength);
      if (!stored.empty() && !read(piece->hostOffset, stored)) std::abort();
      std::vector<std::byte> cluster(piece->clusterBytes);
      (void)map.Decompress(stored, cluster);
    }
    return piece->length;
  };
  // The first pieces in order, then a spread of offsets across the disk.
  std::uint64_t at = 0;
  for (int i = 0; i < 2048 && at < size; ++i) at += check(at);
  for (std::uint64_t i = 1; i <= 64 && size > 0; ++i)
    (void)check(size / 64 * (i - 1) + (size - 1) % 64);
  if (size > 0) (void)check(size - 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tolvar;
  const SegmentReader read = [&](std::uint64_t offset, std::span<std::byte> out) {
    if (offset > size || out.size() > size - offset) std::abort();  // checked before reading
    if (!out.empty()) std::memcpy(out.data(), data + offset, out.size());
    return true;
  };
  const auto walk = [&](std::expected<std::unique_ptr<ClusterMap>, std::string> map) {
    if (!map) {
      if (map.error().empty() || map.error().find('\n') != std::string::npos) std::abort();
      return;
    }
    if (*map != nullptr) Walk(**map, size, read);
  };
  walk(MakeQcowMap(read, size));
  (void)ReadQcowBackingName(read, size);
  walk(MakeVmdkSparseMap(read, size));
  if (auto cowd = CheckVmdkCowdExtent(read, size);
      !cowd && (cowd.error().empty() || cowd.error().find('\n') != std::string::npos)) {
    std::abort();
  }
  auto vhd = ReadVhdLayout(read, size);
  if (!vhd) {
    if (vhd.error().empty() || vhd.error().find('\n') != std::string::npos) std::abort();
  } else {
    auto map = MakeVhdMap(read, size, std::move(*vhd));
    Walk(*map, size, read);
  }
  return 0;
}
