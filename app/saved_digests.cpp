#include "app/saved_digests.hpp"

#include <span>

namespace tolvar {

void WrittenFiles::Add(const std::string& path, std::uint32_t inode, const FileDigests& digests) {
  ++count;
  if (listed.size() < kListed) listed.push_back({path, inode, digests});
  if (const auto packed = PackedDigests::FromHex(digests)) byInode.emplace_back(inode, *packed);
}

std::optional<PackedDigests> PackedDigests::FromHex(const FileDigests& digests) {
  auto unhex = [](std::string_view hex, std::span<std::uint8_t> out) {
    if (hex.size() != out.size() * 2) return false;
    auto value = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    for (std::size_t i = 0; i < out.size(); ++i) {
      const int high = value(hex[2 * i]);
      const int low = value(hex[2 * i + 1]);
      if (high < 0 || low < 0) return false;
      out[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return true;
  };
  PackedDigests packed;
  if (!unhex(digests.sha256, packed.sha256) || !unhex(digests.md5, packed.md5)) return std::nullopt;
  return packed;
}

FileDigests PackedDigests::Hex() const {
  auto hex = [](std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t byte : bytes) {
      text += kDigits[byte >> 4];
      text += kDigits[byte & 0xF];
    }
    return text;
  };
  return {hex(sha256), hex(md5)};
}

}  // namespace tolvar
