#include <fcntl.h>
#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string_view>
#include <thread>

#include "imagekit/image_builder.hpp"
#include "tests/cli/run_tolvar.hpp"
#include "tests/support/temp_dir.hpp"

namespace tolvar::testing {
namespace {

namespace fs = std::filesystem;
using imagekit::Fill;
using imagekit::Node;

// Two volumes, one of each type, holding the same small tree.
imagekit::DiskDescription SampleDisk() {
  const Node tree = Node::Folder(
      "", {Node::File("readme.txt", "read me\n"),
           Node::Folder("data", {Node::Filled("ledger.db", 70 * 1024,
                                              Fill{Fill::Pattern::kRandom, 0, "", 7}),
                                 Node::Folder("old", {Node::File("1999.txt", "old\n")})}),
           Node::Symlink("latest", "data/ledger.db"), Node::Pipe("fifo")});
  imagekit::DiskDescription disk;
  for (const auto fs : {imagekit::FsKind::kHtfs, imagekit::FsKind::kEafs}) {
    imagekit::VolumeDescription volume;
    volume.fs = fs;
    volume.root = tree;
    disk.volumes.push_back(volume);
  }
  return disk;
}

// A digest of the whole image, read in large pieces.
std::uint64_t HashOf(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::string piece(1 << 20, '\0');
  std::uint64_t digest = 0;
  while (in.read(piece.data(), static_cast<std::streamsize>(piece.size())) || in.gcount() > 0) {
    const std::string_view got(piece.data(), static_cast<std::size_t>(in.gcount()));
    digest = digest * 1099511628211ull ^ std::hash<std::string_view>{}(got);
  }
  return digest ^ fs::file_size(path);
}

class RecoverCommand : public ::testing::Test {
 protected:
  std::string Build(imagekit::DiskDescription disk, std::string name = "disk.img") {
    const std::string path = (dir / name).string();
    auto built = imagekit::BuildImage(disk, path);
    EXPECT_TRUE(built.has_value()) << (built ? "" : built.error().message);
    if (built) report = *built;
    return path;
  }
  TempDir dir;
  imagekit::BuildReport report;
};

TEST_F(RecoverCommand, RecoversEverythingOfEachVolume) {
  const std::string image = Build(SampleDisk());
  for (const char* volume : {"1", "2"}) {
    const fs::path out = dir / (std::string("out") + volume);
    const RunResult run = RunTolvar({"recover", image, "-v", volume, "-o", out.string()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_THAT(run.out, ::testing::HasSubstr("4 files, 2 folders, 71706 bytes, 0 damaged files, "
                                              "0 unreadable sectors"));
    EXPECT_EQ(Slurp(out / "readme.txt"), "read me\n");
    EXPECT_EQ(fs::file_size(out / "data/ledger.db"), 70u * 1024);
    EXPECT_EQ(Slurp(out / "data/old/1999.txt"), "old\n");
    EXPECT_EQ(fs::read_symlink(out / "latest"), "data/ledger.db");
    EXPECT_FALSE(fs::exists(fs::symlink_status(out / "fifo")));
    const auto json = nlohmann::json::parse(Slurp(out / "tolvar-report.json"));
    EXPECT_EQ(json["summary"]["allWhole"], true);
  }
}

TEST_F(RecoverCommand, PathsPickFilesAndFolders) {
  const std::string image = Build(SampleDisk());
  const fs::path out = dir / "out";
  const RunResult run = RunTolvar({"recover", image, "data/old", "readme.txt", "-o", out.string()});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Slurp(out / "readme.txt"), "read me\n");
  EXPECT_EQ(Slurp(out / "old/1999.txt"), "old\n");
  EXPECT_FALSE(fs::exists(out / "data"));
}

TEST_F(RecoverCommand, UsageErrorsExitWithTwo) {
  const std::string image = Build(SampleDisk());
  const std::string out = (dir / "out").string();
  EXPECT_EQ(RunTolvar({"recover", image}).status, 2);  // no -o
  EXPECT_EQ(RunTolvar({"recover", image, "-o", out, "--duplicates", "maybe"}).status, 2);
  EXPECT_EQ(RunTolvar({"recover", image, "-o", out, "--sectors-per-read", "0"}).status, 2);
  EXPECT_EQ(RunTolvar({"recover", image, "-o", out, "--retries", "11"}).status, 2);
  const RunResult missing = RunTolvar({"recover", image, "nope/none", "-o", out});
  EXPECT_EQ(missing.status, 2);
  EXPECT_THAT(missing.err, ::testing::HasSubstr("nope/none"));
  const RunResult onItself = RunTolvar({"recover", image, "-o", image});
  EXPECT_EQ(onItself.status, 2);
  EXPECT_THAT(onItself.err, ::testing::HasSubstr("is the source itself"));
}

TEST_F(RecoverCommand, DuplicatesFollowTheOption) {
  const std::string image = Build(SampleDisk());
  const fs::path out = dir / "out";
  fs::create_directories(out);
  std::ofstream(out / "readme.txt") << "mine";
  ASSERT_EQ(RunTolvar({"recover", image, "readme.txt", "-o", out.string()}).status, 0);
  EXPECT_EQ(Slurp(out / "readme.txt"), "mine");  // skip is the default
  ASSERT_EQ(
      RunTolvar({"recover", image, "readme.txt", "-o", out.string(), "--duplicates", "rename"})
          .status,
      0);
  EXPECT_EQ(Slurp(out / "readme (1).txt"), "read me\n");
  ASSERT_EQ(
      RunTolvar({"recover", image, "readme.txt", "-o", out.string(), "--duplicates", "overwrite"})
          .status,
      0);
  EXPECT_EQ(Slurp(out / "readme.txt"), "read me\n");
}

TEST_F(RecoverCommand, UnreadableSectorsMakeItExitWithOne) {
  imagekit::DiskDescription disk = SampleDisk();
  imagekit::Damage damage;
  damage.kind = imagekit::DamageKind::kUnreadable;
  damage.path = "/data/ledger.db";
  damage.block = 11;
  disk.damage.push_back(damage);
  const std::string image = Build(disk);
  ASSERT_FALSE(report.unreadablePath.empty());
  const fs::path out = dir / "out";
  const RunResult run = RunTolvar(
      {"recover", image, "-o", out.string(), "--unreadable-sectors", report.unreadablePath});
  EXPECT_EQ(run.status, 1) << run.err;
  const auto& volume = report.volumes[0];
  const std::uint64_t sector = volume.SectorOfBlock(volume.Find("/data/ledger.db")->dataBlocks[11]);
  EXPECT_THAT(run.out, ::testing::HasSubstr(fmt::format("damaged: data/ledger.db (unreadable "
                                                        "sectors {}-{})",
                                                        sector, sector + 1)));
  EXPECT_THAT(run.out, ::testing::HasSubstr("1 damaged files, 2 unreadable sectors"));
  const std::string copy = Slurp(out / "data/ledger.db");
  ASSERT_EQ(copy.size(), 70u * 1024);
  EXPECT_EQ(copy.substr(11 * 1024, 1024), std::string(1024, '\0'));
}

TEST_F(RecoverCommand, NoCommandChangesTheImageAndAReadOnlyImageWorks) {
  const std::string image = Build(SampleDisk());
  ASSERT_EQ(::chmod(image.c_str(), 0444), 0);
  const std::uint64_t before = HashOf(image);
  const std::string out = (dir / "out").string();
  const std::vector<std::vector<std::string>> commands = {
      {"drives", image},
      {"scan", image},
      {"ls", image, "-v", "2", "data"},
      {"tree", image, "--extensive"},
      {"find", image, "*.TXT"},
      {"info", image},
      {"recover", image, "-o", out},
      {"recover", image, "-v", "2", "--extensive", "-o", out, "--duplicates", "overwrite"},
      {"restore", out},
  };
  for (const auto& args : commands) {
    const RunResult run = RunTolvar(args);
    EXPECT_EQ(run.status, 0) << args[0] << ": " << run.err;
    EXPECT_EQ(HashOf(image), before) << args[0];
  }
  EXPECT_EQ(Slurp(fs::path(out) / "readme.txt"), "read me\n");
}

TEST_F(RecoverCommand, InterruptTermAndHangupStopCleanlyAndStillWriteTheReport) {
  imagekit::DiskDescription disk;
  imagekit::VolumeDescription volume;
  std::vector<Node> files;
  for (int i = 0; i < 16; ++i) {
    files.push_back(Node::Filled(fmt::format("f{:02}", i), 2 * 1024 * 1024,
                                 Fill{Fill::Pattern::kByte, static_cast<std::uint8_t>(i), "", 0}));
  }
  volume.root = Node::Folder("", std::move(files));
  disk.volumes.push_back(std::move(volume));
  const std::string image = Build(disk);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    const fs::path out = dir / fmt::format("out-{}", signal);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      const std::string tolvar = TolvarPath().string();
      const std::string destination = out.string();
      const int devnull = ::open("/dev/null", O_WRONLY);
      ::dup2(devnull, STDOUT_FILENO);
      ::dup2(devnull, STDERR_FILENO);
      ::execl(tolvar.c_str(), tolvar.c_str(), "recover", image.c_str(), "-o", destination.c_str(),
              "--sectors-per-read", "1", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    // Wait until the run has written something, then send the signal.
    for (int i = 0; i < 3000 && !fs::exists(out / "f00"); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::kill(child, signal);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "signal " << signal << " ended the run from outside";
    if (WEXITSTATUS(status) == 0) GTEST_SKIP() << "the run ended before the signal";
    EXPECT_EQ(WEXITSTATUS(status), 1);
    const auto json = nlohmann::json::parse(Slurp(out / "tolvar-report.json"));
    EXPECT_EQ(json["summary"]["stoppedByUser"], true);
    for (const auto& item : fs::directory_iterator(out)) {
      const std::string name = item.path().filename().string();
      EXPECT_EQ(name.find(".tolvar%partial"), std::string::npos);
      if (name.starts_with("f")) {
        EXPECT_EQ(fs::file_size(item.path()), 2u * 1024 * 1024) << name;
      }
    }
  }
}

}  // namespace
}  // namespace tolvar::testing
