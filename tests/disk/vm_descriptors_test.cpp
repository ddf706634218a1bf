// Our decoders of the names and sizes VMDK and VHD images record.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "disk/vhd_locator.hpp"
#include "disk/vmdk_descriptor.hpp"

namespace tolvar {
namespace {

std::span<const std::byte> Bytes(const std::string& text) {
  return {reinterpret_cast<const std::byte*>(text.data()), text.size()};
}

constexpr const char* kHead = "# Disk DescriptorFile\nversion=1\nCID=fffffffe\n";

struct DescriptorCase {
  const char* name;
  std::string body;
  const char* error;  // nullptr: decodes
  std::vector<std::string> files = {};
  std::uint64_t totalSectors = 0;
  const char* parent = nullptr;
};

TEST(VmdkDescriptor, DecodesWhatWritersWriteAndRefusesTheRest) {
  const DescriptorCase cases[] = {
      {"split",
       "parentCID=ffffffff\ncreateType=\"twoGbMaxExtentSparse\"\r\n"
       "RW 4192256 SPARSE \"disk-s001.vmdk\"\nRW 8192 SPARSE \"disk-s002.vmdk\"\n",
       nullptr,
       {"disk-s001.vmdk", "disk-s002.vmdk"},
       4200448},
      {"flat with a space and an offset",
       "RW 100 FLAT \"my disk-flat.vmdk\" 63\nRDONLY 28 ZERO\n",
       nullptr,
       {"my disk-flat.vmdk", ""},
       128},
      {"child",
       "parentCID=12345678\nparentFileNameHint=\"..\\base.vmdk\"\nRW 8 SPARSE \"c.vmdk\"\n",
       nullptr,
       {"c.vmdk"},
       8,
       "..\\base.vmdk"},
      {"parent without a name", "parentCID=12345678\nRW 8 SPARSE \"c.vmdk\"\n", "parent"},
      {"no extent", "createType=\"monolithicSparse\"\n", "no extent"},
      {"extent of size 0", "RW 0 SPARSE \"x.vmdk\"\n", "impossible size"},
      {"extent beyond 2^47 sectors in all", "RW 140737488355328 FLAT \"x\" 0\nRW 1 FLAT \"y\" 0\n",
       "impossibl"},
      {"extent without a file", "RW 8 SPARSE\n", "names no file"},
      {"name too long", "RW 8 FLAT \"" + std::string(5000, 'A') + "\" 0\n", "too long"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto decoded = ParseVmdkDescriptor(Bytes(kHead + c.body));
    if (c.error != nullptr) {
      ASSERT_FALSE(decoded.has_value());
      EXPECT_THAT(decoded.error(), ::testing::HasSubstr(c.error));
      continue;
    }
    ASSERT_TRUE(decoded.has_value()) << decoded.error();
    std::vector<std::string> files;
    for (const auto& extent : decoded->extents) files.push_back(extent.fileName);
    EXPECT_EQ(files, c.files);
    EXPECT_EQ(decoded->totalSectors, c.totalSectors);
    EXPECT_EQ(decoded->hasParent, c.parent != nullptr);
    if (c.parent != nullptr) {
      EXPECT_EQ(decoded->parentFileNameHint.value_or(""), c.parent);
    }
  }
  EXPECT_FALSE(ParseVmdkDescriptor(Bytes("just some text\nRW 8 FLAT \"x\" 0\n")).has_value());
}

TEST(VmdkSparseHeader, ChecksSizesAgainstTheFormatAndTheFile) {
  const auto header = [](std::uint64_t grain, std::uint32_t perTable, std::uint64_t capacity) {
    std::vector<std::byte> bytes(512);
    const auto put = [&](std::size_t at, int width, std::uint64_t value) {
      for (int i = 0; i < width; ++i) bytes[at + i] = std::byte((value >> (8 * i)) & 0xff);
    };
    put(0, 4, 0x564d444b);
    put(4, 4, 1);
    put(12, 8, capacity);
    put(20, 8, grain);
    put(44, 4, perTable);
    put(56, 8, 1);
    return bytes;
  };
  const std::uint64_t file = 1u << 20;
  EXPECT_TRUE(ParseVmdkSparseHeader(header(128, 512, 18432), file).has_value());
  EXPECT_FALSE(ParseVmdkSparseHeader(header(0x20000, 512, 18432), file).has_value());
  EXPECT_FALSE(ParseVmdkSparseHeader(header(96, 512, 18432), file).has_value());
  EXPECT_FALSE(ParseVmdkSparseHeader(header(128, 1, 18432), file).has_value());
  // A directory of 2^20 tables (4 MiB) cannot lie in a 1 MiB file.
  EXPECT_FALSE(ParseVmdkSparseHeader(header(8, 128, std::uint64_t{1} << 30), file).has_value());
}

TEST(VhdLocator, DecodesTheParentNamesOfEachPlatform) {
  std::vector<std::byte> file(1024 + 3 * 512);
  std::memcpy(file.data(), "cxsparse", 8);
  const auto putBe = [&](std::size_t at, int width, std::uint64_t value) {
    for (int i = 0; i < width; ++i) file[at + width - 1 - i] = std::byte((value >> (8 * i)) & 0xff);
  };
  const std::u16string unicode = u"base\u00e9.vhd";
  for (std::size_t i = 0; i < unicode.size(); ++i) putBe(64 + 2 * i, 2, unicode[i]);
  const std::u16string relative = u".\\base.vhd";
  for (std::size_t i = 0; i < relative.size(); ++i) {
    file[1024 + 2 * i] = std::byte(relative[i] & 0xff);  // little-endian
  }
  const std::string url = "file://localhost/disks/par%20ent.vhd";
  std::memcpy(file.data() + 1536, url.data(), url.size());
  const auto entry = [&](int slot, std::uint32_t code, std::uint64_t length, std::uint64_t at) {
    putBe(576 + slot * 24, 4, code);
    putBe(576 + slot * 24 + 8, 4, length);
    putBe(576 + slot * 24 + 16, 8, at);
  };
  entry(0, 0x57327275, relative.size() * 2, 1024);
  entry(1, 0x4d616358, url.size(), 1536);
  entry(2, 0x57326b75, 512, file.size());  // outside the file: dropped
  const auto locator = ParseVhdDynamicHeader(file, file.size());
  ASSERT_TRUE(locator.has_value()) << locator.error();
  EXPECT_EQ(locator->unicodeName, "base\xc3\xa9.vhd");
  ASSERT_EQ(locator->entries.size(), 2u);
  const auto name = [&](const VhdLocatorEntry& e) {
    return VhdLocatorName(e, std::span(file).subspan(e.dataOffset, e.dataLength));
  };
  EXPECT_EQ(name(locator->entries[0]), ".\\base.vhd");
  EXPECT_EQ(name(locator->entries[1]), "/disks/par ent.vhd");
}

}  // namespace
}  // namespace tolvar
