#pragma once

// Small decoders for the tests of the image builder: they read back what the
// builder wrote, straight from the bytes, independent of the reader.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "imagekit/image_builder.hpp"

namespace tolvar::imagekit::testing {

class Decoded {
 public:
  explicit Decoded(std::span<const std::byte> bytes) : bytes_(bytes) {}

  [[nodiscard]] std::uint32_t U8(std::uint64_t at) const {
    return std::to_integer<std::uint32_t>(bytes_[at]);
  }
  [[nodiscard]] std::uint32_t U16(std::uint64_t at) const { return U8(at) | U8(at + 1) << 8; }
  [[nodiscard]] std::uint32_t U24(std::uint64_t at) const { return U16(at) | U8(at + 2) << 16; }
  [[nodiscard]] std::uint32_t U32(std::uint64_t at) const { return U16(at) | U16(at + 2) << 16; }
  [[nodiscard]] std::string Text(std::uint64_t at, std::size_t n) const {
    return {reinterpret_cast<const char*>(bytes_.data() + at), n};
  }
  [[nodiscard]] std::span<const std::byte> Bytes() const { return bytes_; }

 private:
  std::span<const std::byte> bytes_;
};

struct VolumeView {
  Decoded disk;
  std::uint64_t start;  // absolute sector
  bool htfs;

  [[nodiscard]] std::uint64_t Block(std::uint32_t b) const { return (start + 2ull * b) * 512; }
  [[nodiscard]] std::uint64_t Super() const { return (start + 1) * 512; }
  [[nodiscard]] std::uint64_t Inode(std::uint32_t n) const {
    return Block(2) + std::uint64_t{n - 1} * (htfs ? 128 : 64);
  }
  [[nodiscard]] std::uint32_t Mode(std::uint32_t n) const { return disk.U16(Inode(n)); }
  [[nodiscard]] std::uint32_t Links(std::uint32_t n) const { return disk.U16(Inode(n) + 2); }
  [[nodiscard]] std::uint32_t Size(std::uint32_t n) const {
    return disk.U32(Inode(n) + (htfs ? 12 : 8));
  }
  [[nodiscard]] std::uint32_t Time(std::uint32_t n) const {
    return disk.U32(Inode(n) + (htfs ? 76 : 52));
  }
  [[nodiscard]] std::uint32_t Address(std::uint32_t n, int i) const {
    return htfs ? disk.U32(Inode(n) + 20 + 4 * i) : disk.U24(Inode(n) + 12 + 3 * i);
  }

  // Data blocks (in file order) and indirect blocks of inode n, by its size.
  [[nodiscard]] std::pair<std::vector<std::uint32_t>, std::vector<std::uint32_t>> Blocks(
      std::uint32_t n) const {
    std::vector<std::uint32_t> data;
    std::vector<std::uint32_t> indirect;
    std::uint64_t want = (std::uint64_t{Size(n)} + 1023) / 1024;
    for (int i = 0; i < 10 && data.size() < want; ++i) data.push_back(Address(n, i));
    // Each level's tree, walked with an explicit stack of (block, depth).
    for (int level = 1; level <= 3 && data.size() < want; ++level) {
      std::vector<std::pair<std::uint32_t, int>> stack{{Address(n, 9 + level), level}};
      while (!stack.empty() && data.size() < want) {
        auto [block, depth] = stack.back();
        stack.pop_back();
        indirect.push_back(block);
        std::vector<std::pair<std::uint32_t, int>> children;
        for (int k = 0; k < 256; ++k) {
          std::uint32_t a = disk.U32(Block(block) + 4 * k);
          if (a == 0) break;
          if (depth == 1) {
            if (data.size() < want) data.push_back(a);
          } else {
            children.emplace_back(a, depth - 1);
          }
        }
        stack.insert(stack.end(), children.rbegin(), children.rend());
      }
    }
    return {data, indirect};
  }

  // Entries of directory inode n other than "." and "..": (name, inode).
  [[nodiscard]] std::vector<std::pair<std::string, std::uint32_t>> List(std::uint32_t n) const {
    std::vector<std::pair<std::string, std::uint32_t>> out;
    std::uint32_t size = Size(n);
    std::uint64_t seen = 0;
    std::string pending;
    for (std::uint32_t block : Blocks(n).first) {
      std::uint64_t base = Block(block);
      if (htfs) {
        for (std::uint32_t o = 0; o < 1024;) {
          std::uint32_t inode = disk.U32(base + o);
          std::uint32_t length = disk.U16(base + o + 6);
          std::uint32_t nameLength = disk.U8(base + o + 8);
          if (inode == 0 || length == 0 || nameLength == 0) break;
          std::string name = disk.Text(base + o + 9, nameLength);
          if (name != "." && name != "..") out.emplace_back(name, inode);
          o += length;
        }
      } else {
        for (std::uint32_t e = 0; e < 64 && seen < size; ++e, seen += 16) {
          std::uint32_t inode = disk.U16(base + 16 * e);
          std::string name = disk.Text(base + 16 * e + 2, 14);
          if (inode == 0xFFFF) {
            pending += name;
            continue;
          }
          name = pending + name.substr(0, name.find('\0'));
          pending.clear();
          if (inode != 0 && name != "." && name != "..") out.emplace_back(name, inode);
        }
      }
    }
    return out;
  }

  // The free list: every block it names, chain blocks included.
  [[nodiscard]] std::vector<std::uint32_t> FreeBlocks() const {
    std::vector<std::uint32_t> out;
    std::uint64_t chunk = Super() + 8;  // count, then the list 4 bytes on
    for (std::size_t guard = 0; guard < 10000000; ++guard) {
      std::uint32_t count = disk.U16(chunk);
      std::uint32_t link = disk.U32(chunk + 4);
      for (std::uint32_t i = 1; i < count; ++i) out.push_back(disk.U32(chunk + 4 + 4 * i));
      if (count == 0 || link == 0) break;
      out.push_back(link);
      chunk = Block(link);
    }
    return out;
  }
};

inline VolumeView View(std::span<const std::byte> bytes, const VolumeReport& v) {
  return VolumeView{Decoded(bytes), v.startSector, v.fs == FsKind::kHtfs};
}

// The partition-record rule of the volume probe: for each of the 7 entries,
// scan 2 x length sectors from the start sector for a superblock signature;
// the first found gives a volume start of that sector minus 1.
inline std::vector<std::uint64_t> StartsByRecordRule(const Decoded& disk) {
  std::vector<std::uint64_t> found;
  if (disk.U16(105 * 512) != 0x1234) return found;
  std::uint64_t sectors = disk.Bytes().size() / 512;
  for (int i = 0; i < 7; ++i) {
    std::uint64_t start = disk.U32(105 * 512 + 2 + 8 * i);
    std::uint64_t count = 2ull * disk.U32(105 * 512 + 6 + 8 * i);
    for (std::uint64_t s = start; s < start + count && s < sectors; ++s) {
      std::uint32_t magic = disk.U32(s * 512 + 504);
      bool htfs = magic == 0xA060492A && disk.U32(s * 512) != 0 && disk.U32(s * 512 + 244) != 0;
      if (htfs || magic == 0xFD187E21) {
        bool duplicate = false;
        for (auto f : found) duplicate = duplicate || f == s - 1;
        if (!duplicate) found.push_back(s - 1);
        break;
      }
    }
  }
  return found;
}

}  // namespace tolvar::imagekit::testing
