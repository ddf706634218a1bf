#include "disk/vhd_locator.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "base/percent_escapes.hpp"
#include "disk/image_fields.hpp"

namespace tolvar {

namespace {

constexpr std::uint32_t kWindowsRelative = 0x57327275;  // "W2ru"
constexpr std::uint32_t kWindowsAbsolute = 0x57326b75;  // "W2ku"
constexpr std::uint32_t kMacUrl = 0x4d616358;           // "MacX"
constexpr std::uint32_t kMaxLocatorData = 64u << 10;

void AppendUtf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xc0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3f));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xe0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (code & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (code & 0x3f));
  }
}

// UTF-16 up to the first NUL; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::span<const std::byte> bytes, bool bigEndian) {
  std::string out;
  const auto unit = [&](std::size_t i) {
    return static_cast<std::uint32_t>(bigEndian ? image::ReadBigEndian(bytes, i * 2, 2)
                                                : image::ReadLittleEndian(bytes, i * 2, 2));
  };
  const std::size_t units = bytes.size() / 2;
  for (std::size_t i = 0; i < units; ++i) {
    std::uint32_t code = unit(i);
    if (code == 0) break;
    if (code >= 0xd800 && code < 0xdc00 && i + 1 < units && unit(i + 1) >= 0xdc00 &&
        unit(i + 1) < 0xe000) {
      code = 0x10000 + ((code - 0xd800) << 10) + (unit(i + 1) - 0xdc00);
      ++i;
    } else if (code >= 0xd800 && code < 0xe000) {
      code = 0xfffd;
    }
    AppendUtf8(out, code);
  }
  return out;
}

// A file:// URL's path with its %XX escapes undone.
std::string UrlPath(std::string_view url) {
  if (url.starts_with("file://")) url.remove_prefix(7);
  if (url.starts_with("localhost/")) url.remove_prefix(9);
  return PercentDecoded(url);
}

}  // namespace

std::expected<VhdFooterFields, std::string> ParseVhdFooter(std::span<const std::byte> footer) {
  if (footer.size() < kVhdFooterBytes || std::memcmp(footer.data(), "conectix", 8) != 0) {
    return std::unexpected("it has no VHD footer");
  }
  VhdFooterFields fields;
  fields.dynamicHeaderOffset = image::ReadBigEndian(footer, 16, 8);
  fields.currentSize = image::ReadBigEndian(footer, 48, 8);
  fields.diskType = static_cast<std::uint32_t>(image::ReadBigEndian(footer, 60, 4));
  return fields;
}

std::expected<VhdParentLocator, std::string> ParseVhdDynamicHeader(
    std::span<const std::byte> header, std::uint64_t fileSize) {
  if (header.size() < kVhdDynamicHeaderBytes || std::memcmp(header.data(), "cxsparse", 8) != 0) {
    return std::unexpected("its dynamic-disk header is missing");
  }
  VhdParentLocator locator;
  locator.unicodeName = Utf16ToUtf8(header.subspan(64, 512), true);
  for (std::size_t i = 0; i < 8; ++i) {
    const std::size_t at = 576 + i * 24;
    VhdLocatorEntry entry;
    entry.platformCode = static_cast<std::uint32_t>(image::ReadBigEndian(header, at, 4));
    entry.dataLength = static_cast<std::uint32_t>(image::ReadBigEndian(header, at + 8, 4));
    entry.dataOffset = image::ReadBigEndian(header, at + 16, 8);
    if (entry.platformCode == 0 || entry.dataLength == 0) continue;
    if (entry.dataLength > kMaxLocatorData ||
        !image::FitsInFile(entry.dataOffset, entry.dataLength, fileSize)) {
      continue;
    }
    locator.entries.push_back(entry);
  }
  return locator;
}

std::string VhdLocatorName(const VhdLocatorEntry& entry, std::span<const std::byte> data) {
  data = data.first(std::min<std::size_t>(data.size(), entry.dataLength));
  if (entry.platformCode == kWindowsRelative || entry.platformCode == kWindowsAbsolute) {
    return Utf16ToUtf8(data, false);
  }
  std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
  text = text.substr(0, text.find('\0'));
  if (entry.platformCode == kMacUrl) return UrlPath(text);
  return std::string(text);
}

}  // namespace tolvar
