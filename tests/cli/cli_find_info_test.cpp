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

TEST_F(FindInfoCommandTest, FindListsStoredNamesWithPathsThatLsAndRecoverTake) {
  const std::string image = Image();
  const RunResult run = RunTolvar({"find", image, "readme", "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto doc = nlohmann::json::parse(run.out);
  const auto& hits = doc.at("hits");
  ASSERT_EQ(hits.size(), 3u);
  EXPECT_EQ(doc["filesFound"], 3);
  EXPECT_EQ(hits[0]["name"], "README");
  EXPECT_EQ(hits[0]["path"], "/");
  EXPECT_EQ(hits[0]["size"], 5);
  EXPECT_EQ(hits[1]["name"], "ReadMe");
  EXPECT_EQ(hits[1]["path"], "/USR");
  EXPECT_EQ(hits[2]["name"], "readme.txt");
  EXPECT_EQ(hits[2]["path"], "/USR/BIN");
  EXPECT_EQ(hits[2]["size"], 3);
  EXPECT_FALSE(hits[2].contains("nameBytes"));  // only for names that are not UTF-8

  const RunResult table = RunTolvar({"find", image, "*.TXT"});
  ASSERT_EQ(table.status, 0) << table.err;
  EXPECT_EQ(table.out, "File Name   Path      Size\nreadme.txt  /USR/BIN  3\n");

  // The printed path lists the folder, and the folder and name recover the file.
  const RunResult listed = RunTolvar({"ls", image, "/USR/BIN"});
  ASSERT_EQ(listed.status, 0) << listed.err;
  EXPECT_NE(listed.out.find("readme.txt"), std::string::npos) << listed.out;
}

TEST_F(FindInfoCommandTest, FindKeepsTheBytesOfNamesThatAreNotUtf8) {
  imagekit::DiskDescription disk;
  imagekit::VolumeDescription volume;
  volume.fs = FsKind::kHtfs;
  volume.root = Node::Folder("", {Node::Folder("d\xe9j", {Node::File("caf\xe9", "x")})});
  disk.volumes.push_back(std::move(volume));
  const std::string image = (dir / "latin1.img").string();
  ASSERT_TRUE(imagekit::BuildImage(disk, image).has_value());
  const RunResult run = RunTolvar({"find", image, "caf*", "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto hit = nlohmann::json::parse(run.out).at("hits").at(0);
  EXPECT_EQ(hit["nameBytes"], "636166e9");
  EXPECT_EQ(hit["pathBytes"], "2f64e96a");

  // The listing and the folder tree keep them the same way.
  const RunResult listed = RunTolvar({"ls", image, "/d\xe9j", "--json"});
  ASSERT_EQ(listed.status, 0) << listed.err;
  const auto row = nlohmann::json::parse(listed.out).at("rows").at(0);
  EXPECT_EQ(row["nameBytes"], "636166e9");
  const RunResult tree = RunTolvar({"tree", image, "--json"});
  ASSERT_EQ(tree.status, 0) << tree.err;
  const auto folders = nlohmann::json::parse(tree.out).at("folders");
  EXPECT_FALSE(folders.at(0).contains("nameBytes"));
  EXPECT_EQ(folders.at(1)["nameBytes"], "64e96a");
}

TEST_F(FindInfoCommandTest, FailingCommandsWithJsonPrintAnErrorObject) {
  const std::string image = Image();
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"info", image, "-v", "3", "--json"},
        {"ls", (dir / "missing.img").string(), "--json"},
        {"ls", image, "-v", "0", "--json"}}) {
    const RunResult run = RunTolvar(args);
    EXPECT_EQ(run.status, 2) << args[0];
    const auto doc = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_TRUE(doc.is_object()) << args[0] << ": " << run.out;
    EXPECT_EQ(doc["status"], 2);
    EXPECT_FALSE(doc["error"].get<std::string>().empty());
  }
  // A search without hits still prints its own document, and nothing else.
  const RunResult none = RunTolvar({"find", image, "nothing-like-this", "--json"});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(nlohmann::json::parse(none.out)["filesFound"], 0);
}

TEST_F(FindInfoCommandTest, FindWithoutHitsAndOnAnotherVolume) {
  const std::string image = Image();
  const RunResult none = RunTolvar({"find", image, "nothing-like-this"});
  EXPECT_EQ(none.status, 1);
  EXPECT_TRUE(none.out.empty());

  const RunResult second = RunTolvar({"find", image, "-v", "2", "ONLY", "--extensive"});
  ASSERT_EQ(second.status, 0) << second.err;
  EXPECT_NE(second.out.find("\nonly "), std::string::npos) << second.out;  // as stored
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
  // Volume numbers are whole numbers from 1, and the refusal says so in them.
  for (const std::string command : {"ls", "mount"}) {
    const std::vector<std::string> args =
        command == "mount" ? std::vector<std::string>{command, image, dir.Path().string(), "-v", "0"}
                           : std::vector<std::string>{command, image, "-v", "0"};
    const RunResult zero = RunTolvar(args);
    EXPECT_EQ(zero.status, 2) << command;
    EXPECT_NE(zero.err.find("Value 0 not in range 1 to 4294967295"), std::string::npos)
        << command << ": " << zero.err;
    EXPECT_EQ(zero.err.find(".000000"), std::string::npos) << command << ": " << zero.err;
  }
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
