// Damaged folders through the commands: a deleted entry in the middle of an
// HTFS folder, time stamps that read "Error", folder blocks that cannot be
// read. Each case is one command over one damaged disk.

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "imagekit/image_builder.hpp"
#include "tests/cli/run_tolvar.hpp"
#include "tests/support/temp_dir.hpp"

namespace tolvar::testing {
namespace {

namespace fs = std::filesystem;
namespace ik = imagekit;
using ::testing::HasSubstr;
using ::testing::Not;

// The root lists first.txt, data/, zero.txt, late/ and last.txt in that order.
ik::DiskDescription WalkDisk(ik::FsKind kind) {
  ik::DiskDescription disk;
  ik::VolumeDescription volume;
  volume.fs = kind;
  volume.root =
      ik::Node::Folder("", {ik::Node::File("first.txt", "first\n"),
                            ik::Node::Folder("data", {ik::Node::File("old.txt", "old\n")}),
                            ik::Node::File("zero.txt", "zero\n"),
                            ik::Node::Folder("late", {ik::Node::File("inner.txt", "inner\n")}),
                            ik::Node::File("last.txt", "last\n")});
  disk.volumes.push_back(volume);
  return disk;
}

ik::Damage Damage(ik::DamageKind kind, std::string path) {
  ik::Damage damage;
  damage.kind = kind;
  damage.path = std::move(path);
  return damage;
}

struct Built {
  std::string image;
  fs::path out;
  ik::BuildReport report;
  // The sectors of block `block` of `path`, as "first-last".
  [[nodiscard]] std::string BlockSectors(std::string_view path, std::uint32_t block = 0) const {
    const auto& volume = report.volumes[0];
    const std::uint64_t sector = volume.SectorOfBlock(volume.Find(path)->dataBlocks[block]);
    return fmt::format("{}-{}", sector, sector + 1);
  }
};

struct WalkCase {
  const char* what;
  ik::FsKind kind;
  std::vector<ik::Damage> damage;
  // The command; "IMAGE", "OUT" and "SIDECAR" are replaced.
  std::vector<std::string> args;
  int status;
  // Texts expected in the output (stdout and stderr together); "SECTORS(path)"
  // stands for the sectors of the first block of path.
  std::vector<std::string> shown;
  std::vector<std::string> notShown = {};
  std::function<void(const Built&)> check = {};
};

std::string Expand(std::string text, const Built& built) {
  const auto replace = [&](std::string_view from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from)) {
      text.replace(at, from.size(), to);
    }
  };
  replace("IMAGE", built.image);
  replace("OUT", built.out.string());
  replace("SIDECAR", built.report.unreadablePath);
  for (std::size_t at = text.find("SECTORS("); at != std::string::npos;
       at = text.find("SECTORS(")) {
    const std::size_t end = text.find(')', at);
    const std::string path = text.substr(at + 8, end - at - 8);
    text.replace(at, end + 1 - at, built.BlockSectors(path));
  }
  return text;
}

nlohmann::json ReportOf(const Built& built) {
  return nlohmann::json::parse(Slurp(built.out / "tolvar-report.json"));
}

const nlohmann::json* EntryAt(const nlohmann::json& report, std::string_view path) {
  for (const auto& entry : report["entries"]) {
    if (entry["path"] == path) return &entry;
  }
  return nullptr;
}

TEST(HostileWalkCommands, EachCase) {
  const std::time_t started = std::time(nullptr);
  ik::Damage zeroTime = Damage(ik::DamageKind::kSetTime, "/zero.txt");
  ik::Damage zeroFolderTime = Damage(ik::DamageKind::kSetTime, "/late");
  ik::Damage negativeTime = Damage(ik::DamageKind::kSetTime, "/last.txt");
  negativeTime.value = -1;
  const std::vector<ik::Damage> times = {zeroTime, zeroFolderTime, negativeTime};
  const ik::Damage deleted = Damage(ik::DamageKind::kDeleteEntry, "/first.txt");
  const ik::Damage rootUnreadable = Damage(ik::DamageKind::kUnreadable, "/");
  const ik::Damage dataUnreadable = Damage(ik::DamageKind::kUnreadable, "/data");
  const auto htfs = ik::FsKind::kHtfs;
  const auto eafs = ik::FsKind::kEafs;

  const std::vector<WalkCase> cases = {
      {"a deleted first entry hides nothing after it",
       htfs,
       {deleted},
       {"ls", "IMAGE"},
       0,
       {"data", "zero.txt", "late", "last.txt"},
       {"first.txt"}},
      {"the deleted slot is counted by info",
       htfs,
       {deleted},
       {"info", "IMAGE"},
       0,
       {"Skipped Slots      1\n", "Unread Sectors     0\n"}},
      {"the deleted slot is counted by info --json",
       htfs,
       {deleted},
       {"info", "--json", "IMAGE"},
       0,
       {"\"freeSlotsSkipped\": 1"}},
      {"everything after a deleted entry is recovered",
       htfs,
       {deleted},
       {"recover", "IMAGE", "-o", "OUT"},
       0,
       {"4 files, 2 folders, 20 bytes, 0 damaged files, 0 unreadable sectors\n"}},
      {"the sweep passes freed slots too",
       htfs,
       {deleted},
       {"recover", "--extensive", "IMAGE", "-o", "OUT"},
       0,
       {"4 files, "}},
      {"Error time stamps are listed (HTFS)",
       htfs,
       times,
       {"ls", "IMAGE"},
       0,
       {"zero.txt", "late", "last.txt", "Error"}},
      {"Error time stamps are listed (EAFS)",
       eafs,
       times,
       {"tree", "IMAGE"},
       0,
       {"late", "inner.txt"}},
      {"Error time stamps are found",
       htfs,
       times,
       {"find", "IMAGE", "*.txt"},
       0,
       {"zero.txt", "inner.txt", "last.txt"}},
      {"Error time stamps are counted",
       eafs,
       times,
       {"info", "--json", "IMAGE"},
       0,
       {"\"totalFiles\": 5", "\"totalFolders\": 2"}},
      {"Error time stamps are recovered, without their times",
       htfs,
       times,
       {"recover", "IMAGE", "-o", "OUT"},
       0,
       {"5 files, 2 folders, 26 bytes, 0 damaged files"},
       {},
       [started](const Built& built) {
         EXPECT_EQ(Slurp(built.out / "zero.txt"), "zero\n");
         EXPECT_EQ(Slurp(built.out / "late/inner.txt"), "inner\n");
         const auto report = ReportOf(built);
         for (const char* path : {"zero.txt", "late", "last.txt"}) {
           const auto* entry = EntryAt(report, path);
           ASSERT_NE(entry, nullptr) << path;
           EXPECT_EQ(entry->value("timeUnreadable", false), true) << path;
           // The host copy keeps the time it was written at.
           struct stat st {};
           ASSERT_EQ(::stat((built.out / path).c_str(), &st), 0) << path;
           EXPECT_GE(st.st_mtime, started - 2) << path;
         }
         EXPECT_FALSE(EntryAt(report, "data/old.txt")->contains("timeUnreadable"));
         EXPECT_THAT(Slurp(built.out / "tolvar-report.txt"), HasSubstr("time stamp unreadable"));
       }},
      {"an unreadable root block is a damaged folder, not an empty success",
       htfs,
       {rootUnreadable},
       {"recover", "IMAGE", "-o", "OUT", "--unreadable-sectors", "SIDECAR"},
       1,
       {"damaged: . (unreadable sectors SECTORS(/))", "--extensive",
        "0 files, 0 folders, 0 bytes, 0 damaged files, 2 unreadable sectors, 1 damaged folders"},
       {},
       [](const Built& built) {
         const auto report = ReportOf(built);
         EXPECT_EQ(report["summary"]["allWhole"], false);
         EXPECT_EQ(report["summary"]["damagedFolders"], 1);
         const auto* root = EntryAt(report, ".");
         ASSERT_NE(root, nullptr);
         EXPECT_EQ((*root)["status"], "damaged");
         EXPECT_THAT((*root)["note"].get<std::string>(), HasSubstr("contents are unknown"));
       }},
      {"an unreadable root block is said by ls",
       eafs,
       {rootUnreadable},
       {"ls", "IMAGE", "--unreadable-sectors", "SIDECAR"},
       0,
       {"warning: the root folder could not be read (sectors SECTORS(/)): its contents are "
        "unknown; try --extensive"}},
      {"an unreadable root block is counted by info",
       htfs,
       {rootUnreadable},
       {"info", "--json", "IMAGE", "--unreadable-sectors", "SIDECAR"},
       0,
       {"\"unreadableSectors\": 2"}},
      {"an unreadable sub-folder block is a damaged folder",
       eafs,
       {dataUnreadable},
       {"recover", "IMAGE", "-o", "OUT", "--unreadable-sectors", "SIDECAR"},
       1,
       {"damaged: data (unreadable sectors SECTORS(/data))",
        "4 files, 2 folders, 22 bytes, 0 damaged files, 2 unreadable sectors, 1 damaged folders"}},
      {"an unreadable sub-folder block, recovered by itself",
       htfs,
       {dataUnreadable},
       {"recover", "IMAGE", "data", "-o", "OUT", "--unreadable-sectors", "SIDECAR"},
       1,
       {"damaged: data (unreadable sectors SECTORS(/data))", "1 damaged folders"},
       {"damaged: . "}},
      {"the sweep counts the root block it could not read",
       htfs,
       {rootUnreadable},
       {"recover", "--extensive", "IMAGE", "-o", "OUT", "--unreadable-sectors", "SIDECAR"},
       1,
       {"unreadable sectors"},
       {"0 unreadable sectors"}},
  };

  for (const WalkCase& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    ik::DiskDescription disk = WalkDisk(c.kind);
    disk.damage = c.damage;
    Built built;
    built.image = (dir / "disk.img").string();
    built.out = dir / "out";
    auto report = ik::BuildImage(disk, built.image);
    ASSERT_TRUE(report.has_value()) << report.error().message;
    built.report = *report;
    std::vector<std::string> args;
    for (const std::string& arg : c.args) args.push_back(Expand(arg, built));
    const RunResult run = RunTolvar(args);
    const std::string output = run.out + run.err;
    EXPECT_EQ(run.status, c.status) << output;
    for (const std::string& text : c.shown) {
      EXPECT_THAT(output, HasSubstr(Expand(text, built)));
    }
    for (const std::string& text : c.notShown) {
      EXPECT_THAT(output, Not(HasSubstr(Expand(text, built))));
    }
    if (c.check) c.check(built);
  }
}

}  // namespace
}  // namespace tolvar::testing
