// Our VMDK descriptor, sparse-header and compressed-grain decoders, the VHD
// parent-locator decoder and the VHDX block-table decoder over arbitrary
// bytes: the first byte picks the decoder, the rest is the file.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "disk/vhd_locator.hpp"
#include "disk/vhdx_blocks.hpp"
#include "disk/vmdk_descriptor.hpp"
#include "disk/vmdk_stream.hpp"

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
  const auto read = [&](std::uint64_t offset, std::span<std::byte> out) {
    if (offset > file.size() || out.size() > file.size() - offset) return false;
    std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
    return true;
  };
  if (data[0] >= 0xf0) {
    // The VHDX block table: one flag per block of the disk it describes.
    const auto states = ReadVhdxBlockStates(read, file.size());
    if (states && (states->blockBytes == 0 || states->unreadable.empty())) std::abort();
    return 0;
  }
  if (data[0] >= 0xe0) {
    // A stream-optimized VMDK extent, read from a memory file: its start
    // and a few grains spread over the disk.
    const int fd = ::memfd_create("extent", MFD_CLOEXEC);
    if (fd < 0) return 0;
    if (::write(fd, file.data(), file.size()) != static_cast<ssize_t>(file.size())) {
      ::close(fd);
      return 0;
    }
    auto source = MakeVmdkStreamSource("fuzz.vmdk", fd, file.size());
    if (!source) {
      ::close(fd);
      return 0;
    }
    std::vector<std::byte> buffer(4096);
    const std::uint64_t length = (*source)->LengthBytes();
    for (std::uint64_t at : {std::uint64_t{0}, length / 3, length / 2, length - 1}) {
      at = at / 512 * 512;
      const auto part = std::span(buffer).first(
          static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), length - at)));
      (void)(*source)->ReadAt(at, part);
    }
    return 0;
  }
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
