// The forensic commands and options, run as the built program: the body
// file `mactime` reads, images rescued by ddrescue with their mapfiles, and
// the source's hash.
#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "imagekit/image_builder.hpp"
#include "tests/cli/run_tolvar.hpp"
#include "tests/support/temp_dir.hpp"

namespace tolvar::testing {
namespace {

namespace fs = std::filesystem;
using imagekit::Fill;
using imagekit::Node;
using ::testing::HasSubstr;
using ::testing::Not;

bool Installed(const char* program) {
  return std::system(fmt::format("command -v {} > /dev/null 2>&1", program).c_str()) == 0;
}

// What a shell command prints, and whether it succeeded.
std::string Output(const std::string& command, int* status = nullptr) {
  std::string text;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return text;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
  const int raw = ::pclose(pipe);
  if (status != nullptr) *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return text;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class EvidenceCommands : public ::testing::Test {
 protected:
  std::string Build(const imagekit::DiskDescription& disk, const std::string& name = "disk.img") {
    const std::string path = (dir / name).string();
    auto built = imagekit::BuildImage(disk, path);
    EXPECT_TRUE(built.has_value()) << (built ? "" : built.error().message);
    if (built) report = *built;
    return path;
  }
  std::string WriteText(const std::string& name, const std::string& text) {
    std::ofstream(dir / name, std::ios::binary) << text;
    return (dir / name).string();
  }
  TempDir dir;
  imagekit::BuildReport report;
};

imagekit::DiskDescription TimelineDisk(imagekit::FsKind kind) {
  Node odd = Node::File("a|b", "pipe in the name\n");
  odd.uid = 12;
  odd.gid = 34;
  odd.mtime = 1165482300;
  Node folder = Node::Folder("dir|x", {Node::File(std::string("caf\xE9"), "latin-1\n")});
  folder.mtime = 1000000000;
  imagekit::DiskDescription disk;
  imagekit::VolumeDescription volume;
  volume.fs = kind;
  volume.root = Node::Folder("", {odd, folder, Node::Symlink("link", "a|b")});
  disk.volumes.push_back(volume);
  return disk;
}

TEST_F(EvidenceCommands, TimelineWritesABodyFileMactimeReads) {
  for (const auto kind : {imagekit::FsKind::kHtfs, imagekit::FsKind::kEafs}) {
    SCOPED_TRACE(kind == imagekit::FsKind::kHtfs ? "HTFS" : "EAFS");
    const std::string image = Build(TimelineDisk(kind));
    const RunResult run = RunTolvar({"timeline", image, "-v", "1", "-q"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 5u) << run.out;  // the root, one folder, two files and a link
    for (const std::string& line : lines) {
      EXPECT_EQ(std::count(line.begin(), line.end(), '|'), 10) << line;
    }
    EXPECT_THAT(lines, ::testing::Contains(::testing::StartsWith("0|/|2|d/d")));
    EXPECT_THAT(
        lines,
        ::testing::Contains(::testing::MatchesRegex(
            R"(0\|/a\\x7Cb\|[0-9]+\|r/rrw-r--r--\|12\|34\|17\|[-0-9]+\|1165482300\|[-0-9]+\|0)")));
    EXPECT_THAT(lines, ::testing::Contains(::testing::MatchesRegex(
                           R"(0\|/dir\\x7Cx\|[0-9]+\|d/d.*\|1000000000\|.*)")));
    EXPECT_THAT(lines, ::testing::Contains(::testing::StartsWith("0|/dir\\x7Cx/caf\\xE9|")));
    EXPECT_THAT(lines, ::testing::Contains(::testing::StartsWith("0|/link|")));

    if (!Installed("mactime")) continue;
    const std::string body = WriteText("body", run.out);
    int status = -1;
    const std::string timeline = Output("mactime -b " + body + " -d -z UTC 2>&1", &status);
    ASSERT_EQ(status, 0) << timeline;
    EXPECT_THAT(timeline, HasSubstr("/a\\x7Cb"));
    EXPECT_THAT(timeline, HasSubstr("2006"));  // 1165482300 is in December 2006
    EXPECT_THAT(timeline, HasSubstr("/dir\\x7Cx/caf\\xE9"));
  }
}

imagekit::DiskDescription LedgerDisk() {
  imagekit::DiskDescription disk;
  imagekit::VolumeDescription volume;
  volume.fs = imagekit::FsKind::kHtfs;
  volume.root = Node::Folder(
      "", {Node::File("readme.txt", "read me\n"),
           Node::Filled("ledger.db", 64 * 1024, Fill{Fill::Pattern::kRandom, 0, "", 5})});
  disk.volumes.push_back(volume);
  return disk;
}

// A failing drive imaged with ddrescue, which only got as far as part of a
// file: without the map the zeros would pass for the file's contents.
TEST_F(EvidenceCommands, AnImageRescuedInPartIsRecoveredWithItsMapfile) {
  if (!Installed("ddrescue")) GTEST_SKIP() << "ddrescue (package gddrescue) is not installed";
  const std::string drive = Build(LedgerDisk(), "drive.img");
  const auto& volume = report.volumes.at(0);
  const auto* ledger = volume.Find("/ledger.db");
  ASSERT_NE(ledger, nullptr);
  const std::uint64_t cut = volume.SectorOfBlock(ledger->dataBlocks.at(20));
  const fs::path image = dir / "rescued.img";
  const fs::path map = dir / "rescued.map";
  fs::copy_file(drive, image);
  fs::resize_file(image, 0);
  fs::resize_file(image, fs::file_size(drive));
  int status = -1;
  const std::string rescue = Output(fmt::format("ddrescue -q -s {} {} {} {} 2>&1", cut * 512, drive,
                                                image.string(), map.string()),
                                    &status);
  ASSERT_EQ(status, 0) << rescue;

  // Without the map the file reads as whole, zeros and all.
  const RunResult blind =
      RunTolvar({"recover", image.string(), "-q", "-o", (dir / "blind").string()});
  EXPECT_EQ(blind.status, 0) << blind.err;

  const fs::path out = dir / "out";
  const RunResult run = RunTolvar(
      {"recover", image.string(), "-q", "--mapfile", map.string(), "-o", out.string(), "--json"});
  EXPECT_EQ(run.status, 1) << run.err;
  const auto json = nlohmann::json::parse(run.out);
  EXPECT_EQ(json["source"]["mapfile"], map.string());
  bool seen = false;
  for (const auto& entry : json["entries"]) {
    if (entry["path"] == "readme.txt") {
      EXPECT_EQ(entry["status"], "complete");
    }
    if (entry["path"] != "ledger.db") continue;
    seen = true;
    EXPECT_EQ(entry["status"], "damaged");
    ASSERT_FALSE(entry["unreadableSectors"].empty());
    EXPECT_EQ(entry["unreadableSectors"][0]["first"], cut);
    // The hash is of the copy as written, zeros included, whether the kernel
    // or the program moved its rescued runs.
    EXPECT_EQ(entry["sha256"], Output("sha256sum " + (out / "ledger.db").string()).substr(0, 64));
  }
  EXPECT_TRUE(seen);

  // Every command that reads the disk takes the map.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"scan", image.string()},
        std::vector<std::string>{"ls", image.string(), "-v", "1"},
        std::vector<std::string>{"timeline", image.string(), "-v", "1"}}) {
    std::vector<std::string> withMap = args;
    withMap.insert(withMap.end(), {"--mapfile", map.string(), "-q"});
    const RunResult listed = RunTolvar(withMap);
    EXPECT_EQ(listed.status, 0) << args[0] << ": " << listed.err;
  }
}

TEST_F(EvidenceCommands, AMapfileOfAnotherImageOrThatDoesNotParseIsRefused) {
  const std::string image = Build(LedgerDisk());
  const std::uint64_t size = fs::file_size(image);
  struct Case {
    std::string text;
    std::string said;
  };
  const Case cases[] = {
      {fmt::format("0 +\n0 {} +\n", size + 512),
       fmt::format("the map describes {} bytes, but the image has {}", size + 512, size)},
      {"0 +\n0 1024 +\n512 1024 -\n", "line 3: the block overlaps the block on line 2"},
      {"# only comments\n", "line 1: no status line"},
  };
  for (const Case& c : cases) {
    const std::string map = WriteText("bad.map", c.text);
    const RunResult run = RunTolvar({"ls", image, "--mapfile", map, "-q"});
    EXPECT_EQ(run.status, 2) << c.text;
    EXPECT_THAT(run.err, HasSubstr(map + ": " + c.said));
  }
}

// A map that leaves the inode table unrescued: the volume is still found,
// and every command says that its files cannot be trusted.
TEST_F(EvidenceCommands, AVolumeWhoseInodeTableWasNotRescuedIsWarnedOf) {
  const std::string image = Build(LedgerDisk());
  const auto& volume = report.volumes.at(0);
  const std::uint64_t table = volume.SectorOfBlock(2) * 512;
  const std::uint64_t size = fs::file_size(image);
  const std::string map =
      WriteText("table.map", fmt::format("0 ?\n0 {} +\n{} 1024 -\n{} {} +\n", table, table,
                                         table + 1024, size - table - 1024));
  const RunResult run = RunTolvar({"ls", image, "--mapfile", map, "-q"});
  EXPECT_THAT(run.err, HasSubstr("inode table not rescued"));
}

TEST_F(EvidenceCommands, HashSourceRecordsTheImagesSha256) {
  const std::string image = Build(LedgerDisk());
  const fs::path out = dir / "out";
  const RunResult run = RunTolvar({"recover", image, "-q", "--hash-source", "-o", out.string()});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string expected = Output("sha256sum " + image).substr(0, 64);
  EXPECT_THAT(run.out, HasSubstr("Source SHA-256: " + expected));
  const auto json = nlohmann::json::parse(Slurp(out / "tolvar-report.json"));
  EXPECT_EQ(json["source"]["sha256"], expected);
  EXPECT_EQ(json["settings"]["hashSource"], true);
  EXPECT_THAT(json["commandLine"].get<std::string>(), HasSubstr("recover " + image));
  // Every file's hash matches what a verifier computes from the copy.
  for (const auto& entry : json["entries"]) {
    if (entry["type"] != "file") continue;
    const std::string path = (out / entry["path"].get<std::string>()).string();
    EXPECT_EQ(entry["sha256"], Output("sha256sum " + ShellQuote(path)).substr(0, 64));
    EXPECT_EQ(entry["md5"], Output("md5sum " + ShellQuote(path)).substr(0, 32));
  }
}

// Without digests the copies are the same bytes, written by both the run's
// own thread (a large file) and the writer threads (small ones), and the
// reports say the hashes were left out rather than carrying empty ones.
TEST_F(EvidenceCommands, NoDigestsLeavesTheHashesOutAndTheCopiesAlike) {
  imagekit::DiskDescription disk = LedgerDisk();
  disk.volumes[0].root.children.push_back(
      Node::Filled("archive.bin", 3 * 1024 * 1024, Fill{Fill::Pattern::kRandom, 0, "", 9}));
  const std::string image = Build(disk);
  const fs::path hashed = dir / "hashed";
  const fs::path plain = dir / "plain";
  ASSERT_EQ(RunTolvar({"recover", image, "-q", "-o", hashed.string()}).status, 0);
  const RunResult run = RunTolvar({"recover", image, "-q", "--no-digests", "-o", plain.string()});
  ASSERT_EQ(run.status, 0) << run.err;

  const auto json = nlohmann::json::parse(Slurp(plain / "tolvar-report.json"));
  EXPECT_EQ(json["settings"]["fileDigests"], false);
  EXPECT_THAT(Slurp(plain / "tolvar-report.txt"), HasSubstr(", no file digests"));
  int files = 0;
  for (const auto& entry : json["entries"]) {
    if (entry["type"] != "file") continue;
    ++files;
    EXPECT_FALSE(entry.contains("sha256")) << entry.dump();
    EXPECT_FALSE(entry.contains("md5")) << entry.dump();
    EXPECT_THAT(entry.value("note", ""), Not(HasSubstr("digests"))) << entry.dump();
    const std::string path = entry["path"].get<std::string>();
    EXPECT_EQ(Slurp(plain / path), Slurp(hashed / path)) << path;
  }
  EXPECT_EQ(files, 3);
}

}  // namespace
}  // namespace tolvar::testing
