// The HTFS directory-block parser over exactly the input: any read past the
// block would be a heap overflow that the sanitizer reports.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fs/format.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tolvar;
  auto copy = std::make_unique<std::byte[]>(size + 1);
  if (size != 0) std::memcpy(copy.get(), data, size);
  std::uint32_t freeSlots = 0;
  const auto entries =
      ParseHtfsDirectoryEntries(std::span<const std::byte>(copy.get(), size), &freeSlots);
  if (entries.size() > kBlockBytes) std::abort();
  // Every freed slot passed over takes at least the smallest record.
  if (freeSlots > kBlockBytes / HtfsRecordBytes(0)) std::abort();
  for (const RawDirEntry& entry : entries) {
    if (entry.inode < kFirstEntryInode || entry.inode == 0xFFFFFFFFU) std::abort();
    if (entry.name == "." || entry.name == ".." || entry.name.size() > kMaxNameBytes) std::abort();
  }
  return 0;
}
