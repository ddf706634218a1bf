// The EAFS directory-block parser, as a first and as a later block.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fs/format.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tolvar;
  std::vector<std::byte> block(kBlockBytes, std::byte{0});
  for (std::size_t i = 0; i < size && i < block.size(); ++i) block[i] = std::byte{data[i]};
  for (const bool first : {true, false}) {
    const auto entries = ParseEafsDirectoryEntries(block, first);
    if (entries.size() > kEafsEntriesPerBlock) std::abort();
    if (first && !entries.empty() && !IsEafsDirectoryBlock(block)) std::abort();
    for (const RawDirEntry& entry : entries) {
      if (entry.inode < kFirstEntryInode || entry.inode >= kEafsLongNameMark) std::abort();
      if (entry.name.size() > kMaxNameBytes) std::abort();
      if (entry.name.find('\0') != std::string::npos) std::abort();
    }
  }
  return 0;
}
