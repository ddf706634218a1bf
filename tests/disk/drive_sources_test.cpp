#include "disk/drive_sources.hpp"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/disk/disk_test_util.hpp"
#include "tests/support/temp_dir.hpp"

namespace tolvar {
namespace {

using testing::PatternBytes;
using testing::SectorsOf;

const std::string kStandInDir = TOLVAR_TEST_BUILD_DIR "/lib/tolvar/legacy";

class DriveSourcesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    first = PatternBytes(2 * 1008);
    second = PatternBytes(1008);
    std::reverse(second.begin(), second.end());
    testing::WriteFile(dir / "a.img", first);
    testing::WriteFile(dir / "b.img", second);
    options.images = {(dir / "a.img").string(), (dir / "b.img").string()};
  }

  static std::vector<std::byte> ReadFrom(DriveTable& drives, std::uint16_t drive,
                                         std::uint64_t sector, std::uint32_t count) {
    drives.currentDrive = drive;
    EXPECT_TRUE(drives.OpenCurrentDrive());
    std::vector<std::byte> buffer(count * kSectorSize);
    (void)drives.ReadSectors(sector, count, buffer);
    return buffer;
  }

  testing::TempDir dir;
  std::vector<std::byte> first;
  std::vector<std::byte> second;
  DriveSourceOptions options;
  RecoverySettings settings;
  DriveTable table{settings};
};

TEST_F(DriveSourcesTest, ServesTheImagesInOrderOnEitherRoute) {
  for (const bool legacy : {false, true}) {
    SCOPED_TRACE(legacy ? "legacy route" : "image files");
    options.legacyRoute = legacy;
    options.legacyLibraryDir = kStandInDir;
    RecoverySettings routeSettings =
        RecoverySettings::DefaultsFor(legacy ? DiskRoute::kLegacyBios : DiskRoute::kNtFamily);
    DriveTable drives(routeSettings);
    auto listed = EnumerateDriveSources(drives, options);
    ASSERT_TRUE(listed.has_value()) << listed.error().message;
    EXPECT_EQ(drives.Route(), legacy ? DiskRoute::kLegacyBios : DiskRoute::kNtFamily);
    ASSERT_EQ(drives.listedCount, 2);
    EXPECT_TRUE(testing::Equal(ReadFrom(drives, 0, 3, 2), SectorsOf(first, 3, 2)));
    EXPECT_TRUE(testing::Equal(ReadFrom(drives, 1, 0, 4), SectorsOf(second, 0, 4)));
  }
}

TEST_F(DriveSourcesTest, ABadImageFailsWithItsOwnLineAndLeavesTheTableAlone) {
  ASSERT_TRUE(EnumerateDriveSources(table, options).has_value());
  std::ofstream(dir / "empty.img").close();
  const std::string missing = (dir / "absent.img").string();
  const std::string empty = (dir / "empty.img").string();
  for (const bool legacy : {false, true}) {
    for (const std::string& bad : {missing, empty}) {
      SCOPED_TRACE(bad);
      DriveSourceOptions broken = options;
      broken.legacyRoute = legacy;
      broken.legacyLibraryDir = kStandInDir;
      broken.images.push_back(bad);
      auto listed = EnumerateDriveSources(table, broken);
      ASSERT_FALSE(listed.has_value());
      EXPECT_EQ(listed.error().message, OpenImageFile(bad).error().message);
      EXPECT_EQ(OpenDriveImage(bad, broken).error().message, listed.error().message);
      EXPECT_EQ(table.listedCount, 2);
    }
  }
}

TEST_F(DriveSourcesTest, TheUnreadableSectorListAppliesToEveryImage) {
  std::ofstream(dir / "bad.txt") << "5\n";
  options.unreadableSectorsFile = (dir / "bad.txt").string();
  ASSERT_TRUE(EnumerateDriveSources(table, options).has_value());
  for (const std::uint16_t drive : {std::uint16_t{0}, std::uint16_t{1}}) {
    SCOPED_TRACE(drive);
    table.BadSectors().Clear();
    const auto bytes = ReadFrom(table, drive, 4, 3);
    const auto& source = drive == 0 ? first : second;
    EXPECT_TRUE(testing::Equal(std::span(bytes).first(kSectorSize), SectorsOf(source, 4, 1)));
    EXPECT_TRUE(testing::AllZero(std::span(bytes).subspan(kSectorSize, kSectorSize)));
    EXPECT_TRUE(table.BadSectors().Contains(5));
  }

  auto single = OpenDriveImage(options.images[0], options);
  ASSERT_TRUE(single.has_value());
  std::vector<std::byte> sector(kSectorSize);
  EXPECT_FALSE((*single)->ReadAt(5 * kSectorSize, sector).has_value());
  EXPECT_TRUE((*single)->ReadAt(6 * kSectorSize, sector).has_value());
}

TEST_F(DriveSourcesTest, RefusesAMissingListAndTheListOnTheLegacyRoute) {
  options.unreadableSectorsFile = (dir / "absent.txt").string();
  EXPECT_EQ(EnumerateDriveSources(table, options).error().code, ErrorCode::kNotFound);
  std::ofstream(dir / "bad.txt") << "5\n";
  options.unreadableSectorsFile = (dir / "bad.txt").string();
  options.legacyRoute = true;
  EXPECT_EQ(EnumerateDriveSources(table, options).error().code, ErrorCode::kInvalidArgument);
  EXPECT_EQ(OpenDriveImage(options.images[0], options).error().code, ErrorCode::kInvalidArgument);
  EXPECT_EQ(table.listedCount, 0);
}

TEST_F(DriveSourcesTest, EachImageIsReadThroughItsOwnMapfile) {
  // a.img: sector 2 not rescued; b.img: sector 7 not rescued.
  auto writeMap = [&](const char* name, std::uint64_t badSector, std::uint64_t sectors) {
    std::ofstream map(dir / name);
    map << "# Mapfile\n0 +\n0 " << badSector * 512 << " +\n"
        << badSector * 512 << " 512 -\n"
        << (badSector + 1) * 512 << ' ' << (sectors - badSector - 1) * 512 << " +\n";
    return (dir / name).string();
  };
  options.mapfile = writeMap("a.map", 2, 2 * 1008);
  options.imageMapfiles = {"", writeMap("b.map", 7, 1008)};
  std::vector<std::shared_ptr<const RescueMap>> maps;
  ASSERT_TRUE(EnumerateDriveSources(table, options, maps).has_value());
  ASSERT_EQ(maps.size(), 2u);
  ASSERT_TRUE(maps[0] && maps[1]);
  EXPECT_FALSE(maps[0]->Rescued(2 * 512, 512));
  EXPECT_FALSE(maps[1]->Rescued(7 * 512, 512));
  struct Case {
    std::uint16_t drive;
    std::uint64_t unreadable;
    std::uint64_t readable;
  };
  for (const Case& c : {Case{0, 2, 7}, Case{1, 7, 2}}) {
    SCOPED_TRACE(c.drive);
    table.BadSectors().Clear();
    EXPECT_TRUE(testing::AllZero(ReadFrom(table, c.drive, c.unreadable, 1)));
    EXPECT_TRUE(table.BadSectors().Contains(c.unreadable));
    const auto& source = c.drive == 0 ? first : second;
    EXPECT_TRUE(
        testing::Equal(ReadFrom(table, c.drive, c.readable, 1), SectorsOf(source, c.readable, 1)));
  }

  // One image opened on its own knows no place in the list: the common map.
  auto single = OpenDriveImage(options.images[1], options);
  ASSERT_FALSE(single.has_value());  // a.map describes a larger image
  EXPECT_NE(single.error().message.find("a.map"), std::string::npos);

  // A map for an image alone is refused on the legacy route as well.
  options.mapfile.clear();
  options.legacyRoute = true;
  EXPECT_EQ(EnumerateDriveSources(table, options, maps).error().code, ErrorCode::kInvalidArgument);
}

}  // namespace
}  // namespace tolvar
