#include "disk/rescue_map.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "disk/drive_table.hpp"
#include "tests/disk/disk_test_util.hpp"
#include "tests/support/temp_dir.hpp"

namespace tolvar {
namespace {

using testing::PatternBytes;

struct ParseCase {
  const char* name;
  const char* text;
  std::vector<ByteRange> finished;  // when it parses
  std::uint64_t mapped = 0;
  const char* error = nullptr;  // the start of the refusal, when it does not
};

TEST(RescueMapTest, ParsesWhatDdrescueWritesAndRefusesWhatIsAmbiguous) {
  const ParseCase cases[] = {
      {"ddrescue's own layout",
       "# Mapfile. Created by GNU ddrescue version 1.27\n"
       "# current_pos  current_status  current_pass\n"
       "0x00010000     ?               1\n"
       "#      pos        size  status\n"
       "0x00000000  0x00000400  +\n"
       "0x00000400  0x00000200  -\n"
       "0x00000600  0x00000A00  +\n"
       "0x00001000  0x0000F000  ?\n",
       {{0, 0x400}, {0x600, 0x1000}},
       0x10000},
      {"touching finished blocks merge", "0 +\n0 512 +\n512 512 +\n", {{0, 1024}}, 1024},
      {"decimal, hex and octal", "0 ?\n0 010 +\n8 0x8 *\n16 16 +\n", {{0, 8}, {16, 32}}, 32},
      {"unsorted blocks are put in order",
       "0 ?\n1024 512 +\n0 512 +\n512 512 /\n",
       {{0, 512}, {1024, 1536}},
       1536},
      {"a gap between blocks is unrescued",
       "0 ?\n0 512 +\n4096 512 +\n",
       {{0, 512}, {4096, 4608}},
       4608},
      {"overlapping blocks",
       "0 ?\n0 1024 +\n512 1024 -\n",
       {},
       0,
       "line 3: the block overlaps the block on line 2"},
      {"overlap found after sorting names both lines",
       "0 ?\n2048 512 +\n0 4096 -\n",
       {},
       0,
       "line 3: the block overlaps the block on line 2"},
      {"no status line", "", {}, 0, "line 1: no status line"},
      {"no blocks", "0x0 +\n# nothing\n", {}, 0, "line 2: the map lists no blocks"},
      {"bad status letter", "0 ?\n0 512 X\n", {}, 0, "line 2: \"X\" is not a block status"},
      {"bad number", "0 ?\n0 5z2 +\n", {}, 0, "line 2: \"5z2\" is not a number"},
      {"octal digit 8", "0 ?\n0 08 +\n", {}, 0, "line 2: \"08\" is not a number"},
      {"too few words", "0 ?\n0 512\n", {}, 0, "line 2: a block needs"},
      {"size 0", "0 ?\n0 0 +\n", {}, 0, "line 2: a block of size 0"},
      {"overflow", "0 ?\n0xFFFFFFFFFFFFFF00 0x200 +\n", {}, 0, "line 2: the block ends past"},
      {"number too large", "0 ?\n0x1FFFFFFFFFFFFFFFF 1 +\n", {}, 0, "line 2:"},
      {"garbage status line", "hello world\n0 512 +\n", {}, 0, "line 1: not a status line"},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.name);
    const auto map = ParseRescueMap(c.text);
    if (c.error != nullptr) {
      ASSERT_FALSE(map.has_value());
      EXPECT_EQ(map.error().message.rfind(c.error, 0), 0u) << map.error().message;
      continue;
    }
    ASSERT_TRUE(map.has_value()) << map.error().message;
    ASSERT_EQ(map->Finished().size(), c.finished.size());
    for (std::size_t i = 0; i < c.finished.size(); ++i) {
      EXPECT_EQ(map->Finished()[i].first, c.finished[i].first);
      EXPECT_EQ(map->Finished()[i].end, c.finished[i].end);
    }
    EXPECT_EQ(map->MappedBytes(), c.mapped);
  }
}

TEST(RescueMapTest, RescuedOnlyWhenEveryByteIsInOneFinishedRange) {
  const auto map = ParseRescueMap("0 ?\n0 1000 +\n1000 24 -\n1024 1024 +\n");
  ASSERT_TRUE(map.has_value());
  EXPECT_TRUE(map->Rescued(0, 1000));
  EXPECT_TRUE(map->Rescued(999, 1));
  EXPECT_FALSE(map->Rescued(999, 2));
  EXPECT_FALSE(map->Rescued(512, 512));  // the sector holds 24 bad bytes
  EXPECT_TRUE(map->Rescued(1024, 1024));
  EXPECT_FALSE(map->Rescued(1024, 1025));  // past the map's end
  EXPECT_FALSE(map->Rescued(4096, 1));
  EXPECT_TRUE(map->Rescued(4096, 0));
}

class RescueMapFileTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& text) {
    const auto path = temp_.Path() / name;
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
  }
  testing::TempDir temp_;
};

TEST_F(RescueMapFileTest, RefusesAMapOfAnotherImageAndKeepsAShorterOne) {
  const std::string path = Write("map", "0 ?\n0 1024 +\n1024 1024 -\n");
  const auto longer = LoadRescueMap(path, 1024);
  ASSERT_FALSE(longer.has_value());
  EXPECT_NE(longer.error().message.find("the map describes 2048 bytes, but the image has 1024"),
            std::string::npos)
      << longer.error().message;

  // Shorter than the image: what lies past it was never rescued.
  const auto shorter = LoadRescueMap(path, 8192);
  ASSERT_TRUE(shorter.has_value());
  EXPECT_FALSE(shorter->Rescued(4096, 512));

  const std::string brokenPath = Write("broken", "0 ?\n0 1024 +\n512 zz +\n");
  const auto broken = LoadRescueMap(brokenPath, 4096);
  ASSERT_FALSE(broken.has_value());
  EXPECT_EQ(broken.error().message, brokenPath + ": line 3: \"zz\" is not a number");

  const auto folder = LoadRescueMap(temp_.Path().string(), 4096);
  ASSERT_FALSE(folder.has_value());
  EXPECT_NE(folder.error().message.find("not a regular file"), std::string::npos);
}

TEST_F(RescueMapFileTest, UnrescuedSectorsReadAsZerosAndAreRecordedBad) {
  constexpr std::uint64_t kSectors = 16;
  const auto bytes = PatternBytes(kSectors);
  // Sectors 4 and 5 failed; sector 9 holds one bad byte; 12 on is unmapped.
  const auto map =
      ParseRescueMap("0 ?\n0 0x800 +\n0x800 0x400 -\n0xC00 0x600 +\n0x1200 1 *\n0x1201 0x5FF +\n");
  ASSERT_TRUE(map.has_value()) << map.error().message;
  std::shared_ptr<BlockDeviceSource> inner = MakeMemorySource(bytes);
  std::shared_ptr<BlockDeviceSource> drive =
      MakeRescueMapSource(inner, std::make_shared<const RescueMap>(*map));

  RecoverySettings settings;
  settings.badSectorRetries = 1;
  DriveTable drives(settings);
  drives.EnumerateDrives(MakeFixedProvider({drive}));
  drives.currentDrive = 0;
  ASSERT_TRUE(drives.OpenCurrentDrive());
  std::vector<std::byte> out(kSectors * kSectorSize, std::byte{0x55});
  (void)drives.ReadSectors(0, static_cast<std::uint32_t>(kSectors), out);
  for (std::uint64_t s = 0; s < kSectors; ++s) {
    const bool bad = s == 4 || s == 5 || s == 9 || s >= 12;
    SCOPED_TRACE(s);
    EXPECT_EQ(drives.BadSectors().Contains(s), bad);
    const auto sector = testing::SectorsOf(out, s, 1);
    if (bad) {
      EXPECT_TRUE(testing::AllZero(sector));
    } else {
      EXPECT_TRUE(testing::Equal(sector, testing::SectorsOf(bytes, s, 1)));
    }
  }
}

// A map written by ddrescue itself: a full-size image of which only the
// first part was copied (--size), so the map is shorter than the image.
TEST_F(RescueMapFileTest, ReadsAMapDdrescueWrote) {
  if (std::system("command -v ddrescue > /dev/null 2>&1") != 0) {
    GTEST_SKIP() << "ddrescue (package gddrescue) is not installed";
  }
  const auto bytes = PatternBytes(64);
  const auto disk = temp_.Path() / "disk.raw";
  const auto image = temp_.Path() / "image.raw";
  const auto mapfile = temp_.Path() / "image.map";
  testing::WriteFile(disk, bytes);
  testing::WriteFile(image, std::vector<std::byte>(bytes.size()));
  const std::string command = "ddrescue -q -s 10240 " + disk.string() + " " + image.string() + " " +
                              mapfile.string() + " > /dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;

  const auto map = LoadRescueMap(mapfile.string(), bytes.size());
  ASSERT_TRUE(map.has_value()) << map.error().message;
  EXPECT_TRUE(map->Rescued(0, 10240));
  EXPECT_FALSE(map->Rescued(10240, 512));
  EXPECT_EQ(map->FinishedBytes(), 10240u);
}

}  // namespace
}  // namespace tolvar
