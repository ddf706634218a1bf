#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "tests/cli/run_tolvar.hpp"
#include "tests/support/disk_builder.hpp"
#include "tests/support/temp_dir.hpp"

namespace tolvar::testing {
namespace {

class ScanCommandTest : public ::testing::Test {
 protected:
  // 400 sectors: a record with two ranges, an HTFS volume at 200 and an
  // EAFS volume at 300.
  std::string RecordedImage() {
    const auto path = (dir / "disk.img").string();
    DiskBuilder(400)
        .PartitionRecord({{200, 50}, {300, 40}})
        .HtfsSuperblock(201, 2048, 16)
        .EafsSuperblock(301, 40)
        .WriteTo(path);
    return path;
  }

  TempDir dir;
};

TEST_F(ScanCommandTest, ListsTheVolumesOfThePartitionRecord) {
  const RunResult run = RunTolvar({"scan", RecordedImage()});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("1  HTFS  HTFS Partition - 1  200           4096     2 MB ( Approx )"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("2  EAFS  EAFS Partition - 2  300           80       0 MB ( Approx )"),
            std::string::npos)
      << run.out;
  EXPECT_TRUE(run.err.empty()) << run.err;
}

TEST_F(ScanCommandTest, JsonIsOneDocument) {
  const RunResult run = RunTolvar({"scan", RecordedImage(), "--json", "--sectors-per-read", "8"});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto doc = nlohmann::json::parse(run.out);
  EXPECT_EQ(doc["method"], "partition-record");
  EXPECT_EQ(doc["sectorsPerRead"], 8);
  ASSERT_EQ(doc["volumes"].size(), 2u);
  EXPECT_EQ(doc["volumes"][0]["type"], "HTFS");
  EXPECT_EQ(doc["volumes"][0]["startSector"], 200);
  EXPECT_EQ(doc["volumes"][0]["sizeSectors"], 4096);
  EXPECT_EQ(doc["volumes"][0]["inodeCount"], 128);
  EXPECT_EQ(doc["volumes"][1]["name"], "EAFS Partition - 2");
  EXPECT_EQ(doc["volumes"][1]["size"], "0 MB ( Approx )");
  EXPECT_TRUE(doc["badSectors"].empty());
}

TEST_F(ScanCommandTest, WithoutARecordTheWholeDiskIsSearched) {
  const auto path = (dir / "norecord.img").string();
  DiskBuilder(300).HtfsSuperblock(250, 64, 4).WriteTo(path);
  const RunResult run = RunTolvar({"scan", path, "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  // The command line's own words, on one line: no window text.
  EXPECT_EQ(run.err,
            "tolvar: no partition record at sector 105: searching the whole disk, sectors 0 to "
            "299\n");
  const auto doc = nlohmann::json::parse(run.out);
  EXPECT_EQ(doc["method"], "whole-disk-search");
  EXPECT_EQ(doc["range"]["end"], 300);
  ASSERT_EQ(doc["volumes"].size(), 1u);
  EXPECT_EQ(doc["volumes"][0]["startSector"], 249);
}

TEST_F(ScanCommandTest, NothingFoundExitsOne) {
  const auto path = (dir / "blank.img").string();
  DiskBuilder(300).PartitionRecord({{10, 10}}).WriteTo(path);
  RunResult run = RunTolvar({"scan", path});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.out.empty());
  // Nobody stopped anything: the record's emptiness leads to the whole disk.
  EXPECT_EQ(run.err.find("User stopped"), std::string::npos) << run.err;
  EXPECT_EQ(run.err,
            "tolvar: the partition record at sector 105 lists no HTFS or EAFS volume: searching "
            "the whole disk, sectors 0 to 299\ntolvar: " +
                path + ": no HTFS or EAFS volume in sectors 0 to 299\n");

  run = RunTolvar({"scan", path, "--search", "0", "100"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "tolvar: " + path + ": no HTFS or EAFS volume in sectors 0 to 99\n");
}

TEST_F(ScanCommandTest, AMarkedRecordWithUselessEntriesFallsBackToTheWholeDisk) {
  // Empty, tiny and out-of-range entries: the volume is found by searching.
  for (const std::vector<std::pair<std::uint32_t, std::uint32_t>>& entries :
       {std::vector<std::pair<std::uint32_t, std::uint32_t>>{},
        {{0, 0}},
        {{10, 1}},
        {{5000, 100}, {0xFFFFFF00u, 0x1000}}}) {
    const auto path = (dir / "marked.img").string();
    DiskBuilder(300).PartitionRecord(entries).HtfsSuperblock(250, 64, 4).WriteTo(path);
    const RunResult run = RunTolvar({"scan", path, "--json"});
    ASSERT_EQ(run.status, 0) << entries.size() << ": " << run.err;
    EXPECT_EQ(run.err.find("User stopped"), std::string::npos) << run.err;
    const auto doc = nlohmann::json::parse(run.out);
    EXPECT_EQ(doc["method"], "whole-disk-search");
    ASSERT_EQ(doc["volumes"].size(), 1u);
    EXPECT_EQ(doc["volumes"][0]["startSector"], 249);
  }
}

TEST_F(ScanCommandTest, SearchRangeIsTestedInWholeRuns) {
  const auto path = (dir / "search.img").string();
  DiskBuilder(300).HtfsSuperblock(110, 64, 4).HtfsSuperblock(130, 64, 4).WriteTo(path);
  const RunResult run =
      RunTolvar({"scan", path, "--search", "0", "100", "--sectors-per-read", "60", "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto doc = nlohmann::json::parse(run.out);
  EXPECT_EQ(doc["method"], "search");
  ASSERT_EQ(doc["volumes"].size(), 1u);
  EXPECT_EQ(doc["volumes"][0]["startSector"], 109);
}

TEST_F(ScanCommandTest, UsageErrorsExitTwoWithOneLine) {
  const std::string image = RecordedImage();
  const std::vector<std::vector<std::string>> cases = {
      {"scan", image, "--search", "abc", "100"},
      {"scan", image, "--search", "10", "18446744073709551616"},
      {"scan", image, "--search", "10", "4294967296"},  // past the disk's end
      {"scan", image, "--search", "100", "100"},
      {"scan", image, "--sectors-per-read", "0"},
      {"scan", image, "--sectors-per-read", "101"},
      {"scan", image, "--retries", "11"},
      {"scan", image, "--unreadable-sectors", (dir / "missing.txt").string()},
  };
  for (const auto& args : cases) {
    const RunResult run = RunTolvar(args);
    EXPECT_EQ(run.status, 2) << args[2] << " " << args[3] << ": " << run.err;
    EXPECT_TRUE(run.out.empty());
  }
  const RunResult notNumber = RunTolvar({"scan", image, "--search", "abc", "100"});
  ASSERT_EQ(notNumber.ErrLines().size(), 1u);
  EXPECT_NE(notNumber.err.find("START \"abc\" is not a sector number"), std::string::npos);

  EXPECT_EQ(RunTolvar({"scan", image, "--search", "5"}).status, 2);
  EXPECT_EQ(RunTolvar({"scan"}).status, 2);
  EXPECT_EQ(RunTolvar({}).status, 2);
  EXPECT_EQ(RunTolvar({"frobnicate"}).status, 2);
  EXPECT_EQ(RunTolvar({"--help"}).status, 0);
}

TEST_F(ScanCommandTest, UnusableImagesAreNamedInOneLine) {
  const auto empty = dir / "empty.img";
  std::ofstream(empty).close();
  const auto tiny = dir / "tiny.img";
  std::ofstream(tiny) << "short";
  struct Case {
    std::string path;
    std::string says;
  };
  const Case cases[] = {
      {(dir / "nowhere.img").string(), "no such file"},
      {dir.Path().string(), "is a directory"},
      {empty.string(), "empty"},
      {tiny.string(), "empty"},
  };
  for (const Case& c : cases) {
    const RunResult run = RunTolvar({"scan", c.path});
    EXPECT_EQ(run.status, 2) << c.path;
    ASSERT_EQ(run.ErrLines().size(), 1u) << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(c.path), std::string::npos) << run.err;
  }
}

TEST_F(ScanCommandTest, UnreadableImageIsNamed) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads files without read permission";
  const std::string image = RecordedImage();
  ASSERT_EQ(::chmod(image.c_str(), 0), 0);
  const RunResult run = RunTolvar({"scan", image});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.ErrLines().size(), 1u);
  EXPECT_NE(run.err.find("cannot open for reading"), std::string::npos);
}

TEST_F(ScanCommandTest, NamesCannotSendEscapeSequences) {
  const std::string path = (dir / "evil\x1b]0;owned\x07\x1b[2J.img").string();
  const RunResult run = RunTolvar({"scan", path});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err.find('\x1b'), std::string::npos);
  EXPECT_EQ(run.err.find('\x07'), std::string::npos);
  EXPECT_NE(run.err.find("evil\\x1B]0;owned\\x07\\x1B[2J.img"), std::string::npos) << run.err;
}

TEST_F(ScanCommandTest, ScanLeavesTheImageUnchanged) {
  const std::string image = RecordedImage();
  const std::string before = Slurp(image);
  struct stat st {};
  ASSERT_EQ(::stat(image.c_str(), &st), 0);
  const auto modified = st.st_mtim;
  ASSERT_EQ(RunTolvar({"scan", image}).status, 0);
  ASSERT_EQ(RunTolvar({"scan", image, "--search", "0", "400", "--json"}).status, 0);
  ASSERT_EQ(RunTolvar({"scan", image, "--legacy-route"}).status, 0);
  EXPECT_EQ(Slurp(image), before);
  ASSERT_EQ(::stat(image.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, modified.tv_sec);
  EXPECT_EQ(st.st_mtim.tv_nsec, modified.tv_nsec);
}

TEST_F(ScanCommandTest, UnreadableSectorsAreZeroAndReported) {
  const std::string image = RecordedImage();
  const auto sidecar = dir / "bad.txt";
  std::ofstream(sidecar) << "# the HTFS superblock and its neighbour\n201-202\n";
  const RunResult run = RunTolvar(
      {"scan", image, "--json", "--retries", "2", "--unreadable-sectors", sidecar.string()});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto doc = nlohmann::json::parse(run.out);
  ASSERT_EQ(doc["volumes"].size(), 1u);
  EXPECT_EQ(doc["volumes"][0]["type"], "EAFS");
  EXPECT_EQ(doc["badSectors"], nlohmann::json::parse("[201, 202]"));
}

TEST_F(ScanCommandTest, LegacyRouteReadsThroughTheLibraries) {
  const std::string image = RecordedImage();
  RunResult run = RunTolvar({"scan", image, "--legacy-route", "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto doc = nlohmann::json::parse(run.out);
  EXPECT_EQ(doc["route"], "legacy");
  EXPECT_EQ(doc["sectorsPerRead"], 8);
  EXPECT_EQ(doc["volumes"].size(), 2u);

  run = RunTolvar(
      {"scan", image, "--legacy-route", "--legacy-library-dir", (dir / "nolibs").string()});
  EXPECT_NE(run.status, 0);
  EXPECT_NE(run.err.find("Disk32.dll not found or corrupted"), std::string::npos) << run.err;
  EXPECT_TRUE(run.out.empty());
}

}  // namespace
}  // namespace tolvar::testing
