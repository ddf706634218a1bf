// find and info run against images written by the image builder.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "imagekit/image_builder.hpp"
#include "tests/cli/run_tolvar.hpp"
#include "tests/support/temp_dir.hpp"

namespace tolvar::testing {
namespace {

using imagekit::FsKind;
using imagekit::Node;

class FindInfoCommandTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("TZ", "UTC", 1); }

  // Volume 1 (HTFS): README, USR/ReadMe, USR/BIN/readme.txt, ETC/passwd.
  // Volume 2 (EAFS): one file.
  std::string Image() {
    imagekit::DiskDescription disk;
    imagekit::VolumeDescription first;
    first.fs = FsKind::kHtfs;
    first.root = Node::Folder(
        "", {Node::File("README", "12345"),
             Node::Folder("USR", {Node::File("ReadMe", "1"),
                                  Node::Folder("BIN", {Node::File("readme.txt", "123")})}),
             Node::Folder("ETC", {Node::File("passwd", "root::0:0\n")})});
    imagekit::VolumeDescription second;
    second.fs = FsKind::kEafs;
    second.root = Node::Folder("", {Node::File("only", "x")});
    disk.volumes.push_back(std::move(first));
    disk.volumes.push_back(std::move(second));
    const std::string path = (dir / "disk.img").string();
    const auto built = imagekit::BuildImage(disk, path);
    EXPECT_TRUE(built.has_value()) << (built ? "" : built.error().message);
    if (built) report = *built;
    return path;
  }

  TempDir dir;
  imagekit::BuildReport report;
};

TEST_F(FindInfoCommandTest, FindListsUpperCaseNamesWithPathsAndSizes) {
  const std::string image = Image();
  const RunResult run = RunTolvar({"find", image, "readme", "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto doc = nlohmann::json::parse(run.out);
  const auto& hits = doc.at("hits");
  ASSERT_EQ(hits.size(), 3u);
  EXPECT_EQ(doc["filesFound"], 3);
  EXPECT_EQ(hits[0]["name"], "README");
  EXPECT_EQ(hits[0]["path"], "\\");
  EXPECT_EQ(hits[0]["size"], 5);
  EXPECT_EQ(hits[1]["name"], "README");
  EXPECT_EQ(hits[1]["path"], "\\USR");
  EXPECT_EQ(hits[2]["name"], "README.TXT");
  EXPECT_EQ(hits[2]["path"], "\\USR\\BIN");
  EXPECT_EQ(hits[2]["size"], 3);

  const RunResult table = RunTolvar({"find", image, "*.TXT"});
  ASSERT_EQ(table.status, 0) << table.err;
  EXPECT_EQ(table.out, "File Name   Path      Size\nREADME.TXT  \\USR\\BIN  3\n");
}

TEST_F(FindInfoCommandTest, FindWithoutHitsAndOnAnotherVolume) {
  const std::string image = Image();
  const RunResult none = RunTolvar({"find", image, "nothing-like-this"});
  EXPECT_EQ(none.status, 1);
  EXPECT_TRUE(none.out.empty());

  const RunResult second = RunTolvar({"find", image, "-v", "2", "ONLY", "--extensive"});
  ASSERT_EQ(second.status, 0) << second.err;
  EXPECT_NE(second.out.find("ONLY"), std::string::npos);
}

TEST_F(FindInfoCommandTest, InfoShowsTheEightFigures) {
  const std::string image = Image();
  const RunResult run = RunTolvar({"info", image, "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto doc = nlohmann::json::parse(run.out);
  ASSERT_FALSE(report.volumes.empty());
  const std::uint32_t start = report.volumes[0].startSector;
  EXPECT_EQ(doc["volumeName"], "HTFS Partition - 1");
  EXPECT_EQ(doc["volumeStart"], start);
  EXPECT_EQ(doc["volumeSize"], report.volumes[0].sizeBlocks * 2);
  EXPECT_EQ(doc["blockSize"], 2);
  EXPECT_EQ(doc["superBlockStart"], start + 1);
  EXPECT_EQ(doc["totalFiles"], 4);
  EXPECT_EQ(doc["totalFolders"], 3);
  EXPECT_EQ(doc["recoveryType"], "Normal");

  const RunResult text = RunTolvar({"info", image, "--extensive", "-v", "2"});
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_NE(text.out.find("Volume Name        EAFS Partition - 2\n"), std::string::npos)
      << text.out;
  EXPECT_NE(text.out.find("Total Files        1\n"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("Recovery Type      Extensive\n"), std::string::npos) << text.out;
}

TEST_F(FindInfoCommandTest, BadVolumeNumbersAndImages) {
  const std::string image = Image();
  const RunResult three = RunTolvar({"info", image, "-v", "3"});
  EXPECT_EQ(three.status, 2);
  EXPECT_NE(three.err.find("there is no volume 3"), std::string::npos) << three.err;
  EXPECT_EQ(RunTolvar({"ls", image, "-v", "0"}).status, 2);
  EXPECT_EQ(RunTolvar({"tree", (dir / "missing.img").string()}).status, 2);
  EXPECT_EQ(RunTolvar({"find", image}).status, 2);  // PATTERN is required

  // A disk without any volume: nothing found.
  const std::string blank = (dir / "blank.img").string();
  { std::ofstream(blank, std::ios::binary) << std::string(512 * 200, '\0'); }
  const RunResult none = RunTolvar({"info", blank});
  EXPECT_EQ(none.status, 1) << none.err;
}

}  // namespace
}  // namespace tolvar::testing
