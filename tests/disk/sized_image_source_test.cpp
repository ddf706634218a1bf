#include "disk/sized_image_source.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <vector>

#include "tests/disk/disk_test_util.hpp"
#include "tests/support/temp_dir.hpp"

namespace tolvar {
namespace {

// A source that fills what it is asked for with its offset's low byte.
class PatternSource final : public SizedImageSource {
 public:
  using SizedImageSource::SizedImageSource;
  std::expected<void, Error> ReadAt(std::uint64_t offset, std::span<std::byte> out) override {
    if (auto within = CheckWithin(offset, out.size()); !within) return within;
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::byte>(offset + i);
    return {};
  }
};

TEST(SizedImageSource, RefusesEveryReadThatLeavesTheImage) {
  constexpr std::uint64_t kLength = 4 * kSectorSize;
  constexpr std::uint64_t kHuge = std::numeric_limits<std::uint64_t>::max();
  struct Case {
    std::uint64_t offset;
    std::size_t size;
    bool fits;
  };
  for (const Case c :
       {Case{0, 0, true}, Case{0, kLength, true}, Case{kLength, 0, true},
        Case{kLength - 1, 1, true}, Case{kLength - 1, 2, false}, Case{kLength + 1, 0, false},
        Case{kHuge, 1, false}, Case{1, kLength, false}}) {
    SCOPED_TRACE(::testing::Message() << c.offset << "+" << c.size);
    const auto within = CheckReadWithin("disk.img", kLength, c.offset, c.size);
    EXPECT_EQ(within.has_value(), c.fits);
    if (!c.fits) {
      EXPECT_EQ(within.error().code, ErrorCode::kOutOfRange);
      EXPECT_EQ(within.error().message, "disk.img: read past the end");
      EXPECT_EQ(within.error().sector, c.offset / kSectorSize);
    }
  }
}

TEST(SizedImageSource, DescribesItselfAndNamesTheSectorOfAFailedRead) {
  PatternSource source("/images/a.qcow2", "qcow Image", 255ull * 63 * kSectorSize);
  const DeviceDescription d = source.Describe();
  EXPECT_EQ(d.productId, "qcow Image");
  EXPECT_EQ(d.path, "/images/a.qcow2");
  EXPECT_EQ(d.geometry.cylinders * d.geometry.heads * d.geometry.sectorsPerTrack, 255u * 63);
  EXPECT_EQ(source.LengthBytes(), 255ull * 63 * kSectorSize);

  std::vector<std::byte> out(2);
  ASSERT_TRUE(source.ReadAt(source.LengthBytes() - 2, out).has_value());
  EXPECT_EQ(out[1], std::byte{0xff});
  EXPECT_FALSE(source.ReadAt(source.LengthBytes() - 1, out).has_value());

  const Error plain = ReadErrorAt("a.img", 3 * kSectorSize + 7);
  EXPECT_EQ(plain.code, ErrorCode::kIoError);
  EXPECT_EQ(plain.message, "read error in a.img at sector 3");
  EXPECT_EQ(plain.sector, 3u);
  EXPECT_EQ(ReadErrorAt("a.img", 0, "the grain does not decompress").message,
            "read error in a.img at sector 0: the grain does not decompress");
}

// A plain file serves its first `length` bytes, and hands a range to the
// kernel's copy only when it is a regular file and the range lies inside.
TEST(SizedImageSource, APlainFileServesItsBytesAndHandsOnlyRegularFilesToTheKernel) {
  testing::TempDir dir;
  const auto bytes = testing::PatternBytes(8);
  testing::WriteFile(dir / "disk.img", bytes);
  for (const bool regular : {true, false}) {
    SCOPED_TRACE(regular);
    const int fd = ::open((dir / "disk.img").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    PlainFileImageSource source((dir / "disk.img").string(), "Disk Image", fd, 6 * kSectorSize,
                                regular);
    EXPECT_EQ(source.Describe().productId, "Disk Image");
    std::vector<std::byte> out(kSectorSize + 3);
    ASSERT_TRUE(source.ReadAt(kSectorSize - 1, out).has_value());
    EXPECT_TRUE(std::equal(out.begin(), out.end(), bytes.begin() + kSectorSize - 1));
    // The file goes on past the image's length; the source does not.
    EXPECT_FALSE(source.ReadAt(6 * kSectorSize - 2, out).has_value());
    const auto backing = source.FileBacking(kSectorSize, 5 * kSectorSize);
    EXPECT_EQ(backing.has_value(), regular);
    if (backing) {
      EXPECT_EQ(backing->fd, fd);
      EXPECT_EQ(backing->offset, kSectorSize);
    }
    EXPECT_FALSE(source.FileBacking(kSectorSize, 5 * kSectorSize + 1).has_value());
  }
}

}  // namespace
}  // namespace tolvar
