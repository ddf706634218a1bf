#include "disk/drive_table.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "disk/fault_injecting_source.hpp"
#include "tests/disk/disk_test_util.hpp"
#include "tests/support/temp_dir.hpp"

namespace tolvar {
namespace {

using testing::AllZero;
using testing::Equal;
using testing::PatternBytes;
using testing::SectorsOf;

constexpr std::uint64_t kSectors = 64;

DeviceGeometry Geometry(std::uint64_t cylinders, std::uint32_t heads, std::uint32_t perTrack) {
  return {cylinders, heads, perTrack};
}

class Retries : public ::testing::Test {
 protected:
  // Opens a 64-sector drive (geometry 4 x 2 x 8) whose reads obey `plan`.
  void Open(FaultPlan plan, std::uint16_t retries = 3) {
    settings.badSectorRetries = retries;
    DeviceDescription description;
    description.geometry = Geometry(4, 2, 8);
    std::shared_ptr<BlockDeviceSource> memory = MakeMemorySource(bytes, description);
    std::shared_ptr<BlockDeviceSource> faulty = MakeFaultInjectingSource(memory, std::move(plan));
    table.EnumerateDrives(MakeFixedProvider({faulty}));
    ASSERT_TRUE(table.OpenCurrentDrive());
  }
  std::span<const std::byte> Sector(std::uint32_t i) const {
    return std::span<const std::byte>(buffer).subspan(std::size_t{i} * kSectorSize, kSectorSize);
  }

  std::vector<std::byte> bytes = PatternBytes(kSectors);
  std::vector<std::byte> buffer = std::vector<std::byte>(8 * kSectorSize, std::byte{0xAA});
  RecoverySettings settings;
  DriveTable table{settings};
};

TEST_F(Retries, AFailedRunOfReadableSectorsSucceedsSectorBySector) {
  Open({.bulkReadsFail = true});
  EXPECT_TRUE(table.ReadSectors(10, 8, buffer));
  EXPECT_TRUE(Equal(buffer, SectorsOf(bytes, 10, 8)));
  EXPECT_EQ(table.BadSectors().Size(), 0u);
}

TEST_F(Retries, AnUnreadableLastSectorFailsTheRunButTheOthersAreRead) {
  Open({.neverReadable = {17}});
  EXPECT_FALSE(table.ReadSectors(10, 8, buffer));
  EXPECT_TRUE(Equal(std::span(buffer).first(7 * kSectorSize), SectorsOf(bytes, 10, 7)));
  EXPECT_TRUE(AllZero(Sector(7)));
  EXPECT_EQ(table.BadSectors().Sectors(), std::vector<std::uint64_t>{17});
}

TEST_F(Retries, AnUnreadableMiddleSectorIsZeroFilledNotLeftStale) {
  Open({.neverReadable = {13}});
  // The buffer first holds other sectors, as a caller's reused buffer does.
  ASSERT_TRUE(table.ReadSectors(0, 8, buffer));
  EXPECT_TRUE(table.ReadSectors(10, 8, buffer));
  EXPECT_TRUE(AllZero(Sector(3)));
  EXPECT_TRUE(Equal(Sector(2), SectorsOf(bytes, 12, 1)));
  EXPECT_TRUE(Equal(Sector(4), SectorsOf(bytes, 14, 1)));
  EXPECT_TRUE(table.BadSectors().Contains(13));
  EXPECT_EQ(table.BadSectors().Size(), 1u);
}

TEST_F(Retries, ASectorReadableOnTheKthTryNeedsAtLeastKRetries) {
  for (std::uint16_t retries = 1; retries <= 4; ++retries) {
    SCOPED_TRACE(retries);
    table.BadSectors().Clear();
    Open({.readableOnAttempt = {{12, 3}}}, retries);
    const bool ok = table.ReadSectors(10, 4, buffer);
    EXPECT_EQ(ok, true);  // the last sector of the run is healthy either way
    EXPECT_EQ(table.BadSectors().Contains(12), retries < 3);
    if (retries >= 3) {
      EXPECT_TRUE(Equal(Sector(2), SectorsOf(bytes, 12, 1)));
    } else {
      EXPECT_TRUE(AllZero(Sector(2)));
    }
  }
}

TEST_F(Retries, TheCapacityTestsOnlyTheFirstSector) {
  // Geometry 4 x 2 x 8 = 64 sectors, and the drive holds exactly that many.
  Open({});
  ASSERT_EQ(table.Current().totalSectors, kSectors);
  // A read at the capacity is attempted (and fails at the device's end)...
  EXPECT_FALSE(table.ReadSectors(kSectors, 1, buffer));
  EXPECT_TRUE(AllZero(Sector(0)));
  EXPECT_EQ(table.BadSectors().Size(), 0u);  // not a bad sector: it does not exist
  // ...one past it is refused and leaves the buffer alone.
  std::fill(buffer.begin(), buffer.end(), std::byte{0xAA});
  EXPECT_FALSE(table.ReadSectors(kSectors + 1, 1, buffer));
  EXPECT_EQ(buffer[0], std::byte{0xAA});
  // A run may start inside and reach past the capacity.
  EXPECT_FALSE(table.ReadSectors(kSectors - 2, 4, buffer));
  EXPECT_TRUE(Equal(std::span(buffer).first(2 * kSectorSize), SectorsOf(bytes, kSectors - 2, 2)));
}

TEST(DriveTableReads, AReadAtTheCapacityReachesADeviceLongerThanItsGeometry) {
  auto bytes = PatternBytes(16);
  DeviceDescription description;
  description.geometry = Geometry(1, 1, 8);
  RecoverySettings settings;
  DriveTable table(settings);
  table.EnumerateDrives(MakeFixedProvider({MakeMemorySource(bytes, description)}));
  ASSERT_TRUE(table.OpenCurrentDrive());
  std::vector<std::byte> buffer(kSectorSize);
  EXPECT_TRUE(table.ReadSectors(8, 1, buffer));
  EXPECT_TRUE(Equal(buffer, SectorsOf(bytes, 8, 1)));
}

TEST_F(Retries, AnImageShorterThanItsGeometryEndsInZerosThatAreNotBadSectors) {
  Open({.truncateToSectors = 40});
  EXPECT_EQ(table.Current().totalSectors, kSectors);
  EXPECT_FALSE(table.ReadSectors(36, 8, buffer));
  EXPECT_TRUE(Equal(std::span(buffer).first(4 * kSectorSize), SectorsOf(bytes, 36, 4)));
  EXPECT_TRUE(AllZero(std::span(buffer).subspan(4 * kSectorSize)));
  EXPECT_EQ(table.BadSectors().Size(), 0u);
}

TEST_F(Retries, WithoutAnOpenDriveEveryReadFailsWithZeros) {
  Open({});
  table.CloseDrive();
  table.CloseDrive();  // closing twice is harmless
  EXPECT_FALSE(table.IsOpen());
  EXPECT_FALSE(table.ReadSectors(0, 8, buffer));
  EXPECT_TRUE(AllZero(buffer));
  ASSERT_TRUE(table.OpenCurrentDrive());
  EXPECT_TRUE(table.ReadSectors(0, 8, buffer));
  EXPECT_TRUE(Equal(buffer, SectorsOf(bytes, 0, 8)));
}

TEST(DriveTableReads, TheImageFileIsUnchangedAfterReads) {
  testing::TempDir dir;
  const auto path = dir / "disk.img";
  const auto bytes = PatternBytes(2 * 16 * 63);
  testing::WriteFile(path, bytes);
  RecoverySettings settings;
  DriveTable table(settings);
  table.EnumerateDrives(MakeImageFileProvider({path.string()}));
  ASSERT_EQ(table.listedCount, 1);
  ASSERT_TRUE(table.OpenCurrentDrive());
  std::vector<std::byte> buffer(100 * kSectorSize);
  for (std::uint64_t s = 0; s < 2 * 16 * 63; s += 100) {
    table.ReadSectors(s, 100, buffer);
  }
  table.CloseDrive();
  EXPECT_TRUE(Equal(testing::ReadFile(path), bytes));
}

// --- Enumeration ------------------------------------------------------------

std::shared_ptr<BlockDeviceSource> Drive(DeviceGeometry geometry, std::string product,
                                         bool usb = false) {
  DeviceDescription description;
  description.geometry = geometry;
  description.productId = std::move(product);
  description.onUsb = usb;
  // A source without bytes and geometry is a drive without media.
  return MakeMemorySource(PatternBytes(geometry.sectorsPerTrack == 0 ? 0 : 1), description);
}

TEST(Enumeration, FillsSlotsWithModelsAndLeavesNoMediaDrivesUnlisted) {
  RecoverySettings settings;
  DriveTable table(settings);
  table.EnumerateDrives(MakeFixedProvider({
      Drive(Geometry(10, 16, 63), "ST3500418AS"),
      nullptr,  // a number that cannot be probed is skipped
      Drive(Geometry(0, 0, 0), "Card Reader"),
      Drive(Geometry(20, 255, 63), "Flash Disk", true),
  }));
  EXPECT_EQ(table.listedCount, 2);
  EXPECT_EQ(table.Slot(0).model, "ST3500418AS");
  EXPECT_EQ(table.Slot(0).totalSectors, 10u * 16u * 63u);
  // The drive with media after the empty reader is still listed.
  EXPECT_EQ(table.Slot(1).model, "USB Device");
  EXPECT_EQ(table.Slot(1).deviceNumber, 3u);
  EXPECT_EQ(table.Slot(2).model, "Media missing or not inserted");
  EXPECT_EQ(table.Slot(2).totalSectors, 0u);
  EXPECT_EQ(table.Slot(2).sectorsPerTrack, 0u);
  EXPECT_EQ(table.Slot(3).model, "");
}

TEST(Enumeration, TheCapacityIsTheWholeProductPast2To32) {
  RecoverySettings settings;
  DriveTable table(settings);
  table.EnumerateDrives(MakeFixedProvider({
      Drive(Geometry(300'000, 255, 63), "big"),
      Drive(Geometry((std::uint64_t{1} << 32) + 5, 16, 63), "huge"),
  }));
  // 300000 x 255 x 63 = 4,819,500,000: a 2.2 TiB disk keeps its capacity
  // (32-bit arithmetic made it 524,532,704 sectors, 250 GiB).
  EXPECT_EQ(table.Slot(0).totalSectors, 4'819'500'000u);
  // The cylinder count is kept whole as well.
  EXPECT_EQ(table.Slot(1).cylinders, (std::uint64_t{1} << 32) + 5);
  EXPECT_EQ(table.Slot(1).totalSectors, ((std::uint64_t{1} << 32) + 5) * 16 * 63);
}

}  // namespace
}  // namespace tolvar
