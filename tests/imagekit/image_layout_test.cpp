// Layout invariants of built images: superblock, partition information, block
// allocation and free lists, read back with the test-local decoders.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <tuple>

#include "imagekit/image_builder.hpp"
#include "tests/imagekit/sco_decode.hpp"

namespace tolvar::imagekit {
namespace {

using testing::Decoded;
using testing::View;

// A tree with something of everything: small and large files (one needing
// double indirection), nested folders, a folder of many entries.
Node VariedTree() {
  std::vector<Node> many;
  for (int i = 0; i < 300; ++i) {
    many.push_back(Node::File("entry_with_a_long_name_" + std::to_string(i), "x"));
  }
  Node root = Node::Folder(
      "", {
              Node::File("readme", "hello\n"),
              Node::Filled("empty", 0, {}),
              Node::Filled("ten", 10 * 1024, {Fill::Pattern::kOffset, 0, {}, 0}),
              Node::Filled("eleven", 10 * 1024 + 1, {Fill::Pattern::kByte, 0x41, {}, 0}),
              Node::Filled("large", 400 * 1024, {Fill::Pattern::kRandom, 0, {}, 9}),
              Node::Folder("sub", {Node::Folder("deeper", {Node::File("leaf", "leaf")})}),
              Node::Folder("many", std::move(many)),
          });
  return root;
}

DiskDescription OneVolume(FsKind fs, PartitionLayout layout = PartitionLayout::kReal) {
  DiskDescription disk;
  disk.layout = layout;
  VolumeDescription v;
  v.fs = fs;
  v.root = VariedTree();
  disk.volumes.push_back(std::move(v));
  return disk;
}

class BothFormats : public ::testing::TestWithParam<FsKind> {};

TEST_P(BothFormats, SuperblockReadsBackAsWritten) {
  auto image = BuildImageBytes(OneVolume(GetParam()));
  ASSERT_TRUE(image) << image.error().message;
  const VolumeReport& v = image->report.volumes.at(0);
  auto view = View(image->bytes, v);
  std::uint64_t sb = view.Super();
  bool htfs = GetParam() == FsKind::kHtfs;
  EXPECT_EQ(view.disk.U32(sb + 504), htfs ? 0xA060492Au : 0xFD187E21u);
  EXPECT_EQ(view.disk.U32(sb + 4), v.sizeBlocks);
  EXPECT_EQ(view.disk.U16(sb + 0), v.firstDataBlock);
  EXPECT_EQ(v.firstDataBlock, 2 + v.inodeTableBlocks);
  EXPECT_EQ(view.disk.U32(sb + 508), 2u);
  EXPECT_EQ(view.disk.U32(sb + 420), static_cast<std::uint32_t>(v.time));
  EXPECT_EQ(view.disk.U32(sb + 500), 0x7C269D38u - view.disk.U32(sb + 420));
  EXPECT_EQ(view.disk.U32(sb + 432), v.freeBlocks);
  EXPECT_EQ(view.disk.Text(sb + 440, 4), std::string("root"));
  if (htfs) {
    EXPECT_NE(view.disk.U32(sb + 0), 0u);
    EXPECT_NE(view.disk.U32(sb + 244), 0u);
    // What the probe computes as the inode count is exactly the table.
    EXPECT_EQ(view.disk.U32(sb + 248), v.inodeTableBlocks);
    EXPECT_EQ(view.disk.U32(sb + 248) * 2 * 4, v.inodeSlots);
  } else {
    EXPECT_LE(v.inodeSlots, v.sizeBlocks * 2 * 16);
    EXPECT_EQ(v.inodeTableBlocks, (v.inodeSlots + 15) / 16);
  }
  for (const NodeReport& n : v.nodes) EXPECT_LE(n.inode, v.inodeSlots);
}

TEST_P(BothFormats, BlocksAreAllocatedOnceInsideTheVolumeAndFreeListsAgree) {
  auto image = BuildImageBytes(OneVolume(GetParam()));
  ASSERT_TRUE(image) << image.error().message;
  const VolumeReport& v = image->report.volumes.at(0);
  auto view = View(image->bytes, v);

  // Walk the tree from the root inode as written on disk.
  std::set<std::uint32_t> inodes;
  std::set<std::uint32_t> used;
  std::vector<std::uint32_t> queue{2};
  std::size_t names = 0;
  while (!queue.empty()) {
    std::uint32_t ino = queue.back();
    queue.pop_back();
    if (!inodes.insert(ino).second) continue;
    auto [data, indirect] = view.Blocks(ino);
    for (auto list : {data, indirect}) {
      for (std::uint32_t b : list) {
        EXPECT_GE(b, v.firstDataBlock);
        EXPECT_LT(b, v.sizeBlocks);
        EXPECT_TRUE(used.insert(b).second) << "block " << b << " allocated twice";
      }
    }
    if ((view.Mode(ino) & 0xF000) == 0x4000) {
      for (auto& [name, child] : view.List(ino)) {
        ++names;
        queue.push_back(child);
      }
    }
  }
  EXPECT_EQ(names, v.nodes.size() - 1);
  EXPECT_EQ(used.size(), v.usedBlocks);

  std::vector<std::uint32_t> free = view.FreeBlocks();
  std::set<std::uint32_t> freeSet(free.begin(), free.end());
  EXPECT_EQ(freeSet.size(), free.size()) << "a block is listed free twice";
  EXPECT_EQ(free.size(), v.freeBlocks);
  for (std::uint32_t b : free) {
    EXPECT_FALSE(used.contains(b)) << "block " << b << " is both used and free";
    EXPECT_GE(b, v.firstDataBlock);
    EXPECT_LT(b, v.sizeBlocks);
  }
  EXPECT_EQ(used.size() + free.size(), v.sizeBlocks - v.firstDataBlock);

  // Free-inode cache: unused inode numbers only; the total matches.
  std::uint64_t sb = view.Super();
  std::uint32_t cached = view.disk.U16(sb + 212);
  EXPECT_GT(cached, 0u);
  for (std::uint32_t i = 0; i < cached; ++i) {
    std::uint32_t ino = view.disk.U16(sb + 216 + 2 * i);
    EXPECT_FALSE(inodes.contains(ino));
    EXPECT_EQ(view.Mode(ino), 0u);
  }
  EXPECT_EQ(view.disk.U16(sb + 436), v.inodeSlots - 1 - inodes.size());
}

TEST_P(BothFormats, ReportMatchesTheInodes) {
  auto image = BuildImageBytes(OneVolume(GetParam()));
  ASSERT_TRUE(image) << image.error().message;
  const VolumeReport& v = image->report.volumes.at(0);
  auto view = View(image->bytes, v);
  for (const NodeReport& n : v.nodes) {
    auto [data, indirect] = view.Blocks(n.inode);
    EXPECT_EQ(data, n.dataBlocks) << n.path;
    EXPECT_EQ(indirect, n.indirectBlocks) << n.path;
    EXPECT_EQ(view.Size(n.inode), n.size) << n.path;
  }
  const NodeReport* large = v.Find("/large");
  ASSERT_NE(large, nullptr);
  EXPECT_EQ(large->dataBlocks.size(), 400u);
  EXPECT_EQ(large->indirectBlocks.size(), 3u);  // single, double and one below it
  EXPECT_NE(view.Address(large->inode, 11), 0u);
}

INSTANTIATE_TEST_SUITE_P(Formats, BothFormats, ::testing::Values(FsKind::kHtfs, FsKind::kEafs),
                         [](const ::testing::TestParamInfo<FsKind>& param) {
                           return param.param == FsKind::kHtfs ? "Htfs" : "Eafs";
                         });

TEST(RealLayout, PartitionRecordsReadBackAndTheProbeRuleFindsEveryVolume) {
  DiskDescription disk = OneVolume(FsKind::kHtfs);
  for (FsKind fs : {FsKind::kEafs, FsKind::kHtfs, FsKind::kEafs}) {
    VolumeDescription v;
    v.fs = fs;
    v.root = Node::Folder("", {Node::File("f", "data")});
    disk.volumes.push_back(std::move(v));
  }
  auto image = BuildImageBytes(disk);
  ASSERT_TRUE(image) << image.error().message;
  const BuildReport& r = image->report;
  Decoded d(image->bytes);

  EXPECT_EQ(r.totalSectors * 512, image->bytes.size());
  EXPECT_EQ(r.geometry.sectorsPerTrack, 63u);
  EXPECT_EQ(r.totalSectors % (r.geometry.heads * 63ull), 0u);
  EXPECT_EQ(d.U16(510), 0xAA55u);
  EXPECT_EQ(d.U8(446 + 4), 0x63u);
  EXPECT_EQ(d.U32(446 + 8), 63u);
  EXPECT_EQ(d.U32(446 + 12), r.totalSectors - 63);
  EXPECT_EQ(d.U16(107 * 512), 0x4321u);

  std::uint64_t cylinder = r.geometry.heads * 63ull;
  EXPECT_EQ(r.divisionBaseSector % cylinder, 0u);
  EXPECT_GE(r.divisionBaseSector, 63u + 52u);
  EXPECT_LT(r.divisionBaseSector - cylinder, 63u + 52u);

  // Read as divisions: offset and size in KiB from the base, in order, not
  // overlapping, each volume at its division's offset and inside it.
  std::uint64_t rec = 105 * 512;
  EXPECT_EQ(d.U16(rec), 0x1234u);
  std::uint64_t previousEnd = 0;
  for (int i = 0; i < 7; ++i) {
    std::uint32_t offset = d.U32(rec + 2 + 8 * i);
    std::uint32_t size = d.U32(rec + 6 + 8 * i);
    if (size == 0) continue;
    EXPECT_GE(offset, previousEnd) << "division " << i;
    previousEnd = offset + size;
  }
  EXPECT_EQ(d.U32(rec + 2 + 8 * 7), 0u);
  EXPECT_EQ(d.U32(rec + 6 + 8 * 7), (r.totalSectors - r.divisionBaseSector) / 2);
  EXPECT_LE(previousEnd, d.U32(rec + 6 + 8 * 7));
  for (const VolumeReport& v : r.volumes) {
    std::uint64_t div = rec + 2 + 8 * static_cast<std::uint64_t>(v.recordEntry);
    EXPECT_EQ(r.divisionBaseSector + 2ull * d.U32(div), v.startSector);
    EXPECT_LE(v.sizeBlocks, d.U32(div + 4));
  }

  // Read as the volume probe reads it: every volume found, in order.
  std::vector<std::uint64_t> expected;
  for (const VolumeReport& v : r.volumes) expected.push_back(v.startSector);
  EXPECT_EQ(testing::StartsByRecordRule(d), expected);
}

TEST(RealLayout, AGivenSizeIsKeptAndTheLastVolumeFillsIt) {
  DiskDescription disk = OneVolume(FsKind::kEafs);
  disk.sizeBytes = 16065ull * 512 * 8;
  auto image = BuildImageBytes(disk);
  ASSERT_TRUE(image) << image.error().message;
  EXPECT_EQ(image->bytes.size(), *disk.sizeBytes);
  EXPECT_EQ(image->report.geometry.heads, 255u);
  EXPECT_EQ(image->report.divisionBaseSector, 16065u);
  const VolumeReport& v = image->report.volumes[0];
  EXPECT_GE(v.startSector + 2ull * v.sizeBlocks, image->report.totalSectors - 1);
  EXPECT_EQ(testing::StartsByRecordRule(Decoded(image->bytes)),
            std::vector<std::uint64_t>{v.startSector});
}

TEST(FlatLayouts, AbsoluteRecordNamesStartSectorsAndNoneWritesNothing) {
  DiskDescription disk = OneVolume(FsKind::kHtfs, PartitionLayout::kAbsolute);
  VolumeDescription second;
  second.fs = FsKind::kEafs;
  second.startSector = 40000;
  disk.volumes.push_back(second);
  auto image = BuildImageBytes(disk);
  ASSERT_TRUE(image) << image.error().message;
  Decoded d(image->bytes);
  EXPECT_EQ(d.U16(510), 0u);  // no master boot record
  EXPECT_EQ(d.U16(105 * 512), 0x1234u);
  for (std::size_t i = 0; i < 2; ++i) {
    const VolumeReport& v = image->report.volumes[i];
    EXPECT_EQ(d.U32(105 * 512 + 2 + 8 * i), v.startSector);
    EXPECT_EQ(d.U32(105 * 512 + 6 + 8 * i), v.sizeBlocks);
  }
  EXPECT_EQ(image->report.volumes[1].startSector, 40000u);
  EXPECT_EQ(testing::StartsByRecordRule(d).size(), 2u);

  disk.layout = PartitionLayout::kNone;
  auto bare = BuildImageBytes(disk);
  ASSERT_TRUE(bare) << bare.error().message;
  Decoded b(bare->bytes);
  EXPECT_EQ(b.U16(105 * 512), 0u);
  EXPECT_EQ(b.U32((bare->report.volumes[0].startSector + 1) * 512 + 504), 0xA060492Au);
}

TEST(Limits, AreRefusedWithAClearError) {
  auto fails = [](const DiskDescription& disk, std::string_view words) {
    auto built = BuildImageBytes(disk);
    if (built) return ::testing::AssertionFailure() << "built";
    if (built.error().message.find(words) == std::string::npos) {
      return ::testing::AssertionFailure() << built.error().message;
    }
    return ::testing::AssertionSuccess();
  };
  DiskDescription disk;
  disk.volumes.emplace_back();
  std::string longName(256, 'n');
  disk.volumes[0].root = Node::Folder("", {Node::Folder("dir", {Node::File(longName, "")})});
  EXPECT_TRUE(fails(disk, "/dir/" + longName + ": the name is longer than 255 bytes"));
  disk.volumes[0].fs = FsKind::kEafs;
  EXPECT_TRUE(fails(disk, "longer than 255 bytes"));
  disk.volumes[0].root.children[0].children[0].name.pop_back();  // 255 is fine
  EXPECT_TRUE(BuildImageBytes(disk));

  disk.volumes[0].root.children.assign(65534, Node::Pipe(""));
  for (std::size_t i = 0; i < disk.volumes[0].root.children.size(); ++i) {
    disk.volumes[0].root.children[i].name = std::to_string(i);
  }
  EXPECT_TRUE(fails(disk, "EAFS inode numbers end at 65534"));

  DiskDescription big;
  big.volumes.emplace_back();
  big.volumes[0].sizeBlocks = 0x5000001;  // beyond what the volume probe accepts
  EXPECT_TRUE(fails(big, "more than the"));
  big.volumes[0].sizeBlocks = 4;
  EXPECT_TRUE(fails(big, "the contents need"));
  big.volumes[0].sizeBlocks.reset();
  big.volumes[0].root.children.push_back(Node::Filled("huge", 1ull << 32, {}));
  EXPECT_TRUE(fails(big, "/huge: files hold at most 4294967295 bytes"));

  DiskDescription tooMany;
  tooMany.volumes.resize(6);
  EXPECT_TRUE(fails(tooMany, "at most 5 volumes"));
  tooMany.layout = PartitionLayout::kAbsolute;
  tooMany.volumes.resize(8);
  EXPECT_TRUE(fails(tooMany, "at most 7 volumes"));
  tooMany.layout = PartitionLayout::kNone;
  EXPECT_TRUE(BuildImageBytes(tooMany));

  DiskDescription small = OneVolume(FsKind::kHtfs);
  small.sizeBytes = 1008 * 512;
  EXPECT_TRUE(fails(small, "too small"));
  small.layout = PartitionLayout::kAbsolute;
  small.volumes[0].startSector = 100;  // would cover the record at sector 105
  small.sizeBytes.reset();
  EXPECT_TRUE(fails(small, "overlap"));
}

}  // namespace
}  // namespace tolvar::imagekit

namespace tolvar::imagekit {
namespace {

using testing::Decoded;

// The MBR entry of `slot`: (type, start, count, CHS of the first and last
// sector as cylinder, head, sector).
struct MbrRead {
  std::uint32_t type, start, count;
  std::uint32_t firstC, firstH, firstS, lastC, lastH, lastS;
};
MbrRead ReadEntry(const Decoded& d, std::uint32_t slot) {
  const std::uint64_t at = 446 + 16 * slot;
  auto chs = [&](std::uint64_t o, std::uint32_t& c, std::uint32_t& h, std::uint32_t& s) {
    h = d.U8(o);
    s = d.U8(o + 1) & 0x3F;
    c = ((d.U8(o + 1) & 0xC0) << 2) | d.U8(o + 2);
  };
  MbrRead e{d.U8(at + 4), d.U32(at + 8), d.U32(at + 12), 0, 0, 0, 0, 0, 0};
  chs(at + 1, e.firstC, e.firstH, e.firstS);
  chs(at + 5, e.lastC, e.lastH, e.lastS);
  return e;
}

TEST(ScoLayout, MbrDivisionTableAndBadTracksWhereThePartitionPutsThem) {
  DiskDescription disk;
  disk.layout = PartitionLayout::kSco;
  disk.geometry = ChsGeometryDescription{64, 32};
  PartitionDescription dos;
  dos.type = 0x06;
  dos.sectors = 3000;
  PartitionDescription sco;
  sco.type = 0x02;
  sco.slot = 2;
  sco.badTracks = {{7, 70}};
  disk.partitions = {dos, sco};
  for (auto [fs, blocks, division] :
       {std::tuple{FsKind::kHtfs, 5000u, 4u}, std::tuple{FsKind::kAfs, 200u, 2u}}) {
    VolumeDescription v;
    v.fs = fs;
    v.sizeBlocks = blocks;
    v.division = division;
    v.root = Node::Folder("", {Node::File("a", "b")});
    disk.volumes.push_back(v);
  }
  auto image = BuildImageBytes(disk);
  ASSERT_TRUE(image) << image.error().message;
  const BuildReport& r = image->report;
  Decoded d(image->bytes);
  EXPECT_EQ(d.U16(510), 0xAA55u);

  const MbrRead first = ReadEntry(d, 0);
  EXPECT_EQ(first.type, 0x06u);
  EXPECT_EQ(first.start, 32u);  // the second track
  EXPECT_EQ(first.count, 3000u);
  EXPECT_EQ(first.firstH, 1u);
  EXPECT_EQ(first.firstS, 1u);
  const MbrRead second = ReadEntry(d, 2);
  EXPECT_EQ(ReadEntry(d, 1).type, 0u);
  EXPECT_EQ(second.type, 0x02u);
  EXPECT_EQ(second.start, 4096u);  // the next 64 x 32 cylinder
  EXPECT_EQ(r.scoPartitionSlot, 2u);
  EXPECT_EQ(r.scoPartitionStart, 4096u);
  EXPECT_EQ(second.count, r.scoPartitionSectors);
  EXPECT_EQ(second.firstC, 2u);
  EXPECT_EQ(second.firstH, 0u);
  // The partition ends on a cylinder: its end names the geometry.
  EXPECT_EQ(second.lastH, 63u);
  EXPECT_EQ(second.lastS, 32u);
  EXPECT_EQ((second.start + second.count) % 2048, 0u);

  // The base: the first cylinder boundary past the 52 reserved sectors.
  EXPECT_EQ(r.divisionBaseSector, 6144u);
  const std::uint64_t table = (4096 + 42) * 512ull;
  EXPECT_EQ(d.U16(table), 0x1234u);
  EXPECT_EQ(d.U16(105 * 512), 0u);  // nothing at the old record's sector
  // Boot and swap, then the volumes packed in the order given, each entry
  // in the division it asked for.
  EXPECT_EQ(d.U32(table + 2), 0u);
  EXPECT_EQ(d.U32(table + 6), 1024u);
  EXPECT_EQ(d.U32(table + 2 + 8 * 4), 2048u);
  EXPECT_EQ(d.U32(table + 6 + 8 * 4), 5000u);
  EXPECT_EQ(d.U32(table + 2 + 8 * 2), 7048u);
  EXPECT_EQ(d.U32(table + 6 + 8 * 2), 200u);
  EXPECT_EQ(d.U32(table + 2 + 8 * 7), 0u);
  EXPECT_EQ(d.U32(table + 6 + 8 * 7), (4096 + r.scoPartitionSectors - 6144) / 2);
  for (std::size_t i = 0; i < 2; ++i) {
    const VolumeReport& v = r.volumes[i];
    const std::uint32_t division = static_cast<std::uint32_t>(v.division);
    EXPECT_EQ(v.startSector, 6144 + 2 * d.U32(table + 2 + 8 * division));
  }
  EXPECT_EQ(r.volumes[0].division, 4);
  // AFS: its own magic and the all-ones free count.
  const std::uint64_t afs = (r.volumes[1].startSector + 1) * 512ull;
  EXPECT_EQ(d.U32(afs + 504), 0xFD187E20u);
  EXPECT_EQ(d.U16(afs + 8), 0xFFFFu);
  // The bad-track table.
  const std::uint64_t bad = (4096 + 44) * 512ull;
  EXPECT_EQ(d.U16(bad), 0x4321u);
  EXPECT_EQ(d.U16(bad + 2), 1u);
  EXPECT_EQ(d.U32(bad + 4), 7u);
  EXPECT_EQ(d.U32(bad + 8), 70u);
}

TEST(ScoLayout, ConflictsAreRefused) {
  auto fails = [](const DiskDescription& disk, std::string_view words) {
    auto built = BuildImageBytes(disk);
    if (built) return ::testing::AssertionFailure() << "built";
    if (built.error().message.find(words) == std::string::npos) {
      return ::testing::AssertionFailure() << built.error().message;
    }
    return ::testing::AssertionSuccess();
  };
  DiskDescription disk;
  disk.layout = PartitionLayout::kSco;
  disk.volumes.resize(2);
  disk.partitions.resize(2);  // two SCO partitions
  EXPECT_TRUE(fails(disk, "exactly one partition of type 0x63 or 0x02, 2 given"));
  disk.partitions[0].type = 0x06;
  disk.partitions[0].slot = 1;
  EXPECT_TRUE(fails(disk, "slot 1 is not a free slot"));
  disk.partitions[0].slot.reset();
  disk.volumes[1].division = 2;
  EXPECT_TRUE(fails(disk, "volume 2: division 2 is not a free division"));
  disk.volumes[1].division = 3;
  disk.volumes[1].startSector = 2016 + 2 * 2050;  // within volume 1's division
  EXPECT_TRUE(fails(disk, "overlaps another"));
  disk.volumes[1].startSector.reset();
  disk.partitions[1].divisionBase = 1008 + 10;
  EXPECT_TRUE(fails(disk, "lies within the 52 reserved sectors"));
  disk.partitions[1].divisionBase.reset();
  EXPECT_TRUE(BuildImageBytes(disk));

  disk.volumes[0].fs = FsKind::kAfs;
  disk.volumes[0].root = Node::Folder("", {Node::File("fifteen_bytes_x", "")});
  EXPECT_TRUE(fails(disk, "/fifteen_bytes_x: AFS names hold at most 14 bytes"));

  DiskDescription real;
  real.volumes.resize(1);
  real.volumes[0].division = 2;
  EXPECT_TRUE(fails(real, "divisions belong to the sco layout only"));
  real.volumes[0].division.reset();
  real.geometry = ChsGeometryDescription{};
  EXPECT_TRUE(fails(real, "belong to the sco layout only"));
}

}  // namespace
}  // namespace tolvar::imagekit
