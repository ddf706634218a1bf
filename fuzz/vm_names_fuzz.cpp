// Our VMDK descriptor and sparse-header decoders and the VHD parent-locator
// decoder over arbitrary bytes: the first byte picks the decoder, the rest
// is the file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "disk/vhd_locator.hpp"
#include "disk/vmdk_descriptor.hpp"

namespace {

void CheckName(const std::string& name) {
  // Names come out without NUL bytes, so they can be handed to path calls.
  if (name.find('\0') != std::string::npos) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tolvar;
  if (size == 0) return 0;
  const std::span<const std::byte> file(reinterpret_cast<const std::byte*>(data) + 1, size - 1);
  switch (data[0] % 3) {
    case 0: {
      const auto descriptor = ParseVmdkDescriptor(file);
      if (!descriptor) break;
      if (descriptor->extents.empty()) std::abort();
      for (const auto& extent : descriptor->extents) {
        CheckName(extent.fileName);
        if (extent.sectors == 0) std::abort();
        if (extent.type != VmdkExtentLine::Type::kZero && extent.fileName.empty()) std::abort();
      }
      if (descriptor->parentFileNameHint) CheckName(*descriptor->parentFileNameHint);
      break;
    }
    case 1: {
      const auto header = ParseVmdkSparseHeader(file, file.size());
      if (!header) break;
      // What the header sets is bounded before anything reads by it.
      if (header->grainSectors == 0 || header->grainSectors > 2048) std::abort();
      if (header->tableEntries < 128 || header->tableEntries > 4096) std::abort();
      if (header->descriptorSector != 0 &&
          (header->descriptorSector + header->descriptorSectors) * 512 > file.size()) {
        std::abort();
      }
      break;
    }
    default: {
      // A footer first, then the dynamic-disk header, as a copy at the
      // file's start holds them; or the header alone.
      const auto footer = ParseVhdFooter(file);
      const auto header =
          ParseVhdDynamicHeader(footer ? file.subspan(kVhdFooterBytes) : file, file.size());
      if (!header) break;
      CheckName(header->unicodeName);
      for (const auto& entry : header->entries) {
        if (entry.dataOffset > file.size() || entry.dataLength > file.size() - entry.dataOffset) {
          std::abort();  // the entries kept lie inside the file
        }
        CheckName(VhdLocatorName(entry, file.subspan(entry.dataOffset, entry.dataLength)));
      }
      break;
    }
  }
  return 0;
}
