#include "disk/sized_image_source.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

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
  for (const Case c : {Case{0, 0, true}, Case{0, kLength, true}, Case{kLength, 0, true},
                       Case{kLength - 1, 1, true}, Case{kLength - 1, 2, false},
                       Case{kLength + 1, 0, false}, Case{kHuge, 1, false}, Case{1, kLength, false}}) {
    SCOPED_TRACE(testing::Message() << c.offset << "+" << c.size);
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

}  // namespace
}  // namespace tolvar
