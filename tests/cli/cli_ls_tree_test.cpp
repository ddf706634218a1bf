// ls and tree run against images written by the image builder.

#include <gtest/gtest.h>

#include <cstdlib>
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

constexpr const char* kLongName = "a-name-well-beyond-fourteen-bytes.txt";

// / : docs/ (notes.txt, sub/ (deep.c)), zeta/, alpha/, README, big.dat, <long name>
Node SampleRoot() {
  Node sub = Node::Folder("sub", {Node::File("deep.c", "int x;\n")});
  Node docs = Node::Folder("docs", {Node::File("notes.txt", "some notes\n"), std::move(sub)});
  Node big = Node::Filled("big.dat", 70000, {});
  Node late = Node::File("README", "read me\n");
  late.mtime = 1262304000;  // 01-Jan-2010 00:00:00
  return Node::Folder("", {std::move(docs), Node::Folder("zeta"), Node::Folder("alpha"),
                           std::move(late), std::move(big), Node::File(kLongName, "long\n")});
}

class BrowseCommandTest : public ::testing::TestWithParam<FsKind> {
 protected:
  void SetUp() override { setenv("TZ", "UTC", 1); }

  std::string Image(Node root, FsKind fs) {
    imagekit::DiskDescription disk;
    imagekit::VolumeDescription volume;
    volume.fs = fs;
    volume.root = std::move(root);
    disk.volumes.push_back(std::move(volume));
    const std::string path = (dir / "disk.img").string();
    const auto built = imagekit::BuildImage(disk, path);
    EXPECT_TRUE(built.has_value()) << (built ? "" : built.error().message);
    return path;
  }

  static nlohmann::json Rows(const RunResult& run) {
    return nlohmann::json::parse(run.out).at("rows");
  }

  TempDir dir;
};

INSTANTIATE_TEST_SUITE_P(BothFormats, BrowseCommandTest,
                         ::testing::Values(FsKind::kHtfs, FsKind::kEafs), [](const auto& param) {
                           return param.param == FsKind::kHtfs ? std::string("Htfs")
                                                               : std::string("Eafs");
                         });

TEST_P(BrowseCommandTest, RootRowsInBothModes) {
  const std::string image = Image(SampleRoot(), GetParam());
  for (const bool extensive : {false, true}) {
    std::vector<std::string> args{"ls", image, "--json"};
    if (extensive) args.push_back("--extensive");
    const RunResult run = RunTolvar(args);
    ASSERT_EQ(run.status, 0) << run.err;
    const auto rows = Rows(run);

    std::vector<std::string> names;
    for (const auto& row : rows) names.push_back(row["name"]);
    // Folders first, each group in the order the volume lists them; the
    // Extensive mode adds its made-up folder for orphans.
    std::vector<std::string> expected{"docs", "zeta", "alpha"};
    if (extensive) expected.push_back("LostDir");
    for (const char* file : {"README", "big.dat", kLongName}) expected.push_back(file);
    EXPECT_EQ(names, expected) << (extensive ? "extensive" : "normal");

    const auto find = [&](std::string_view name) {
      for (const auto& row : rows) {
        if (row["name"] == name) return row;
      }
      return nlohmann::json();
    };
    EXPECT_EQ(find("docs")["type"], "Folder");
    EXPECT_EQ(find("docs")["size"], 0);
    EXPECT_EQ(find("docs")["date"], "07-Dec-2006");
    EXPECT_EQ(find("docs")["time"], "09:05:00");
    EXPECT_EQ(find("big.dat")["size"], 70000);
    EXPECT_EQ(find("big.dat")["type"], "Data File");
    EXPECT_EQ(find("README")["type"], "File");
    EXPECT_EQ(find("README")["date"], "01-Jan-2010");
    EXPECT_EQ(find("README")["time"], "00:00:00");
    EXPECT_EQ(find(kLongName)["type"], "Text Document");
    EXPECT_EQ(find(kLongName)["size"], 5);
  }
}

TEST_P(BrowseCommandTest, NestedPathTableAndMissingPath) {
  const std::string image = Image(SampleRoot(), GetParam());
  const RunResult deep = RunTolvar({"ls", image, "/docs/sub/"});
  ASSERT_EQ(deep.status, 0) << deep.err;
  EXPECT_NE(deep.out.find("Name"), std::string::npos);
  EXPECT_NE(deep.out.find("Sector"), std::string::npos);
  EXPECT_NE(deep.out.find("deep.c  C Source File  7     07-Dec-2006  09:05:00"), std::string::npos)
      << deep.out;

  const RunResult empty = RunTolvar({"ls", image, "zeta"});
  EXPECT_EQ(empty.status, 1) << empty.err;
  EXPECT_TRUE(empty.out.empty());

  const RunResult missing = RunTolvar({"ls", image, "docs/nothing"});
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("no folder \"docs/nothing\""), std::string::npos) << missing.err;
  // A file is not a folder to list.
  EXPECT_EQ(RunTolvar({"ls", image, "README"}).status, 2);
}

TEST_P(BrowseCommandTest, FiltersNarrowFilesButNeverFolders) {
  const std::string image = Image(SampleRoot(), GetParam());
  const RunResult run = RunTolvar({"ls", image, "--json", "--filter", "*.txt"});
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<std::string> names;
  for (const auto& row : Rows(run)) names.push_back(row["name"]);
  EXPECT_EQ(names, (std::vector<std::string>{"docs", "zeta", "alpha", kLongName}));

  const RunResult two = RunTolvar({"ls", image, "--json", "--filter", "read", "--filter", "BIG"});
  ASSERT_EQ(two.status, 0) << two.err;
  EXPECT_EQ(Rows(two).size(), 5u);

  const RunResult tooLong = RunTolvar({"ls", image, "--filter", std::string(20, 'A')});
  EXPECT_EQ(tooLong.status, 2);
  EXPECT_EQ(tooLong.err, "tolvar: --filter \"" + std::string(20, 'A') +
                             "\": longer than 19 characters; nothing was read\n");
}

TEST_P(BrowseCommandTest, TreeIndentsChildrenInDiscoveryOrder) {
  const std::string image = Image(SampleRoot(), GetParam());
  const RunResult run = RunTolvar({"tree", image});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string partition = GetParam() == FsKind::kHtfs ? "HTFS" : "EAFS";
  EXPECT_EQ(run.out, partition + " Partition - 1\n  docs\n    sub\n  zeta\n  alpha\n");

  const RunResult json = RunTolvar({"tree", image, "--json"});
  ASSERT_EQ(json.status, 0) << json.err;
  const auto folders = nlohmann::json::parse(json.out).at("folders");
  ASSERT_EQ(folders.size(), 5u);
  EXPECT_EQ(folders[2]["name"], "sub");
  EXPECT_EQ(folders[2]["depth"], 2);
  EXPECT_EQ(folders[2]["parent"], folders[1]["item"]);
}

TEST_P(BrowseCommandTest, DeepNestingNeitherOverflowsNorLoops) {
  Node deepest = Node::File("bottom.txt", "x");
  Node chain = Node::Folder("d", {std::move(deepest)});
  for (int level = 1; level < 300; ++level) chain = Node::Folder("d", {std::move(chain)});
  const std::string image = Image(Node::Folder("", {std::move(chain)}), GetParam());
  const RunResult tree = RunTolvar({"tree", image});
  ASSERT_EQ(tree.status, 0) << tree.err;
  EXPECT_NE(tree.out.find(std::string(2 * 300, ' ') + "d\n"), std::string::npos);
  const RunResult find = RunTolvar({"find", image, "bottom"});
  ASSERT_EQ(find.status, 0) << find.err;
  std::string path = "/d";
  for (int level = 1; level < 300; ++level) path += "/d";
  EXPECT_NE(find.out.find(path), std::string::npos);
}

TEST_P(BrowseCommandTest, NamesWithEscapeSequencesArePrintedEscaped) {
  const std::string hostile = "evil\x1b]0;owned\x07\x1b[31m.txt";
  const std::string image =
      Image(Node::Folder("", {Node::Folder("dir\x1b[2J"), Node::File(hostile, "x")}), GetParam());
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"ls", image}, {"tree", image}, {"find", image, "*"}}) {
    const RunResult run = RunTolvar(args);
    ASSERT_EQ(run.status, 0) << args[0] << ": " << run.err;
    EXPECT_EQ(run.out.find('\x1b'), std::string::npos) << args[0];
    EXPECT_EQ(run.out.find('\x07'), std::string::npos) << args[0];
    EXPECT_NE(run.out.find("\\x1B"), std::string::npos) << args[0] << ": " << run.out;
  }
  const RunResult ls = RunTolvar({"ls", image, "--json"});
  ASSERT_EQ(ls.status, 0);
  EXPECT_EQ(ls.out.find('\x1b'), std::string::npos);
  EXPECT_EQ(Rows(ls)[1]["name"], hostile);  // JSON carries the name itself, escaped
}

}  // namespace
}  // namespace tolvar::testing
