#include "volumes/partition_tables.hpp"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace tolvar {
namespace {

using Sector = std::vector<std::byte>;

void Put(Sector& s, std::size_t at, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) s[at + i] = static_cast<std::byte>((value >> (8 * i)) & 0xFF);
}

// A CHS triple for `lba` with the given geometry, capped like partitioning
// tools cap it.
void PutChs(Sector& s, std::size_t at, std::uint64_t lba, std::uint32_t heads, std::uint32_t spt) {
  std::uint64_t c = lba / (heads * spt);
  std::uint64_t h = lba / spt % heads;
  std::uint64_t sec = lba % spt + 1;
  if (c > 1023) {
    c = 1023;
    h = heads - 1;
    sec = spt;
  }
  Put(s, at, h, 1);
  Put(s, at + 1, (sec & 0x3F) | ((c >> 2) & 0xC0), 1);
  Put(s, at + 2, c & 0xFF, 1);
}

struct EntrySpec {
  std::uint8_t type;
  std::uint32_t start;
  std::uint32_t count;
};

Sector BootRecord(const std::vector<EntrySpec>& entries, std::uint32_t heads = 16,
                  std::uint32_t spt = 63, std::uint64_t base = 0) {
  Sector s(512);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::size_t at = 446 + 16 * i;
    const EntrySpec& e = entries[i];
    Put(s, at + 4, e.type, 1);
    PutChs(s, at + 1, base + e.start, heads, spt);
    PutChs(s, at + 5, base + e.start + e.count - 1, heads, spt);
    Put(s, at + 8, e.start, 4);
    Put(s, at + 12, e.count, 4);
  }
  Put(s, 510, 0xAA55, 2);
  return s;
}

// A disk of sparse sectors for the chain walk.
struct SparseDisk {
  std::map<std::uint64_t, Sector> sectors;
  std::uint64_t total = 0;
  SectorReader Reader() {
    return [this](std::uint64_t at, std::span<std::byte> out) {
      if (at >= total) return false;
      auto it = sectors.find(at);
      if (it == sectors.end()) {
        std::fill(out.begin(), out.end(), std::byte{0});
      } else {
        std::copy(it->second.begin(), it->second.end(), out.begin());
      }
      return true;
    };
  }
};

TEST(BootRecordTest, DecodesEntriesAndNeedsTheSignature) {
  Sector s = BootRecord({{0x06, 63, 1008 * 4 - 63}, {0x63, 4032, 100000}}, 16, 63);
  Put(s, 446, 0x80, 1);
  const auto entries = DecodeBootRecord(s);
  ASSERT_TRUE(entries);
  EXPECT_TRUE((*entries)[0].active);
  EXPECT_EQ((*entries)[0].type, 0x06);
  EXPECT_EQ((*entries)[0].first.head, 1u);
  EXPECT_EQ((*entries)[0].first.sector, 1u);
  EXPECT_EQ((*entries)[1].startSector, 4032u);
  EXPECT_EQ((*entries)[1].first.cylinder, 4u);
  EXPECT_TRUE((*entries)[1].IsSco());
  EXPECT_TRUE((*entries)[2].IsEmpty());

  Put(s, 510, 0xAA56, 2);
  EXPECT_FALSE(DecodeBootRecord(s));
  EXPECT_FALSE(DecodeBootRecord(std::span<const std::byte>(s).first(511)));
}

TEST(PartitionListTest, PrimariesThenTheLogicalChain) {
  SparseDisk disk{{}, 200000};
  disk.sectors[0] = BootRecord({{0x06, 63, 945}, {0x05, 2016, 100000}, {0x63, 102016, 50000}});
  // Two logical partitions: each record's first entry relative to itself,
  // the link relative to the extended partition's start.
  disk.sectors[2016] = BootRecord({{0x83, 63, 1000}, {0x05, 2000, 3000}});
  disk.sectors[4016] = BootRecord({{0x02, 63, 2000}});
  const PartitionList list = ReadPartitionList(disk.Reader(), disk.total);
  ASSERT_TRUE(list.hasBootRecord);
  EXPECT_TRUE(list.problems.empty()) << list.problems.front();
  ASSERT_EQ(list.partitions.size(), 5u);
  EXPECT_EQ(list.partitions[2].number, 3u);
  EXPECT_EQ(list.partitions[2].startSector, 102016u);
  EXPECT_EQ(list.partitions[3].number, 5u);
  EXPECT_EQ(list.partitions[3].startSector, 2016u + 63);
  EXPECT_EQ(list.partitions[4].number, 6u);
  EXPECT_EQ(list.partitions[4].startSector, 4016u + 63);
  EXPECT_EQ(list.partitions[4].type, 0x02);
}

TEST(PartitionListTest, BadChainsAndEntriesEndOrAreCut) {
  {
    // The second record links back to the first: read once, then stop.
    SparseDisk disk{{}, 100000};
    disk.sectors[0] = BootRecord({{0x05, 1000, 50000}});
    disk.sectors[1000] = BootRecord({{0x63, 63, 100}, {0x05, 1000, 100}});
    disk.sectors[2000] = BootRecord({{0x63, 63, 100}, {0x05, 1000, 100}});
    const PartitionList list = ReadPartitionList(disk.Reader(), disk.total);
    EXPECT_EQ(list.partitions.size(), 3u);
    ASSERT_EQ(list.problems.size(), 1u);
    EXPECT_NE(list.problems[0].find("returns to sector 2000"), std::string::npos);
  }
  {
    // A link out of the extended partition, and a logical partition
    // reaching past it.
    SparseDisk disk{{}, 100000};
    disk.sectors[0] = BootRecord({{0x0F, 1000, 5000}});
    disk.sectors[1000] = BootRecord({{0x63, 63, 10000}, {0x05, 7000, 100}});
    const PartitionList list = ReadPartitionList(disk.Reader(), disk.total);
    EXPECT_EQ(list.partitions.size(), 1u);
    EXPECT_EQ(list.problems.size(), 2u);
  }
  {
    // A chain of records that each link to the next never ends by itself.
    SparseDisk disk{{}, 1000000};
    disk.sectors[0] = BootRecord({{0x05, 1000, 900000}});
    for (std::uint32_t i = 0; i < 200; ++i) {
      disk.sectors[1000 + 100 * i] = BootRecord({{0x83, 1, 10}, {0x05, 100 * (i + 1), 100}});
    }
    const PartitionList list = ReadPartitionList(disk.Reader(), disk.total);
    EXPECT_EQ(list.partitions.size(), 1 + kMaxLogicalPartitions);
  }
  {
    // Primary entries outside the disk, or reaching past its end.
    SparseDisk disk{{}, 10000};
    disk.sectors[0] = BootRecord({{0x63, 63, 20000}, {0x06, 20000, 10}, {0x06, 0, 10}});
    const PartitionList list = ReadPartitionList(disk.Reader(), disk.total);
    ASSERT_EQ(list.partitions.size(), 1u);
    EXPECT_EQ(list.partitions[0].sectorCount, 10000u - 63);
    EXPECT_EQ(list.problems.size(), 3u);
  }
  {
    SparseDisk disk{{}, 10000};
    EXPECT_FALSE(ReadPartitionList(disk.Reader(), disk.total).hasBootRecord);
  }
}

TEST(ChsGeometryTest, FromTheEndAddressCheckedAgainstTheStart) {
  auto partitionOf = [](std::uint32_t start, std::uint32_t count, std::uint32_t heads,
                        std::uint32_t spt) {
    SparseDisk disk{{}, 1u << 30};
    disk.sectors[0] = BootRecord({{0x63, start, count}}, heads, spt);
    return ReadPartitionList(disk.Reader(), disk.total).partitions.at(0);
  };
  auto g = GeometryFromChs(partitionOf(63, 1008 * 100 - 63, 16, 63));
  ASSERT_TRUE(g);
  EXPECT_EQ(g->heads, 16u);
  EXPECT_EQ(g->sectorsPerTrack, 63u);
  g = GeometryFromChs(partitionOf(32, 2048 * 50 - 32, 64, 32));
  ASSERT_TRUE(g);
  EXPECT_EQ(g->SectorsPerCylinder(), 2048u);
  // Beyond cylinder 1023 both addresses are capped; the cap names the geometry.
  g = GeometryFromChs(partitionOf(16065 * 1100, 16065 * 10, 255, 63));
  ASSERT_TRUE(g);
  EXPECT_EQ(g->SectorsPerCylinder(), 16065u);
  // A start address that does not map back with the end's geometry.
  DiskPartition odd = partitionOf(63, 1008 * 100 - 63, 16, 63);
  odd.first.head = 3;
  EXPECT_FALSE(GeometryFromChs(odd));
  odd.last.sector = 0;
  EXPECT_FALSE(GeometryFromChs(odd));
}

TEST(DivisionTableTest, DecodesAndChecksTheEntries) {
  Sector s(512);
  Put(s, 0, 0x1234, 2);
  const std::uint32_t entries[8][2] = {{0, 1024}, {1024, 1024}, {300000, 4000}, {2048, 200000},
                                       {0, 0},    {0, 0},       {0, 0},         {0, 400000}};
  for (std::size_t i = 0; i < 8; ++i) {
    Put(s, 2 + 8 * i, entries[i][0], 4);
    Put(s, 6 + 8 * i, entries[i][1], 4);
  }
  auto table = DecodeDivisionTable(s);
  ASSERT_TRUE(table);
  EXPECT_EQ(table->entries[2].offsetKb, 300000u);
  EXPECT_EQ(table->entries[3].lengthKb, 200000u);
  EXPECT_EQ(table->entries[7].lengthKb, 400000u);
  // Divisions in any order are sound; the whole-area entry overlaps nothing.
  EXPECT_TRUE(CheckDivisionTable(*table, 400000).empty());

  // Past the area's end, and two divisions over one another.
  auto problems = CheckDivisionTable(*table, 303000);
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].division, 2u);
  EXPECT_TRUE(problems[0].pastEnd);
  table->entries[4] = {2000, 100};
  problems = CheckDivisionTable(*table, 400000);
  ASSERT_EQ(problems.size(), 2u);
  EXPECT_EQ(problems[0].division, 4u);
  EXPECT_EQ(problems[0].overlaps, 1u);
  EXPECT_EQ(problems[1].overlaps, 3u);
  // Sums that would wrap at 32 bits still count as past the end.
  table->entries[5] = {0xFFFFFF00u, 0x200};
  EXPECT_TRUE(CheckDivisionTable(*table, 400000).back().pastEnd);

  Put(s, 0, 0x4321, 2);
  EXPECT_FALSE(DecodeDivisionTable(s));
  EXPECT_FALSE(DecodeDivisionTable(std::span<const std::byte>(s).first(60)));
}

TEST(BadTrackTableTest, MarkCountAndPairs) {
  Sector s(512);
  Put(s, 0, 0x4321, 2);
  EXPECT_TRUE(DecodeBadTrackTable(s)->tracks.empty());
  Put(s, 2, 2, 2);
  Put(s, 4, 17, 4);
  Put(s, 8, 900, 4);
  Put(s, 12, 18, 4);
  Put(s, 16, 901, 4);
  const auto table = DecodeBadTrackTable(s);
  ASSERT_TRUE(table);
  ASSERT_EQ(table->tracks.size(), 2u);
  EXPECT_EQ(table->tracks[1], std::make_pair(18u, 901u));
  Put(s, 2, 0xFFFF, 2);
  EXPECT_EQ(DecodeBadTrackTable(s)->tracks.size(), kMaxBadTracks);
  EXPECT_TRUE(DecodeBadTrackTable(s)->countCut);
  Put(s, 0, 0x1234, 2);
  EXPECT_FALSE(DecodeBadTrackTable(s));
}

TEST(DivisionBaseTest, FirstCylinderBoundaryPastTheReservedSectors) {
  EXPECT_EQ(DivisionBase(63, 16 * 63), 1008u);
  EXPECT_EQ(DivisionBase(63, 255 * 63), 16065u);
  EXPECT_EQ(DivisionBase(32, 64 * 32), 2048u);
  EXPECT_EQ(DivisionBase(2016, 16 * 63), 3024u);
  EXPECT_EQ(DivisionBase(956, 1008), 1008u);  // 956 + 52 lands on the boundary
  EXPECT_EQ(DivisionBase(63, 0), 115u);
}

}  // namespace
}  // namespace tolvar
