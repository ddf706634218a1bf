// Inode decoding of both types over an arbitrary slot.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "fs/format.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tolvar;
  const std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(data), size);
  for (const FsType type : {FsType::kEafs, FsType::kHtfs}) {
    const Inode inode = DecodeInode(type, bytes);
    if (size < InodeBytes(type) && (inode.mode != 0 || inode.FirstBlock() != 0)) std::abort();
    if (type == FsType::kEafs) {
      for (const std::uint32_t address : inode.direct) {
        if (address > 0xFFFFFF) std::abort();
      }
    }
    if (IsDirectoryInode(inode) && ((inode.mode & 0xF000) != 0x4000 || inode.FirstBlock() == 0)) {
      std::abort();
    }
    const std::uint32_t n = size >= 4 ? le::Read32(bytes, 0) : 1;
    const InodeLocation where = LocateInode(type, n);
    if (where.byteOffset + InodeBytes(type) > 512) std::abort();
  }
  return 0;
}
