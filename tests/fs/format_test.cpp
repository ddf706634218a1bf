#include "fs/format.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "fs/timestamp.hpp"

namespace tolvar {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::vector<std::byte> Zeros(std::size_t n) { return std::vector<std::byte>(n, std::byte{0}); }

void Put(std::vector<std::byte>& b, std::size_t at, std::initializer_list<int> bytes) {
  for (const int v : bytes) b.at(at++) = std::byte(static_cast<unsigned char>(v));
}
void PutText(std::vector<std::byte>& b, std::size_t at, std::string_view text) {
  for (const char c : text) b.at(at++) = std::byte(static_cast<unsigned char>(c));
}
void EafsSlot(std::vector<std::byte>& b, std::size_t slot, std::uint16_t inode,
              std::string_view name) {
  Put(b, slot * 16, {inode & 0xFF, inode >> 8});
  PutText(b, slot * 16 + 2, name.substr(0, 14));
}
std::vector<std::byte> EafsDirBlock() {
  auto b = Zeros(1024);
  EafsSlot(b, 0, 5, ".");
  EafsSlot(b, 1, 2, "..");
  return b;
}

std::vector<std::pair<std::uint32_t, std::string>> Pairs(const std::vector<RawDirEntry>& entries) {
  std::vector<std::pair<std::uint32_t, std::string>> out;
  for (const auto& e : entries) out.emplace_back(e.inode, e.name);
  return out;
}

TEST(InodeLocationTest, SlotsFollowTheTypesInodesPerSector) {
  EXPECT_EQ(LocateInode(FsType::kEafs, 8).sectorOffset, 0U);
  EXPECT_EQ(LocateInode(FsType::kEafs, 8).byteOffset, 7U * 64);
  EXPECT_EQ(LocateInode(FsType::kEafs, 9).sectorOffset, 1U);
  EXPECT_EQ(LocateInode(FsType::kEafs, 9).byteOffset, 0U);
  EXPECT_EQ(LocateInode(FsType::kEafs, 16).byteOffset, 7U * 64);
  EXPECT_EQ(LocateInode(FsType::kHtfs, 4).byteOffset, 3U * 128);
  EXPECT_EQ(LocateInode(FsType::kHtfs, 5).sectorOffset, 1U);
  EXPECT_EQ(LocateInode(FsType::kHtfs, 5).byteOffset, 0U);
}

TEST(InodeDecodeTest, EafsFieldsAndAllThirteenAddresses) {
  auto slot = Zeros(64);
  Put(slot, 0, {0xED, 0x41});
  Put(slot, 8, {0x00, 0x04, 0, 0});
  for (int i = 0; i < 13; ++i) Put(slot, 12 + 3 * static_cast<std::size_t>(i), {i + 1, 0, 1});
  Put(slot, 52, {0x3C, 0x5E, 0x77, 0x45});
  const Inode inode = DecodeEafsInode(slot);
  EXPECT_EQ(inode.mode, 0x41ED);
  EXPECT_EQ(inode.size, 1024U);
  EXPECT_EQ(inode.direct[0], 0x10001U);
  EXPECT_EQ(inode.direct[9], 0x1000AU);
  EXPECT_EQ(inode.singleIndirect, 0x1000BU);
  EXPECT_EQ(inode.doubleIndirect, 0x1000CU);
  EXPECT_EQ(inode.tripleIndirect, 0x1000DU);
  EXPECT_EQ(inode.time, 0x45775E3CU);
  EXPECT_TRUE(IsDirectoryInode(inode));
}

TEST(InodeDecodeTest, HtfsFieldsAtTheirOffsets) {
  auto slot = Zeros(128);
  Put(slot, 0, {0xA4, 0x81});
  Put(slot, 12, {0x10, 0x27, 0, 0});
  Put(slot, 20, {7});
  Put(slot, 56, {16});
  Put(slot, 60, {17});
  Put(slot, 64, {18});
  Put(slot, 68, {19});
  Put(slot, 76, {1});
  const Inode inode = DecodeHtfsInode(slot);
  EXPECT_EQ(inode.size, 10000U);
  EXPECT_EQ(inode.direct[0], 7U);
  EXPECT_EQ(inode.direct[9], 16U);
  EXPECT_EQ(inode.singleIndirect, 17U);
  EXPECT_EQ(inode.doubleIndirect, 18U);
  EXPECT_EQ(inode.tripleIndirect, 19U);
  EXPECT_EQ(inode.time, 1U);
  EXPECT_FALSE(IsDirectoryInode(inode));
  EXPECT_EQ(DecodeHtfsInode(Zeros(64)).size, 0U) << "a short slot decodes as empty";
}

TEST(ModeTest, OnlyTypeNibbleFourWithAFirstBlockIsADirectory) {
  EXPECT_TRUE(IsDirectoryMode(040755));
  for (const int mode : {0100644, 0120777, 020644, 060644, 010644, 0140755, 0170000}) {
    EXPECT_FALSE(IsDirectoryMode(static_cast<std::uint16_t>(mode))) << std::oct << mode;
  }
  Inode inode;
  inode.mode = 040755;
  EXPECT_FALSE(IsDirectoryInode(inode)) << "directory type without a first block is a file";
  inode.direct[0] = 9;
  EXPECT_TRUE(IsDirectoryInode(inode));
}

TEST(EafsBlockTest, RecognitionAndFourteenCharacterNames) {
  auto block = EafsDirBlock();
  EafsSlot(block, 2, 7, "abcdefghijklmn");  // 14 bytes, no terminator
  EafsSlot(block, 3, 8, "x");
  EXPECT_TRUE(IsEafsDirectoryBlock(block));
  EXPECT_THAT(Pairs(ParseEafsDirectoryEntries(block, true)),
              ElementsAre(std::pair<std::uint32_t, std::string>{7, "abcdefghijklmn"},
                          std::pair<std::uint32_t, std::string>{8, "x"}));
  block.at(19) = std::byte{'x'};
  EXPECT_FALSE(IsEafsDirectoryBlock(block));
  EXPECT_THAT(ParseEafsDirectoryEntries(block, true), IsEmpty());
  EXPECT_EQ(ParseEafsDirectoryEntries(block, false).size(), 3U)
      << "a later block is read from slot 0 without the test";
}

TEST(EafsBlockTest, DeletedAndLowSlotsArePassedOver) {
  auto block = EafsDirBlock();
  EafsSlot(block, 2, 0, "gone");
  EafsSlot(block, 3, 1, "one");
  EafsSlot(block, 4, 2, "two");
  EafsSlot(block, 63, 40, "last");
  EXPECT_THAT(Pairs(ParseEafsDirectoryEntries(block, true)),
              ElementsAre(std::pair<std::uint32_t, std::string>{40, "last"}));
}

TEST(EafsBlockTest, LongNameChainsJoinWithTheirRealEntry) {
  auto block = EafsDirBlock();
  EafsSlot(block, 2, 0xFFFF, "a_very_long_fi");
  EafsSlot(block, 3, 0xFFFF, "le_name_that_g");
  EafsSlot(block, 4, 12, "oes_on.txt");
  EafsSlot(block, 5, 13, "short");
  EXPECT_THAT(
      Pairs(ParseEafsDirectoryEntries(block, true)),
      ElementsAre(
          std::pair<std::uint32_t, std::string>{12, "a_very_long_file_name_that_goes_on.txt"},
          std::pair<std::uint32_t, std::string>{13, "short"}));
}

TEST(EafsBlockTest, AFreeSlotOrTheBlockEndDropsAPendingChain) {
  auto block = EafsDirBlock();
  EafsSlot(block, 2, 0xFFFF, "orphaned_piece");
  EafsSlot(block, 3, 0, "");
  EafsSlot(block, 4, 14, "after");
  EafsSlot(block, 63, 0xFFFF, "runs_off_block");
  EXPECT_THAT(Pairs(ParseEafsDirectoryEntries(block, true)),
              ElementsAre(std::pair<std::uint32_t, std::string>{14, "after"}));
}

TEST(EafsBlockTest, JoinedNamesStopAt255Bytes) {
  auto block = EafsDirBlock();
  for (std::size_t slot = 2; slot < 22; ++slot) EafsSlot(block, slot, 0xFFFF, "ABCDEFGHIJKLMN");
  EafsSlot(block, 22, 30, "tail");
  const auto entries = ParseEafsDirectoryEntries(block, true);
  ASSERT_EQ(entries.size(), 1U);
  EXPECT_EQ(entries[0].name.size(), kMaxNameBytes);
}

std::vector<std::byte> HtfsBlock(
    std::initializer_list<std::tuple<std::uint32_t, int, int, std::string>> entries) {
  auto b = Zeros(1024);
  std::size_t at = 0;
  for (const auto& [inode, length, nameLength, name] : entries) {
    Put(b, at,
        {static_cast<int>(inode & 0xFF), static_cast<int>((inode >> 8) & 0xFF),
         static_cast<int>((inode >> 16) & 0xFF), static_cast<int>(inode >> 24)});
    Put(b, at + 6, {length & 0xFF, length >> 8});
    Put(b, at + 8, {nameLength});
    PutText(b, at + 9, name);
    at += static_cast<std::size_t>(length);
  }
  return b;
}

TEST(HtfsBlockTest, EntriesAfterDotAndDotDot) {
  const auto block =
      HtfsBlock({{5, 12, 1, "."}, {2, 12, 2, ".."}, {9, 16, 5, "hello"}, {10, 984, 4, "last"}});
  EXPECT_TRUE(IsHtfsDirectoryBlock(block));
  EXPECT_EQ(HtfsDirectoryHead(block).self, 5U);
  EXPECT_EQ(HtfsDirectoryHead(block).parent, 2U);
  EXPECT_THAT(Pairs(ParseHtfsDirectoryEntries(block)),
              ElementsAre(std::pair<std::uint32_t, std::string>{9, "hello"},
                          std::pair<std::uint32_t, std::string>{10, "last"}));
}

TEST(HtfsBlockTest, FreedSlotsArePassedOverAndOtherStopsEndTheBlock) {
  using Entries = std::initializer_list<std::tuple<std::uint32_t, int, int, std::string>>;
  struct Case {
    const char* what;
    std::vector<std::byte> block;
    std::vector<std::uint32_t> inodes;  // listed, in order
    std::uint32_t freeSlots;
  };
  auto block = [](Entries entries) { return HtfsBlock(entries); };
  const std::vector<Case> cases = {
      {"a freed first slot", block({{0, 12, 1, "."}, {9, 12, 1, "a"}}), {9}, 1},
      {"a freed slot between live ones",
       block({{9, 12, 1, "a"}, {0, 12, 1, "b"}, {11, 12, 1, "c"}}),
       {9, 11},
       1},
      {"a freed slot with a long name", block({{0, 20, 9, "long-name"}, {9, 12, 1, "a"}}), {9}, 1},
      {"two freed slots in a row",
       block({{0, 12, 1, "x"}, {0, 16, 5, "xxxxx"}, {9, 12, 1, "a"}}),
       {9},
       2},
      {"a freed slot reaching the block's end",
       block({{9, 12, 1, "a"}, {0, 1012, 1, "z"}}),
       {9},
       1},
      {"a freed slot shorter than its name", block({{0, 12, 5, "bbbbb"}, {9, 12, 1, "a"}}), {}, 0},
      {"a freed slot not a multiple of 4", block({{0, 13, 1, "b"}, {9, 12, 1, "a"}}), {}, 0},
      {"a freed slot below the smallest record", block({{0, 8, 0, ""}, {9, 12, 1, "a"}}), {}, 0},
      {"a freed slot leaving the block", block({{9, 12, 1, "a"}, {0, 1016, 1, "b"}}), {9}, 0},
      {"a freed slot of record length 0", block({{0, 0, 1, "b"}}), {}, 0},
      {"inode 0xFFFFFFFF",
       block({{9, 12, 1, "a"}, {0xFFFFFFFF, 12, 1, "b"}, {11, 12, 1, "c"}}),
       {9},
       0},
      {"record length 0", block({{9, 0, 1, "a"}}), {}, 0},
      {"a live entry with name length 0", block({{9, 12, 0, "a"}}), {}, 0},
  };
  for (const Case& c : cases) {
    std::uint32_t freeSlots = 0;
    std::vector<std::uint32_t> inodes;
    for (const RawDirEntry& entry : ParseHtfsDirectoryEntries(c.block, &freeSlots)) {
      inodes.push_back(entry.inode);
    }
    EXPECT_EQ(inodes, c.inodes) << c.what;
    EXPECT_EQ(freeSlots, c.freeSlots) << c.what;
  }
  EXPECT_EQ(HtfsRecordBytes(1), 12U);
  EXPECT_EQ(HtfsRecordBytes(3), 12U);
  EXPECT_EQ(HtfsRecordBytes(4), 16U);
  EXPECT_EQ(HtfsRecordBytes(0), 12U) << "a slot holds at least one name byte";
}

TEST(HtfsBlockTest, NothingOutsideTheBlockIsRead) {
  // A name that would run past the block is dropped; so is a header that
  // does not fit; a huge record length ends the block.
  auto block = HtfsBlock({{9, 1012, 1, "a"}, {10, 12, 200, "bbb"}});
  EXPECT_THAT(Pairs(ParseHtfsDirectoryEntries(block)),
              ElementsAre(std::pair<std::uint32_t, std::string>{9, "a"}));
  block = HtfsBlock({{9, 1020, 1, "a"}});
  Put(block, 1020, {11, 0, 0, 0});  // a header cut off by the block's end
  EXPECT_EQ(ParseHtfsDirectoryEntries(block).size(), 1U);
  block = HtfsBlock({{9, 65535, 1, "a"}});
  Put(block, 16, {11, 0, 0, 0, 0, 0, 12, 0, 1, 'c'});
  EXPECT_EQ(ParseHtfsDirectoryEntries(block).size(), 1U);
  EXPECT_THAT(ParseHtfsDirectoryEntries(std::span(block).first(100)).size(), 1U)
      << "a short span bounds the parse too";
}

class TimestampTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("TZ");
    saved_ = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  std::optional<std::string> saved_;
};

TEST_F(TimestampTest, DateAndTimeTexts) {
  const TimestampText text = FormatTimestamp(1165482300);
  EXPECT_EQ(text.date, "07-Dec-2006");
  EXPECT_EQ(text.time, "09:05:00");
  EXPECT_EQ(FormatTimestamp(1).date, "01-Jan-1970");
  EXPECT_EQ(FormatTimestamp(1).time, "00:00:01");
}

TEST_F(TimestampTest, ZeroAndNegativeStampsAreErrors) {
  for (const std::uint32_t stamp : {0U, 0x80000000U, 0xFFFFFFFFU}) {
    EXPECT_EQ(FormatTimestamp(stamp).date, "Error");
    EXPECT_EQ(FormatTimestamp(stamp).time, "Error");
    EXPECT_FALSE(IsShowableTimestamp(stamp));
  }
  EXPECT_EQ(MonthName(0), "Err");
  EXPECT_EQ(MonthName(13), "Err");
  EXPECT_EQ(MonthName(12), "Dec");
}

TEST_F(TimestampTest, LocalTimeZoneApplies) {
  setenv("TZ", "EST5", 1);
  tzset();
  EXPECT_EQ(FormatTimestamp(1165482300).time, "04:05:00");
}

}  // namespace
}  // namespace tolvar
