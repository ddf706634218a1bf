#pragma once

// The parent names a differencing VHD records, decoded by our own code from
// bytes already read (the footer and the dynamic-disk header), so that the
// parent is looked for only under names we have checked.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

namespace tolvar {

inline constexpr std::size_t kVhdFooterBytes = 512;
inline constexpr std::size_t kVhdDynamicHeaderBytes = 1024;

struct VhdFooterFields {
  std::uint32_t diskType = 0;  // 2 fixed, 3 dynamic, 4 differencing
  std::uint64_t dynamicHeaderOffset = 0;
  std::uint64_t currentSize = 0;
};

// Decodes a footer ("conectix"); what is wrong otherwise.
[[nodiscard]] std::expected<VhdFooterFields, std::string> ParseVhdFooter(
    std::span<const std::byte> footer);

// Where the parent's name is recorded in a locator entry's platform data.
struct VhdLocatorEntry {
  std::uint32_t platformCode = 0;  // "W2ru", "W2ku", "MacX"...
  std::uint64_t dataOffset = 0;    // in the file
  std::uint32_t dataLength = 0;
};

struct VhdParentLocator {
  std::string unicodeName;  // the header's parent name, as UTF-8
  std::vector<VhdLocatorEntry> entries;
};

// Decodes a dynamic-disk header ("cxsparse"): the parent's name (UTF-16,
// big-endian) and the locator entries whose platform data lies inside a
// file of `fileSize` bytes and is at most 64 KiB. What is wrong otherwise.
[[nodiscard]] std::expected<VhdParentLocator, std::string> ParseVhdDynamicHeader(
    std::span<const std::byte> header, std::uint64_t fileSize);

// The file name one locator entry's platform data holds, as UTF-8: UTF-16
// little-endian for the Windows codes, UTF-8 (a file:// URL for "MacX")
// otherwise. Empty when the data is no name.
[[nodiscard]] std::string VhdLocatorName(const VhdLocatorEntry& entry,
                                         std::span<const std::byte> data);

}  // namespace tolvar
