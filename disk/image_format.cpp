#include "disk/image_format.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>

namespace tolvar {

namespace {

bool StartsWith(std::span<const std::byte> bytes, std::string_view magic, std::size_t at = 0) {
  if (bytes.size() < at || bytes.size() - at < magic.size()) return false;
  for (std::size_t i = 0; i < magic.size(); ++i) {
    if (bytes[at + i] != static_cast<std::byte>(magic[i])) return false;
  }
  return true;
}

std::uint32_t LittleEndian32(std::span<const std::byte> bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    value |= static_cast<std::uint32_t>(bytes[at + i]) << (8 * i);
  }
  return value;
}

// A VMDK descriptor is a short text file; raw disks are not text, so
// "createType" in a NUL-free head is taken as the descriptor.
bool LooksLikeVmdkDescriptor(std::span<const std::byte> head) {
  if (StartsWith(head, "# Disk DescriptorFile")) return true;
  if (head.empty() || std::ranges::find(head, std::byte{0}) != head.end()) return false;
  const std::string_view text(reinterpret_cast<const char*>(head.data()), head.size());
  return text.find("createType") != std::string_view::npos &&
         text.find("RW ") != std::string_view::npos;
}

}  // namespace

ImageFormat DetectImageFormat(std::span<const std::byte> head, std::span<const std::byte> tail) {
  using namespace std::string_view_literals;
  head = head.first(std::min(head.size(), kImageFormatHeadBytes));
  tail = tail.last(std::min(tail.size(), kImageFormatTailBytes));

  if (StartsWith(head, "KDMV")) return ImageFormat::kVmdkSparse;
  if (StartsWith(head, "COWD")) return ImageFormat::kVmdkCowd;
  if (StartsWith(head, "conectix")) return ImageFormat::kVhd;
  if (StartsWith(head, "vhdxfile")) return ImageFormat::kVhdx;
  if (StartsWith(head, "QFI\xfb"sv)) return ImageFormat::kQcow;
  if (StartsWith(head, "EVF\x09\x0d\x0a\xff\x00"sv)) return ImageFormat::kEwf;
  if (StartsWith(head, "EVF2\x0d\x0a\x81\x00"sv)) return ImageFormat::kEwf2;
  if (head.size() >= 0x44 && LittleEndian32(head, 0x40) == 0xbeda107f) return ImageFormat::kVdi;
  if (StartsWith(head, "QED\0"sv)) return ImageFormat::kQed;
  if (StartsWith(head, "WithoutFreeSpace") || StartsWith(head, "WithouFreSpacExt")) {
    return ImageFormat::kParallels;
  }
  if (StartsWith(head, "Bochs Virtual HD Image")) return ImageFormat::kBochs;
  if (StartsWith(head, "\x1f\x8b\x08"sv)) return ImageFormat::kGzip;
  if (StartsWith(head, "\xfd" "7zXZ\0"sv)) return ImageFormat::kXz;
  if (StartsWith(head, "BZh") && StartsWith(head, "1AY&SY", 4)) return ImageFormat::kBzip2;
  if (StartsWith(head, "\x28\xb5\x2f\xfd"sv)) return ImageFormat::kZstd;
  if (StartsWith(head, "PK\x03\x04"sv)) return ImageFormat::kZip;
  if (StartsWith(head, "7z\xbc\xaf\x27\x1c"sv)) return ImageFormat::kSevenZip;
  if (LooksLikeVmdkDescriptor(head)) return ImageFormat::kVmdkDescriptor;

  // Trailers: a fixed VHD is the raw disk plus a footer sector (511 bytes in
  // some old files); a DMG ends with its "koly" block.
  if (tail.size() == kImageFormatTailBytes) {
    if (StartsWith(tail, "conectix") || StartsWith(tail, "conectix", 1)) {
      return ImageFormat::kVhdFixed;
    }
    if (StartsWith(tail, "koly")) return ImageFormat::kDmg;
  }
  return ImageFormat::kRaw;
}

std::string_view ImageFormatName(ImageFormat format) {
  switch (format) {
    case ImageFormat::kRaw: return "raw";
    case ImageFormat::kVmdkSparse:
    case ImageFormat::kVmdkCowd:
    case ImageFormat::kVmdkDescriptor: return "VMDK";
    case ImageFormat::kVhd:
    case ImageFormat::kVhdFixed: return "VHD";
    case ImageFormat::kVhdx: return "VHDX";
    case ImageFormat::kQcow: return "qcow";
    case ImageFormat::kEwf: return "E01";
    case ImageFormat::kEwf2: return "EnCase 7 (Ex01)";
    case ImageFormat::kVdi: return "VirtualBox VDI";
    case ImageFormat::kQed: return "QEMU QED";
    case ImageFormat::kParallels: return "Parallels";
    case ImageFormat::kDmg: return "Apple DMG";
    case ImageFormat::kBochs: return "Bochs";
    case ImageFormat::kGzip: return "gzip-compressed";
    case ImageFormat::kXz: return "xz-compressed";
    case ImageFormat::kBzip2: return "bzip2-compressed";
    case ImageFormat::kZstd: return "zstd-compressed";
    case ImageFormat::kZip: return "ZIP archive";
    case ImageFormat::kSevenZip: return "7-Zip archive";
  }
  return "unknown";
}

bool IsReadableImageFormat(ImageFormat format) {
  switch (format) {
    case ImageFormat::kRaw:
    case ImageFormat::kVmdkSparse:
    case ImageFormat::kVmdkCowd:
    case ImageFormat::kVmdkDescriptor:
    case ImageFormat::kVhd:
    case ImageFormat::kVhdFixed:
    case ImageFormat::kVhdx:
    case ImageFormat::kQcow:
    case ImageFormat::kEwf: return true;
    default: return false;
  }
}

std::string UnreadableFormatAdvice(ImageFormat format, std::string_view path) {
  const std::string stem = std::filesystem::path(path).stem().string();
  const std::string raw = (stem.empty() ? std::string("disk") : stem) + ".img";
  switch (format) {
    case ImageFormat::kVdi:
    case ImageFormat::kQed:
    case ImageFormat::kParallels:
    case ImageFormat::kDmg:
    case ImageFormat::kBochs:
      return fmt::format("convert it to a raw image first: qemu-img convert -O raw {} {}", path,
                         raw);
    case ImageFormat::kEwf2:
      return "export it to a raw image, or acquire it again as E01, with the program that made it";
    case ImageFormat::kGzip: return fmt::format("unpack it first: gzip -dk {}", path);
    case ImageFormat::kXz: return fmt::format("unpack it first: xz -dk {}", path);
    case ImageFormat::kBzip2: return fmt::format("unpack it first: bzip2 -dk {}", path);
    case ImageFormat::kZstd: return fmt::format("unpack it first: zstd -d {}", path);
    case ImageFormat::kZip: return fmt::format("unpack it first: unzip {}", path);
    case ImageFormat::kSevenZip: return fmt::format("unpack it first: 7z x {}", path);
    default: return {};
  }
}

}  // namespace tolvar
