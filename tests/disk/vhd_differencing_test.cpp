// A differencing VHD over a dynamic parent. QEMU cannot write differencing
// VHDs, so the child's footer, sparse header, block table and one block are
// written here by hand, following the published VHD format (big-endian
// fields; a sector bitmap, most significant bit first, in front of each
// block's data).
#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <vector>

#include "disk/block_device_source.hpp"
#include "tests/disk/disk_test_util.hpp"
#include "tests/support/temp_dir.hpp"

namespace tolvar {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

std::uint64_t GetBe(const std::vector<std::byte>& b, std::size_t at, std::size_t width) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < width; ++i) v = (v << 8) | std::to_integer<std::uint64_t>(b[at + i]);
  return v;
}

void PutBe(std::vector<std::byte>& b, std::size_t at, std::size_t width, std::uint64_t v) {
  for (std::size_t i = 0; i < width; ++i) b[at + width - 1 - i] = std::byte((v >> (8 * i)) & 0xff);
}

// The ones' complement of the byte sum, the checksum field counted as zero.
void Checksum(std::vector<std::byte>& b, std::size_t at, std::size_t length, std::size_t field) {
  PutBe(b, at + field, 4, 0);
  std::uint32_t sum = 0;
  for (std::size_t i = at; i < at + length; ++i) sum += std::to_integer<std::uint32_t>(b[i]);
  PutBe(b, at + field, 4, ~sum);
}

constexpr std::uint64_t kFooter = 512;
constexpr std::uint64_t kSparseHeader = 1024;

class DifferencingVhd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("command -v qemu-img >/dev/null 2>&1") != 0) {
      GTEST_SKIP() << "qemu-img missing (scripts/install-deps installs it)";
    }
    raw.assign(4u << 20, std::byte{0});
    std::mt19937 random(3);
    for (auto& b : raw) b = std::byte(random() & 0xff);
    testing::WriteFile(dir / "disk.raw", raw);
    ASSERT_EQ(
        std::system(fmt::format("qemu-img convert -q -f raw -O vpc -o subformat=dynamic {} {}",
                                (dir / "disk.raw").string(), ParentPath().string())
                        .c_str()),
        0);
  }

  fs::path ParentPath() const { return dir / "parent.vhd"; }
  fs::path ChildPath() const { return dir / "child.vhd"; }

  // Writes the child: sectors `own` of block 0 hold `fill`, everything else
  // comes from the parent. Returns the merged disk's bytes.
  std::vector<std::byte> WriteChild(const std::vector<std::uint32_t>& own, std::byte fill,
                                    std::string name = "parent.vhd") {
    const auto parent = testing::ReadFile(ParentPath());
    std::vector<std::byte> parentFooter(parent.end() - kFooter, parent.end());
    const std::uint64_t currentSize = GetBe(parentFooter, 48, 8);
    const std::uint64_t parentHeader = GetBe(parentFooter, 16, 8);
    const std::uint64_t blockSize = GetBe(parent, parentHeader + 32, 4);
    const std::uint64_t entries = (currentSize + blockSize - 1) / blockSize;
    const std::uint64_t bitmapBytes = (blockSize / 512 / 8 + 511) / 512 * 512;
    const std::uint64_t tableOffset = kFooter + kSparseHeader;
    const std::uint64_t tableBytes = (entries * 4 + 511) / 512 * 512;
    const std::uint64_t blockOffset = tableOffset + tableBytes;

    std::vector<std::byte> child(blockOffset + bitmapBytes + blockSize + kFooter);
    // The footer, at the end and copied at the start.
    std::vector<std::byte> footer = parentFooter;
    PutBe(footer, 16, 8, kFooter);  // the sparse header follows the copy
    PutBe(footer, 60, 4, 4);        // differencing
    PutBe(footer, 68, 8, 0x1122334455667788ull);
    PutBe(footer, 76, 8, 0x99aabbccddeeff00ull);
    Checksum(footer, 0, kFooter, 64);
    std::ranges::copy(footer, child.begin());
    std::ranges::copy(footer, child.end() - kFooter);

    // The sparse header names the parent by its identity and its name.
    const std::size_t h = kFooter;
    std::ranges::copy(std::string_view("cxsparse"), reinterpret_cast<char*>(&child[h]));
    PutBe(child, h + 8, 8, ~std::uint64_t{0});
    PutBe(child, h + 16, 8, tableOffset);
    PutBe(child, h + 24, 4, 0x00010000);
    PutBe(child, h + 28, 4, entries);
    PutBe(child, h + 32, 4, blockSize);
    std::copy_n(parentFooter.begin() + 68, 16, child.begin() + h + 40);  // parent's unique id
    PutBe(child, h + 56, 4, GetBe(parentFooter, 24, 4));                 // parent's time stamp
    for (std::size_t i = 0; i < name.size(); ++i) PutBe(child, h + 64 + 2 * i, 2, name[i]);
    Checksum(child, h, kSparseHeader, 36);

    // Block 0 is the child's; the others are the parent's.
    for (std::uint64_t i = 0; i < entries; ++i) PutBe(child, tableOffset + 4 * i, 4, 0xffffffff);
    PutBe(child, tableOffset, 4, blockOffset / 512);
    auto merged = raw;
    merged.resize(currentSize, std::byte{0});
    for (const std::uint32_t sector : own) {
      child[blockOffset + sector / 8] |= std::byte(0x80 >> (sector % 8));
      std::fill_n(
          child.begin() + static_cast<std::ptrdiff_t>(blockOffset + bitmapBytes + sector * 512),
          512, fill);
      std::fill_n(merged.begin() + sector * 512, 512, fill);
    }
    testing::WriteFile(ChildPath(), child);
    return merged;
  }

  testing::TempDir dir;
  std::vector<std::byte> raw;
};

std::vector<std::byte> ReadWhole(BlockDeviceSource& source) {
  std::vector<std::byte> bytes(source.LengthBytes());
  for (std::size_t at = 0; at < bytes.size(); at += 65536) {
    const std::size_t take = std::min<std::size_t>(65536, bytes.size() - at);
    EXPECT_TRUE(source.ReadAt(at, std::span(bytes).subspan(at, take)).has_value()) << at;
  }
  return bytes;
}

// The child holds runs of whole 4 KiB (one bitmap byte each), as a guest's
// page-sized writes leave them, at the block's start, middle and end.
TEST_F(DifferencingVhd, ReadsAsTheParentWithTheChildsSectorsOnTop) {
  std::vector<std::uint32_t> own;
  for (std::uint32_t s = 0; s < 8; ++s) own.push_back(s);
  for (std::uint32_t s = 96; s < 112; ++s) own.push_back(s);
  for (std::uint32_t s = 4088; s < 4096; ++s) own.push_back(s);
  const auto merged = WriteChild(own, std::byte{0xc5});
  auto source = OpenImageFile(ChildPath().string());
  ASSERT_TRUE(source.has_value()) << source.error().message;
  EXPECT_EQ((*source)->Describe().productId, "VHD Image");
  ASSERT_EQ((*source)->LengthBytes(), merged.size());
  const auto bytes = ReadWhole(**source);
  EXPECT_TRUE(bytes == merged);
  EXPECT_FALSE(bytes == raw);  // the child's own sectors are there
}

// A parent's sectors that share a bitmap byte with a child's sector, before
// and after it, still come from the parent.
TEST_F(DifferencingVhd, SingleChildSectorsLeaveTheirNeighboursToTheParent) {
  const auto merged = WriteChild({100, 4095}, std::byte{0xc5});
  auto source = OpenImageFile(ChildPath().string());
  ASSERT_TRUE(source.has_value()) << source.error().message;
  EXPECT_TRUE(ReadWhole(**source) == merged);
}

TEST_F(DifferencingVhd, AMissingParentIsNamedInOneLine) {
  (void)WriteChild({0}, std::byte{0x5a});
  fs::remove(ParentPath());
  auto source = OpenImageFile(ChildPath().string());
  ASSERT_FALSE(source.has_value());
  EXPECT_THAT(source.error().message, HasSubstr(ChildPath().string()));
  EXPECT_THAT(source.error().message, HasSubstr("parent.vhd"));
  EXPECT_THAT(source.error().message, Not(HasSubstr("\n")));
}

// A file of the parent's name that is not the disk the child was made over
// (its identifier differs from the one the child records) is refused.
TEST_F(DifferencingVhd, AParentThatIsAnotherDiskIsRefusedInOneLine) {
  (void)WriteChild({0}, std::byte{0x5a});
  auto child = testing::ReadFile(ChildPath());
  child[kFooter + 40] ^= std::byte{0xff};  // the parent's identifier
  Checksum(child, kFooter, kSparseHeader, 36);
  testing::WriteFile(ChildPath(), child);
  auto source = OpenImageFile(ChildPath().string());
  ASSERT_FALSE(source.has_value());
  EXPECT_THAT(source.error().message, HasSubstr("parent.vhd is another disk"));
  EXPECT_THAT(source.error().message, Not(HasSubstr("\n")));
}

// The parent's recorded name is followed only inside the child's folder.
TEST_F(DifferencingVhd, AParentNamedOutsideTheFolderIsRefusedInOneLine) {
  (void)WriteChild({0}, std::byte{0x5a}, "../../../../../../../../etc/passwd");
  auto source = OpenImageFile(ChildPath().string());
  ASSERT_FALSE(source.has_value());
  EXPECT_THAT(source.error().message, HasSubstr("../../../../../../../../etc/passwd"));
  EXPECT_THAT(source.error().message, HasSubstr("outside"));
  EXPECT_THAT(source.error().message, HasSubstr("--image-dir"));
  EXPECT_THAT(source.error().message, Not(HasSubstr("\n")));
}

}  // namespace
}  // namespace tolvar
