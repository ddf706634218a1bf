// scan and recover over disks laid out as SCO installs them: an SCO
// partition behind a DOS one, its division table, and an AFS volume.

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "imagekit/image_builder.hpp"
#include "tests/cli/run_tolvar.hpp"
#include "tests/support/temp_dir.hpp"

namespace tolvar::testing {
namespace {

namespace fs = std::filesystem;
using imagekit::Fill;
using imagekit::FsKind;
using imagekit::Node;

// The SCO partition second, behind a DOS partition; an HTFS volume and an
// AFS volume in divisions listed out of disk order.
imagekit::DiskDescription ScoDisk() {
  imagekit::DiskDescription disk;
  disk.layout = imagekit::PartitionLayout::kSco;
  disk.geometry = imagekit::ChsGeometryDescription{64, 32};
  imagekit::PartitionDescription dos;
  dos.type = 0x06;
  dos.sectors = 8000;
  disk.partitions = {dos, imagekit::PartitionDescription{}};
  imagekit::VolumeDescription htfs;
  htfs.fs = FsKind::kHtfs;
  htfs.division = 4;
  htfs.sizeBlocks = 3000;
  htfs.root = Node::Folder("", {Node::File("unix.txt", "root volume\n")});
  imagekit::VolumeDescription afs;
  afs.fs = FsKind::kAfs;
  afs.division = 2;
  afs.root =
      Node::Folder("", {Node::File("readme.txt", "read me\n"),
                        Node::Folder("data", {Node::Filled("ledger.db", 300 * 1024,
                                                           Fill{Fill::Pattern::kRandom, 0, "", 11}),
                                              Node::File("fourteen_bytes", "exactly\n")})});
  disk.volumes = {htfs, afs};
  return disk;
}

class LayoutsCommandTest : public ::testing::Test {
 protected:
  std::string Build(const imagekit::DiskDescription& disk) {
    const std::string path = (dir / "disk.img").string();
    auto built = imagekit::BuildImage(disk, path);
    EXPECT_TRUE(built.has_value()) << (built ? "" : built.error().message);
    if (built) report = *built;
    return path;
  }
  TempDir dir;
  imagekit::BuildReport report;
};

TEST_F(LayoutsCommandTest, ScanSaysWhereEachVolumeCameFrom) {
  const std::string image = Build(ScoDisk());
  RunResult run = RunTolvar({"scan", image});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("Found by"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("HTFS Partition - 1"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("partition 2, division 4"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("AFS   AFS Partition - 2"), std::string::npos) << run.out;
  EXPECT_TRUE(run.err.empty()) << run.err;

  run = RunTolvar({"scan", image, "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto doc = nlohmann::json::parse(run.out);
  EXPECT_EQ(doc["method"], "partition-record");
  ASSERT_EQ(doc["volumes"].size(), 2u);
  EXPECT_EQ(doc["volumes"][0]["startSector"], report.volumes[0].startSector);
  EXPECT_EQ(doc["volumes"][1]["type"], "AFS");
  EXPECT_EQ(doc["volumes"][1]["foundBy"], "partition 2, division 2");
  EXPECT_TRUE(doc["warnings"].empty());

  // The search finds the same volumes and says so.
  run = RunTolvar({"scan", image, "--json", "--search", "0", std::to_string(report.totalSectors)});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto searched = nlohmann::json::parse(run.out);
  ASSERT_EQ(searched["volumes"].size(), 2u);
  EXPECT_EQ(searched["volumes"][1]["foundBy"], "the sector search");
}

TEST_F(LayoutsCommandTest, ADivisionWithoutItsFileSystemIsOneWarningLine) {
  imagekit::DiskDescription disk = ScoDisk();
  Build(disk);  // to learn where the HTFS superblock lies
  imagekit::Damage damage;
  damage.kind = imagekit::DamageKind::kPatch;
  damage.firstSector = report.volumes[0].startSector + 1;
  damage.offset = 504;
  damage.bytes = std::vector<std::byte>(4);
  disk.damage = {damage};
  const std::string image = Build(disk);
  const RunResult run = RunTolvar({"scan", image});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto lines = run.ErrLines();
  ASSERT_EQ(lines.size(), 1u) << run.err;
  EXPECT_NE(lines[0].find("warning: partition 2, division 4: no file system where the division "
                          "table puts it"),
            std::string::npos)
      << lines[0];
  EXPECT_NE(run.out.find("AFS Partition - 1"), std::string::npos) << run.out;
}

TEST_F(LayoutsCommandTest, AfsVolumeIsRecoveredByteForByte) {
  const std::string image = Build(ScoDisk());
  const fs::path out = dir / "out";
  const RunResult run = RunTolvar({"recover", image, "-v", "2", "-o", out.string()});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Slurp(out / "readme.txt"), "read me\n");
  EXPECT_EQ(Slurp(out / "data/fourteen_bytes"), "exactly\n");
  std::vector<std::byte> expected(300 * 1024);
  imagekit::FillBytes(Fill{Fill::Pattern::kRandom, 0, "", 11}, 0, expected);
  const std::string ledger = Slurp(out / "data/ledger.db");
  ASSERT_EQ(ledger.size(), expected.size());
  EXPECT_TRUE(std::equal(ledger.begin(), ledger.end(), expected.begin(),
                         [](char a, std::byte b) { return static_cast<std::byte>(a) == b; }));
}

}  // namespace
}  // namespace tolvar::testing
