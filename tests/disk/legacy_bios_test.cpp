#include "disk/legacy_bios.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "disk/drive_table.hpp"
#include "tests/disk/disk_test_util.hpp"
#include "tests/support/temp_dir.hpp"

namespace tolvar {
namespace {

using testing::PatternBytes;

// The stand-ins the build writes, where an installed program finds them.
const std::string kStandInDir = TOLVAR_TEST_BUILD_DIR "/lib/tolvar/legacy";
using testing::SectorsOf;

// --- Loader messages through a fake loader --------------------------------

void FakeFind(std::uint16_t* count) { *count = 0; }
std::int32_t FakeCheck(std::int32_t) { return 0; }
void FakeGeometry(std::int32_t, std::uint32_t*, std::uint32_t*, std::uint32_t*) {}
std::int32_t FakeRead(std::int32_t, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t,
                      void*, std::uint32_t, std::int32_t) {
  return 0;
}

template <typename Fn>
void* Address(Fn fn) {
  return std::bit_cast<void*>(fn);
}

class FakeLibrary final : public SharedLibrary {
 public:
  explicit FakeLibrary(std::map<std::string, void*> symbols) : symbols_(std::move(symbols)) {}
  void* Symbol(const char* name) const override {
    auto it = symbols_.find(name);
    return it == symbols_.end() ? nullptr : it->second;
  }

 private:
  std::map<std::string, void*> symbols_;
};

// Serves libraries by file name; a name that is absent fails to load.
class FakeLoader final : public SharedLibraryLoader {
 public:
  std::map<std::string, std::map<std::string, void*>> libraries;
  std::vector<std::string> loaded;

  std::unique_ptr<SharedLibrary> Load(const std::string& path) override {
    loaded.push_back(path);
    const std::string name = path.substr(path.rfind('/') + 1);
    auto it = libraries.find(name);
    if (it == libraries.end()) return nullptr;
    return std::make_unique<FakeLibrary>(it->second);
  }
};

struct LoaderCase {
  std::set<std::string> disk32;  // exports present; "-" for no library at all
  std::set<std::string> disk2;
  std::string message;  // "" for success
};

std::map<std::string, void*> Exports(const std::set<std::string>& names) {
  const std::map<std::string, void*> all = {{"find_hard_disk32", Address(&FakeFind)},
                                            {"CheckInt13Extension32", Address(&FakeCheck)},
                                            {"ReadDisk32", Address(&FakeRead)},
                                            {"get_drive_geometry32", Address(&FakeGeometry)}};
  std::map<std::string, void*> chosen;
  for (const auto& name : names) chosen[name] = all.at(name);
  return chosen;
}

TEST(LegacyLoader, ReportsTheFirstFailureInTheFixedOrder) {
  const std::set<std::string> full32 = {"find_hard_disk32", "CheckInt13Extension32", "ReadDisk32"};
  const std::set<std::string> full2 = {"get_drive_geometry32"};
  const std::set<std::string> none = {"-"};
  // Each message alone is checked against real library files below; these
  // cases pin down which failure wins when several are present.
  const std::vector<LoaderCase> cases = {
      {none, full2, "Disk32.dll not found or corrupted"},
      {{"find_hard_disk32", "CheckInt13Extension32"}, none, "Disk32.dll is corrupted"},
      // find_hard_disk32 is resolved only after disk2.dll is complete.
      {{"CheckInt13Extension32", "ReadDisk32"}, none, "Disk2.dll is corrupted or not found."},
      {{"CheckInt13Extension32", "ReadDisk32"}, {}, "Disk2.dll is corrupted"},
      {{"CheckInt13Extension32", "ReadDisk32"}, full2, "Disk32.dll is corrupted"},
      {full32, full2, ""},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    FakeLoader loader;
    if (!cases[i].disk32.contains("-")) loader.libraries["Disk32.dll"] = Exports(cases[i].disk32);
    if (!cases[i].disk2.contains("-")) loader.libraries["disk2.dll"] = Exports(cases[i].disk2);
    auto result = LoadLegacyBiosLibraries(loader, "/lib/legacy", {});
    if (cases[i].message.empty()) {
      EXPECT_TRUE(result.has_value());
    } else {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error().code, ErrorCode::kLibraryMissing);
      EXPECT_EQ(result.error().message, cases[i].message);
    }
    ASSERT_FALSE(loader.loaded.empty());
    EXPECT_EQ(loader.loaded.front(), "/lib/legacy/Disk32.dll");
  }
}

// --- The real stand-in libraries --------------------------------------------

TEST(LegacyLoader, DamagedLibraryFilesGiveTheirMessages) {
  const std::string broken = TOLVAR_TEST_BROKEN_LEGACY_DIR;
  testing::TempDir empty;
  testing::TempDir garbage;
  testing::WriteFile(garbage / "Disk32.dll", PatternBytes(2));
  const std::vector<std::pair<std::string, std::string>> cases = {
      {empty.Path().string(), "Disk32.dll not found or corrupted"},
      {garbage.Path().string(), "Disk32.dll not found or corrupted"},
      {broken + "/no_read", "Disk32.dll is corrupted"},
      {broken + "/no_check", "Disk32.dll is corrupted"},
      {broken + "/no_disk2", "Disk2.dll is corrupted or not found."},
      {broken + "/no_geometry", "Disk2.dll is corrupted"},
      {broken + "/no_find", "Disk32.dll is corrupted"},
  };
  for (const auto& [dir, message] : cases) {
    SCOPED_TRACE(dir);
    auto result = LoadLegacyBiosLibraries(dir, {});
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().code, ErrorCode::kLibraryMissing);
    EXPECT_EQ(result.error().message, message);
  }
}

TEST(LegacyLoader, AnImageThatCannotBeOpenedIsNamed) {
  testing::TempDir dir;
  const std::string missing = (dir / "absent.img").string();
  auto result = LoadLegacyBiosLibraries(kStandInDir, {missing});
  ASSERT_FALSE(result.has_value());
  EXPECT_NE(result.error().message.find(missing), std::string::npos);
}

class LegacyRoute : public ::testing::Test {
 protected:
  // 3 cylinders of 16 x 63 sectors, and a second, smaller drive.
  static constexpr std::uint32_t kSectors = 3 * 16 * 63;
  void SetUp() override {
    image = PatternBytes(kSectors);
    second = PatternBytes(16 * 63);
    std::reverse(second.begin(), second.end());
    testing::WriteFile(dir / "a.img", image);
    testing::WriteFile(dir / "b.img", second);
    auto library = LoadLegacyBiosLibraries(kStandInDir,
                                           {(dir / "a.img").string(), (dir / "b.img").string()});
    ASSERT_TRUE(library.has_value()) << library.error().message;
    table.EnumerateDrives(std::move(*library));
  }

  testing::TempDir dir;
  std::vector<std::byte> image;
  std::vector<std::byte> second;
  RecoverySettings settings = RecoverySettings::DefaultsFor(DiskRoute::kLegacyBios);
  DriveTable table{settings};
};

TEST_F(LegacyRoute, EnumeratesEveryImageAndReadsItsBytes) {
  EXPECT_EQ(table.Route(), DiskRoute::kLegacyBios);
  ASSERT_EQ(table.listedCount, 2);
  const DriveInfo& a = table.Slot(0);
  EXPECT_EQ(a.model, "Unknown");
  EXPECT_EQ(a.cylinders, 3u);
  EXPECT_EQ(a.heads, 16u);
  EXPECT_EQ(a.sectorsPerTrack, 63u);
  EXPECT_EQ(a.totalSectors, kSectors);
  EXPECT_NE(a.int13Extensions, 0);
  EXPECT_EQ(table.Slot(1).totalSectors, 16u * 63u);

  ASSERT_TRUE(table.OpenCurrentDrive());
  std::vector<std::byte> buffer(100 * kSectorSize);
  ASSERT_TRUE(table.ReadSectors(1000, 100, buffer));
  EXPECT_TRUE(testing::Equal(buffer, SectorsOf(image, 1000, 100)));
  table.currentDrive = 1;
  ASSERT_TRUE(table.ReadSectors(7, 8, buffer));
  EXPECT_TRUE(testing::Equal(std::span(buffer).first(8 * kSectorSize), SectorsOf(second, 7, 8)));
  EXPECT_EQ(table.BadSectors().Size(), 0u);
}

TEST_F(LegacyRoute, ARunPastTheEndKeepsTheSectorsThatExist) {
  std::vector<std::byte> buffer(8 * kSectorSize, std::byte{0xAA});
  // The library refuses the whole run; each existing sector is read alone.
  EXPECT_FALSE(table.ReadSectors(kSectors - 4, 8, buffer));
  auto bytes = std::span<const std::byte>(buffer);
  EXPECT_TRUE(testing::Equal(bytes.first(4 * kSectorSize), SectorsOf(image, kSectors - 4, 4)));
  EXPECT_TRUE(testing::AllZero(bytes.subspan(4 * kSectorSize)));
  EXPECT_EQ(table.BadSectors().Size(), 0u);
}

// --- Addresses and results through a fake library ---------------------------

class RecordingLegacy final : public LegacyBiosLibrary {
 public:
  struct Call {
    std::int32_t biosDrive;
    ChsAddress chs;
    std::uint32_t count;
    std::uint32_t lba;
    std::int32_t int13;
  };
  std::vector<Call> calls;
  std::int32_t result = 1;

  void FindHardDisk(std::uint16_t* count) override { *count = 2; }
  std::int32_t CheckInt13Extension(std::int32_t biosDrive) override { return biosDrive - 0x70; }
  void GetDriveGeometry(std::int32_t, std::uint32_t* c, std::uint32_t* h,
                        std::uint32_t* s) override {
    *c = 100;
    *h = 16;
    *s = 63;
  }
  std::int32_t ReadDisk(std::int32_t biosDrive, std::uint32_t cylinder, std::uint32_t head,
                        std::uint32_t sector, std::uint32_t count, void* buffer, std::uint32_t lba,
                        std::int32_t int13) override {
    calls.push_back({biosDrive, {cylinder, head, sector}, count, lba, int13});
    if (result != 0) std::memset(buffer, 0x5A, std::size_t{count} * kSectorSize);
    return result;
  }
};

TEST(LegacyReads, UseTheFixedTranslationAndTheDrivesOwnValues) {
  RecoverySettings settings;
  DriveTable table(settings);
  auto owned = std::make_unique<RecordingLegacy>();
  RecordingLegacy& library = *owned;
  table.EnumerateDrives(std::move(owned));
  table.currentDrive = 1;
  std::vector<std::byte> buffer(kSectorSize);
  ASSERT_TRUE(table.ReadSectors(1007, 1, buffer));
  ASSERT_TRUE(table.ReadSectors(1008, 1, buffer));
  ASSERT_EQ(library.calls.size(), 2u);
  const auto& first = library.calls[0];
  EXPECT_EQ(first.biosDrive, 0x81);
  EXPECT_EQ(first.int13, 0x11);
  EXPECT_EQ(first.lba, 1007u);
  EXPECT_EQ(first.chs.cylinder, 0u);
  EXPECT_EQ(first.chs.head, 15u);
  EXPECT_EQ(first.chs.sector, 63u);
  const auto& second = library.calls[1];
  EXPECT_EQ(second.chs.cylinder, 1u);
  EXPECT_EQ(second.chs.head, 0u);
  EXPECT_EQ(second.chs.sector, 1u);
}

TEST(LegacyReads, AFailedLibraryReadIsReportedZeroFilledAndRecorded) {
  RecoverySettings settings;
  settings.badSectorRetries = 2;
  DriveTable table(settings);
  auto owned = std::make_unique<RecordingLegacy>();
  RecordingLegacy& library = *owned;
  library.result = 0;
  table.EnumerateDrives(std::move(owned));
  std::vector<std::byte> buffer(3 * kSectorSize, std::byte{0xAA});
  EXPECT_FALSE(table.ReadSectors(40, 3, buffer));
  EXPECT_TRUE(testing::AllZero(buffer));
  EXPECT_EQ(table.BadSectors().Sectors(), (std::vector<std::uint64_t>{40, 41, 42}));
  // One run, then two tries for each of the three sectors.
  EXPECT_EQ(library.calls.size(), 1u + 3u * 2u);
}

}  // namespace
}  // namespace tolvar
