// Our decoders of the names and sizes VMDK and VHD images record.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "disk/vhd_locator.hpp"
#include "disk/vhd_map.hpp"
#include "disk/vmdk_descriptor.hpp"
#include "disk/vmdk_map.hpp"

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

// A small VHD built in memory: a dynamic disk of two 4 KiB blocks (the
// first allocated at sector 4, its bitmap one sector) with its footer's
// copy in front, or a fixed disk of 8 KiB.
struct VhdBytes {
  std::vector<std::byte> file;
  void PutBe(std::size_t at, int width, std::uint64_t value) {
    for (int i = 0; i < width; ++i) file[at + width - 1 - i] = std::byte((value >> (8 * i)) & 0xff);
  }
  void Checksum(std::size_t at, std::size_t length, std::size_t field) {
    PutBe(at + field, 4, 0);
    std::uint32_t sum = 0;
    for (std::size_t i = at; i < at + length; ++i) sum += std::to_integer<std::uint32_t>(file[i]);
    PutBe(at + field, 4, ~sum);
  }
  void Footer(std::size_t at, std::uint32_t type, std::uint64_t size) {
    std::memcpy(file.data() + at, "conectix", 8);
    PutBe(at + 16, 8, type == 2 ? ~std::uint64_t{0} : 512);
    PutBe(at + 48, 8, size);
    PutBe(at + 60, 4, type);
    Checksum(at, 512, 64);
  }
  static VhdBytes Dynamic(std::uint32_t type = 3) {
    VhdBytes v;
    v.file.assign(4 * 512 + 512 + 4096 + 512, std::byte{0});
    v.Footer(0, type, 8192);
    v.Footer(v.file.size() - 512, type, 8192);
    std::memcpy(v.file.data() + 512, "cxsparse", 8);
    v.PutBe(512 + 16, 8, 1536);
    v.PutBe(512 + 28, 4, 2);
    v.PutBe(512 + 32, 4, 4096);
    v.Checksum(512, 1024, 36);
    v.PutBe(1536, 4, 4);
    v.PutBe(1540, 4, 0xffffffff);
    // Sectors 0, 1 and 5 of the first block are marked as the file's.
    v.file[2048] = std::byte{0xc4};
    for (std::size_t i = 0; i < 4096; ++i) v.file[2560 + i] = std::byte(0x40 + i / 512);
    return v;
  }
  static VhdBytes Fixed() {
    VhdBytes v;
    v.file.assign(8192 + 512, std::byte{0});
    std::fill_n(v.file.begin(), 8192, std::byte{0x11});
    v.Footer(8192, 2, 8192);
    return v;
  }
};

std::expected<VhdLayout, std::string> Layout(const std::vector<std::byte>& file) {
  return ReadVhdLayout(
      [&](std::uint64_t offset, std::span<std::byte> out) {
        if (offset > file.size() || out.size() > file.size() - offset) return false;
        std::memcpy(out.data(), file.data() + offset, out.size());
        return true;
      },
      file.size());
}

TEST(VhdLayout, ChecksTheFooterAndTheHeaderWithTheirChecksums) {
  struct Case {
    const char* name;
    VhdBytes bytes;
    std::function<void(VhdBytes&)> change;
    const char* error;  // nullptr: read
  };
  const auto end = [](VhdBytes& v) { return v.file.size() - 512; };
  const Case cases[] = {
      {"dynamic", VhdBytes::Dynamic(), [](VhdBytes&) {}, nullptr},
      {"damaged footer, sound copy", VhdBytes::Dynamic(),
       [&](VhdBytes& v) { v.file[end(v) + 100] ^= std::byte{1}; }, nullptr},
      {"footer cut off, sound copy", VhdBytes::Dynamic(),
       [](VhdBytes& v) { v.file.resize(v.file.size() - 512); }, nullptr},
      {"both footers damaged", VhdBytes::Dynamic(),
       [&](VhdBytes& v) {
         v.file[end(v) + 100] ^= std::byte{1};
         v.file[100] ^= std::byte{1};
       },
       "its footer's checksum is wrong"},
      {"header checksum", VhdBytes::Dynamic(),
       [](VhdBytes& v) { v.file[512 + 900] ^= std::byte{1}; },
       "dynamic-disk header's checksum is wrong"},
      {"header cookie", VhdBytes::Dynamic(), [](VhdBytes& v) { v.file[512] = std::byte{'X'}; },
       "dynamic-disk header is missing"},
      {"header outside the file", VhdBytes::Dynamic(),
       [&](VhdBytes& v) {
         v.PutBe(end(v) + 16, 8, 1u << 30);
         v.Checksum(end(v), 512, 64);
       },
       "header lies outside the file"},
      {"table shorter than the disk", VhdBytes::Dynamic(),
       [](VhdBytes& v) {
         v.PutBe(512 + 28, 4, 1);
         v.Checksum(512, 1024, 36);
       },
       "block table is too short"},
      {"block size not a power of two", VhdBytes::Dynamic(),
       [](VhdBytes& v) {
         v.PutBe(512 + 32, 4, 3072);
         v.Checksum(512, 1024, 36);
       },
       "block size"},
      {"unknown disk type", VhdBytes::Dynamic(),
       [&](VhdBytes& v) {
         v.PutBe(end(v) + 60, 4, 7);
         v.Checksum(end(v), 512, 64);
       },
       "disk type"},
      {"fixed", VhdBytes::Fixed(), [](VhdBytes&) {}, nullptr},
      {"fixed with a footer of 511 bytes", VhdBytes::Fixed(),
       [](VhdBytes& v) { v.file.pop_back(); }, nullptr},
      {"fixed with a damaged footer", VhdBytes::Fixed(),
       [&](VhdBytes& v) { v.file[end(v) + 100] ^= std::byte{1}; },
       "its footer's checksum is wrong"},
      {"fixed, larger than the file", VhdBytes::Fixed(),
       [&](VhdBytes& v) {
         v.PutBe(end(v) + 48, 8, 8704);
         v.Checksum(end(v), 512, 64);
       },
       "larger than the file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VhdBytes bytes = c.bytes;
    c.change(bytes);
    const auto layout = Layout(bytes.file);
    if (c.error == nullptr) {
      ASSERT_TRUE(layout.has_value()) << layout.error();
      EXPECT_EQ(layout->diskBytes, 8192u);
    } else {
      ASSERT_FALSE(layout.has_value());
      EXPECT_THAT(layout.error(), ::testing::HasSubstr(c.error));
    }
  }
}

// Where each byte of the disk is read from: a dynamic disk's allocated
// block whole, a hole as zeros; a differencing disk's marked sectors from
// the block, the others (and its holes) from the parent.
TEST(VhdLayout, MapsBlocksAndBitmapRuns) {
  using Kind = ImagePiece::Kind;
  struct Expect {
    std::uint64_t offset;
    Kind kind;
    std::uint64_t hostOffset;
    std::uint64_t length;
  };
  for (const std::uint32_t type : {3u, 4u}) {
    SCOPED_TRACE(type);
    const VhdBytes bytes = VhdBytes::Dynamic(type);
    auto layout = Layout(bytes.file);
    ASSERT_TRUE(layout.has_value()) << layout.error();
    auto map = MakeVhdMap(
        [&](std::uint64_t offset, std::span<std::byte> out) {
          std::memcpy(out.data(), bytes.file.data() + offset, out.size());
          return true;
        },
        bytes.file.size(), std::move(*layout));
    const std::vector<Expect> expected =
        type == 3 ? std::vector<Expect>{{0, Kind::kData, 2560, 4096},
                                        {700, Kind::kData, 3260, 3396},
                                        {4096, Kind::kZero, 0, 4096}}
                  : std::vector<Expect>{
                        {0, Kind::kData, 2560, 1024},     {700, Kind::kData, 3260, 324},
                        {1024, Kind::kFallback, 0, 1536}, {2560, Kind::kData, 5120, 512},
                        {3072, Kind::kFallback, 0, 1024}, {4096, Kind::kFallback, 0, 4096}};
    for (const Expect& e : expected) {
      SCOPED_TRACE(e.offset);
      const auto piece = map->Map(e.offset);
      ASSERT_TRUE(piece.has_value()) << piece.error();
      EXPECT_EQ(piece->kind, e.kind);
      EXPECT_EQ(piece->length, e.length);
      if (e.kind == Kind::kData) {
        EXPECT_EQ(piece->hostOffset, e.hostOffset);
      }
    }
  }
}

}  // namespace
}  // namespace tolvar
