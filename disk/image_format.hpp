#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace tolvar {

// What a disk image file holds, told by its content alone.
enum class ImageFormat {
  kRaw,             // nothing recognised: a plain sector-by-sector copy
  kVmdkSparse,      // VMDK sparse extent ("KDMV"), monolithic or one of a split set
  kVmdkCowd,        // ESX sparse extent ("COWD")
  kVmdkDescriptor,  // VMDK text descriptor naming its extent files
  kVhd,             // VHD, dynamic or differencing (footer copy at the start)
  kVhdFixed,        // VHD, fixed (footer in the last sector only)
  kVhdx,
  kQcow,  // qcow version 1, 2 or 3
  kEwf,   // EnCase / expert witness segment file (E01)
  // Formats recognised but not read.
  kEwf2,  // EnCase 7 (Ex01)
  kVdi,
  kQed,
  kParallels,
  kDmg,
  kBochs,
  kGzip,
  kXz,
  kBzip2,
  kZstd,
  kZip,
  kSevenZip,
};

// How many bytes of the start of a file DetectImageFormat looks at.
inline constexpr std::size_t kImageFormatHeadBytes = 1024;
// How many bytes of the end of a file (VHD fixed, DMG trailers).
inline constexpr std::size_t kImageFormatTailBytes = 512;

// Names the format from the first bytes of a file (up to
// kImageFormatHeadBytes) and its last kImageFormatTailBytes (empty when the
// file is shorter than that). Short or empty spans are fine.
[[nodiscard]] ImageFormat DetectImageFormat(std::span<const std::byte> head,
                                            std::span<const std::byte> tail);

// The format's name as users know it, e.g. "VirtualBox VDI".
[[nodiscard]] std::string_view ImageFormatName(ImageFormat format);

// Whether the format can be opened directly.
[[nodiscard]] bool IsReadableImageFormat(ImageFormat format);

// For a format that cannot be opened: what to do instead, one sentence
// fragment, e.g. "convert it to a raw image first: qemu-img convert -O raw ...".
// `path` is the file as the user named it.
[[nodiscard]] std::string UnreadableFormatAdvice(ImageFormat format, std::string_view path);

}  // namespace tolvar
