// What the builder puts into directories and inodes, the damage it applies,
// and that its output is deterministic and sparse.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "disk/fault_injecting_source.hpp"
#include "imagekit/image_builder.hpp"
#include "tests/imagekit/sco_decode.hpp"
#include "tests/support/temp_dir.hpp"

namespace tolvar::imagekit {
namespace {

using testing::View;

struct Built {
  BuiltImage image;
  testing::VolumeView view;
  const VolumeReport& volume() const { return image.report.volumes.at(0); }
  std::uint32_t Inode(std::string_view path) const {
    const NodeReport* n = volume().Find(path);
    EXPECT_NE(n, nullptr) << path;
    return n == nullptr ? 0 : n->inode;
  }
};

Built Build(FsKind fs, Node root, std::vector<Damage> damage = {}) {
  DiskDescription disk;
  VolumeDescription v;
  v.fs = fs;
  v.root = std::move(root);
  disk.volumes.push_back(std::move(v));
  disk.damage = std::move(damage);
  auto image = BuildImageBytes(disk);
  EXPECT_TRUE(image) << image.error().message;
  BuiltImage bytes = image ? std::move(*image) : BuiltImage{};
  auto view = View(bytes.bytes, bytes.report.volumes.at(0));
  return Built{std::move(bytes), view};
}

TEST(Eafs, LongNamesAreChainsOfFourteenByteParts) {
  std::string name40 = "a_rather_long_file_name_of_forty_bytes__";
  ASSERT_EQ(name40.size(), 40u);
  Built b = Build(FsKind::kEafs,
                  Node::Folder("", {Node::File("exactly14bytes", "1"), Node::File(name40, "2")}));
  b.view = View(b.image.bytes, b.volume());
  std::uint64_t dir = b.view.Block(b.view.Address(2, 0));
  const auto& d = b.view.disk;
  EXPECT_EQ(d.U16(dir), 2u);
  EXPECT_EQ(d.Text(dir + 2, 2), std::string(".\0", 2));
  EXPECT_EQ(d.U16(dir + 16), 2u);
  EXPECT_EQ(d.Text(dir + 18, 3), std::string("..\0", 3));
  EXPECT_EQ(d.U16(dir + 32), b.Inode("/exactly14bytes"));
  EXPECT_EQ(d.Text(dir + 34, 14), "exactly14bytes");
  // 40 bytes: 14 + 14 under 0xFFFF, then the last 12 with the inode.
  EXPECT_EQ(d.U16(dir + 48), 0xFFFFu);
  EXPECT_EQ(d.Text(dir + 50, 14), name40.substr(0, 14));
  EXPECT_EQ(d.U16(dir + 64), 0xFFFFu);
  EXPECT_EQ(d.Text(dir + 66, 14), name40.substr(14, 14));
  EXPECT_EQ(d.U16(dir + 80), b.Inode("/" + name40));
  EXPECT_EQ(d.Text(dir + 82, 14), name40.substr(28) + std::string(2, '\0'));
  EXPECT_EQ(b.view.Size(2), 6u * 16);
}

TEST(Eafs, ChainsDoNotCrossBlocksAndBigFoldersGetMoreBlocks) {
  std::vector<Node> files;
  for (int i = 0; i < 61; ++i) files.push_back(Node::File("f" + std::to_string(i), ""));
  files.push_back(Node::File(std::string(30, 'L'), ""));  // needs 3 slots, 1 left in block 0
  Built b = Build(FsKind::kEafs, Node::Folder("", std::move(files)));
  b.view = View(b.image.bytes, b.volume());
  const NodeReport* root = b.volume().Find("/");
  ASSERT_EQ(root->dataBlocks.size(), 2u);
  std::uint64_t second = b.view.Block(root->dataBlocks[1]);
  EXPECT_EQ(b.view.disk.U16(second), 0xFFFFu);
  EXPECT_EQ(b.view.disk.U16(b.view.Block(root->dataBlocks[0]) + 63 * 16), 0u);
  EXPECT_EQ(b.view.List(2).size(), 62u);
}

TEST(Htfs, DirectoryRecordsChainToTheBlockEnd) {
  Built b = Build(FsKind::kHtfs, Node::Folder("", {Node::File("a", ""), Node::File("bcdef", "")}));
  b.view = View(b.image.bytes, b.volume());
  std::uint64_t dir = b.view.Block(b.view.Address(2, 0));
  const auto& d = b.view.disk;
  EXPECT_EQ(d.U32(dir), 2u);
  EXPECT_EQ(d.U16(dir + 6), 12u);
  EXPECT_EQ(d.U8(dir + 8), 1u);
  EXPECT_EQ(d.Text(dir + 9, 1), ".");
  EXPECT_EQ(d.U32(dir + 12), 2u);
  EXPECT_EQ(d.Text(dir + 21, 2), "..");
  EXPECT_EQ(d.U16(dir + 18), 12u);
  EXPECT_EQ(d.U32(dir + 24), b.Inode("/a"));
  EXPECT_EQ(d.U16(dir + 30), 12u);
  EXPECT_EQ(d.U32(dir + 36), b.Inode("/bcdef"));
  EXPECT_EQ(d.U16(dir + 42), 1024u - 36);

  Built empty = Build(FsKind::kHtfs, Node::Folder(""));
  empty.view = View(empty.image.bytes, empty.volume());
  EXPECT_EQ(empty.view.disk.U16(empty.view.Block(empty.view.Address(2, 0)) + 18), 1012u);
}

TEST(Htfs, AFolderOfMoreThanTenBlocksUsesItsIndirectBlock) {
  std::vector<Node> files;
  for (int i = 0; i < 400; ++i)
    files.push_back(Node::File(std::string(40, 'a') + std::to_string(i), ""));
  Built b = Build(FsKind::kHtfs, Node::Folder("", {Node::Folder("big", std::move(files))}));
  b.view = View(b.image.bytes, b.volume());
  const NodeReport* big = b.volume().Find("/big");
  ASSERT_GT(big->dataBlocks.size(), 10u);
  ASSERT_EQ(big->indirectBlocks.size(), 1u);
  EXPECT_EQ(b.view.Address(big->inode, 10), big->indirectBlocks[0]);
  auto listed = b.view.List(big->inode);
  ASSERT_EQ(listed.size(), 400u);
  EXPECT_EQ(listed.back().first, std::string(40, 'a') + "399");
  // Every block but the first starts straight with an entry, and each block's
  // records add up to exactly 1024 bytes.
  for (std::uint32_t block : big->dataBlocks) {
    std::uint64_t at = b.view.Block(block);
    std::uint32_t o = 0;
    while (o < 1024) o += b.view.disk.U16(at + o + 6);
    EXPECT_EQ(o, 1024u);
  }
}

class Kinds : public ::testing::TestWithParam<FsKind> {};

TEST_P(Kinds, ModesLinksTimesAndContents) {
  Node file = Node::File("file", "contents");
  file.mtime = 1000000000;
  file.permissions = 0640;
  Node root = Node::Folder(
      "", {file, Node::HardLink("again", "/file"),
           Node::Folder("sub", {Node::HardLink("third", "/file")}), Node::Symlink("sym", "file"),
           Node::Device("tty", NodeKind::kCharDevice, 0x0102),
           Node::Device("disk", NodeKind::kBlockDevice, 0x0100), Node::Pipe("fifo")});
  Built b = Build(GetParam(), root);
  b.view = View(b.image.bytes, b.volume());
  std::uint32_t ino = b.Inode("/file");
  EXPECT_EQ(b.Inode("/again"), ino);
  EXPECT_EQ(b.Inode("/sub/third"), ino);
  EXPECT_EQ(b.view.Links(ino), 3u);
  EXPECT_EQ(b.view.Mode(ino), 0x8000u | 0640);
  EXPECT_EQ(b.view.Time(ino), 1000000000u);
  auto data = b.view.Blocks(ino).first;
  ASSERT_EQ(data.size(), 1u);
  EXPECT_EQ(b.view.disk.Text(b.view.Block(data[0]), 8), "contents");

  EXPECT_EQ(b.view.Mode(2), 0x4000u | 0755);
  EXPECT_EQ(b.view.Links(2), 3u);  // its own "." and "..", and the ".." of "sub"
  std::uint32_t sym = b.Inode("/sym");
  EXPECT_EQ(b.view.Mode(sym) & 0xF000, 0xA000u);
  EXPECT_EQ(b.view.disk.Text(b.view.Block(b.view.Address(sym, 0)), 4), "file");
  EXPECT_EQ(b.view.Size(sym), 4u);
  EXPECT_EQ(b.view.Mode(b.Inode("/tty")) & 0xF000, 0x2000u);
  EXPECT_EQ(b.view.Address(b.Inode("/tty"), 0), 0x0102u);
  EXPECT_EQ(b.view.Mode(b.Inode("/disk")) & 0xF000, 0x6000u);
  EXPECT_EQ(b.view.Mode(b.Inode("/fifo")) & 0xF000, 0x1000u);
  EXPECT_EQ(b.view.Address(b.Inode("/fifo"), 0), 0u);
  EXPECT_EQ(b.view.List(b.Inode("/sub")).at(0).second, ino);
}

TEST_P(Kinds, FilledFilesReadBackThroughTheirIndirectBlocks) {
  Fill fill{Fill::Pattern::kOffset, 0, {}, 0};
  std::uint64_t size = 300 * 1024 + 17;  // direct, single and double indirect
  Built b = Build(GetParam(), Node::Folder("", {Node::Filled("big", size, fill)}));
  b.view = View(b.image.bytes, b.volume());
  auto [data, indirect] = b.view.Blocks(b.Inode("/big"));
  ASSERT_EQ(data.size(), 301u);
  std::vector<std::byte> expected(1024);
  for (std::size_t k : {std::size_t{0}, std::size_t{9}, std::size_t{10}, std::size_t{265},
                        std::size_t{266}, std::size_t{300}}) {
    FillBytes(fill, k * 1024, expected);
    std::size_t n = k == 300 ? 17 : 1024;
    EXPECT_TRUE(
        std::equal(expected.begin(), expected.begin() + static_cast<std::ptrdiff_t>(n),
                   b.image.bytes.begin() + static_cast<std::ptrdiff_t>(b.view.Block(data[k]))))
        << "block " << k;
  }
  // The tail of the last block stays zero.
  EXPECT_EQ(b.view.disk.U32(b.view.Block(data[300]) + 20), 0u);
}

INSTANTIATE_TEST_SUITE_P(Formats, Kinds, ::testing::Values(FsKind::kHtfs, FsKind::kEafs),
                         [](const ::testing::TestParamInfo<FsKind>& param) {
                           return param.param == FsKind::kHtfs ? "Htfs" : "Eafs";
                         });

Node DamageTree() {
  return Node::Folder("", {Node::File("a", "aaaa"), Node::File("b", "bbbb"),
                           Node::Folder("d", {Node::File("c", "cccc")})});
}

TEST(Damage, ChangesExactlyWhatItNames) {
  auto damage = [](DamageKind kind, std::string path) {
    Damage d;
    d.kind = kind;
    d.path = std::move(path);
    return d;
  };
  Damage overwrite = damage(DamageKind::kOverwriteBlock, "/");
  overwrite.fillByte = 0xEE;
  Damage time = damage(DamageKind::kSetTime, "/b");
  time.value = -5;
  Damage up = damage(DamageKind::kRedirectEntry, "/d/c");
  up.target = "/d";
  Damage length = damage(DamageKind::kRecordLength, "/a");
  length.value = 0;
  Damage scramble = damage(DamageKind::kScrambleInode, "/d");
  scramble.seed = 3;
  Built clean = Build(FsKind::kHtfs, DamageTree());
  Built b = Build(FsKind::kHtfs, DamageTree(),
                  {overwrite, time, up, damage(DamageKind::kZeroInode, "/a"), scramble});
  b.view = View(b.image.bytes, b.volume());
  clean.view = View(clean.image.bytes, clean.volume());
  const auto& d = b.view.disk;

  std::uint64_t rootBlock = b.view.Block(b.volume().Find("/")->dataBlocks[0]);
  for (std::uint64_t i = 0; i < 1024; ++i) ASSERT_EQ(d.U8(rootBlock + i), 0xEEu);
  EXPECT_EQ(b.view.Time(b.Inode("/b")), static_cast<std::uint32_t>(-5));
  for (std::uint64_t i = 0; i < 128; ++i) ASSERT_EQ(d.U8(b.view.Inode(b.Inode("/a")) + i), 0u);
  EXPECT_NE(b.view.Mode(b.Inode("/d")), clean.view.Mode(clean.Inode("/d")));
  // /d's block lists "c" under the inode of /d itself.
  std::uint64_t dBlock = b.view.Block(b.volume().Find("/d")->dataBlocks[0]);
  EXPECT_EQ(d.U32(dBlock + 24), b.Inode("/d"));
  // Outside the damage the images agree: /b's data block.
  std::uint64_t bData = b.view.Block(b.volume().Find("/b")->dataBlocks[0]);
  EXPECT_EQ(d.Text(bData, 4), "bbbb");

  // Record length and deleted entries, on clean directory blocks.
  Damage deleted = damage(DamageKind::kDeleteEntry, "/a");
  Built e = Build(FsKind::kHtfs, DamageTree(), {deleted, length});
  e.view = View(e.image.bytes, e.volume());
  std::uint64_t root = e.view.Block(e.view.Address(2, 0));
  EXPECT_EQ(e.view.disk.U32(root + 24), 0u);
  EXPECT_EQ(e.view.disk.U16(root + 30), 0u);
  EXPECT_EQ(e.view.disk.Text(root + 33, 1), "a");
  EXPECT_EQ(e.view.disk.U32(root + 36), e.Inode("/b"));

  Built eafs = Build(FsKind::kEafs, DamageTree(), {damage(DamageKind::kDeleteEntry, "/b")});
  eafs.view = View(eafs.image.bytes, eafs.volume());
  std::uint64_t eroot = eafs.view.Block(eafs.view.Address(2, 0));
  EXPECT_EQ(eafs.view.disk.U16(eroot + 48), 0u);
  EXPECT_EQ(eafs.view.disk.U16(eroot + 64), eafs.Inode("/d"));  // live after the deleted one
}

TEST(Damage, RefusesWhatCannotBeAimed) {
  DiskDescription disk;
  disk.volumes.emplace_back();
  disk.volumes[0].fs = FsKind::kEafs;
  disk.volumes[0].root = DamageTree();
  Damage d;
  d.kind = DamageKind::kRecordLength;
  d.path = "/a";
  disk.damage = {d};
  EXPECT_FALSE(BuildImageBytes(disk));  // EAFS has no record lengths
  disk.damage[0].kind = DamageKind::kDeleteEntry;
  disk.damage[0].path = "/";
  EXPECT_FALSE(BuildImageBytes(disk));
  disk.damage[0].path = "/missing";
  EXPECT_FALSE(BuildImageBytes(disk));
  disk.damage[0].kind = DamageKind::kOverwriteBlock;
  disk.damage[0].path = "/a";
  disk.damage[0].block = 1;
  EXPECT_FALSE(BuildImageBytes(disk));
}

TEST(ImageFile, IsDeterministicSparseAndListsUnreadableSectorsBeside) {
  tolvar::testing::TempDir dir;
  DiskDescription disk;
  disk.volumes.emplace_back();
  disk.volumes[0].root = DamageTree();
  disk.volumes[0].root.children.push_back(Node::Filled("hole", 4u << 20, {}));
  Damage unreadable;
  unreadable.kind = DamageKind::kUnreadable;
  unreadable.path = "/d";
  Damage range = unreadable;
  range.path.clear();
  range.firstSector = 3;
  range.lastSector = 5;
  Damage adjacent = range;
  adjacent.firstSector = adjacent.lastSector = 6;
  disk.damage = {unreadable, range, adjacent};

  std::string first = (dir / "one.img").string();
  std::string second = (dir / "two.img").string();
  auto a = BuildImage(disk, first);
  ASSERT_TRUE(a) << a.error().message;
  auto b = BuildImage(disk, second);
  ASSERT_TRUE(b);
  auto read = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  };
  std::string bytes = read(first);
  EXPECT_EQ(bytes, read(second));
  auto memory = BuildImageBytes(disk);
  ASSERT_TRUE(memory);
  EXPECT_EQ(bytes,
            std::string(reinterpret_cast<const char*>(memory->bytes.data()), memory->bytes.size()));

  struct stat st {};
  ASSERT_EQ(::stat(first.c_str(), &st), 0);
  EXPECT_LT(static_cast<std::uint64_t>(st.st_blocks) * 512, 2u << 20);  // the hole is not written

  ASSERT_EQ(a->unreadablePath, first + ".unreadable");
  auto plan = LoadFaultPlan(a->unreadablePath);
  ASSERT_TRUE(plan) << plan.error().message;
  std::uint64_t dSector = a->volumes[0].SectorOfBlock(a->volumes[0].Find("/d")->dataBlocks[0]);
  std::set<std::uint64_t> expected{3, 4, 5, 6, dSector, dSector + 1};
  EXPECT_EQ(plan->neverReadable, expected);

  disk.damage.clear();
  ASSERT_TRUE(BuildImage(disk, first));
  EXPECT_FALSE(std::filesystem::exists(first + ".unreadable"));  // no stale sidecar
}

TEST(ImageFile, RefusesToWriteOverSomethingThatIsNotAFile) {
  tolvar::testing::TempDir dir;
  DiskDescription disk;
  disk.volumes.emplace_back();
  auto built = BuildImage(disk, dir.Path().string());
  ASSERT_FALSE(built);
  EXPECT_NE(built.error().message.find("not a regular file"), std::string::npos);
  EXPECT_FALSE(BuildImage(disk, "/dev/null"));
}

}  // namespace
}  // namespace tolvar::imagekit
