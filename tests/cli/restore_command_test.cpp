#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/cli/run_tolvar.hpp"
#include "tests/support/temp_dir.hpp"

namespace tolvar::testing {
namespace {

namespace fs = std::filesystem;

// A gzip stream of "hello\n" (gzip -n), and the same with its data damaged.
const std::string kHelloGz{
    "\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03\xcb\x48\xcd\xc9\xc9\xe7"
    "\x02\x00\x20\x30\x3a\x36\x06\x00\x00\x00",
    26};

TEST(RestoreCommand, RestoresAndReports) {
  TempDir dir;
  std::ofstream(dir / "hello.gz", std::ios::binary) << kHelloGz;
  const RunResult run = RunTolvar({"restore", dir.Path().string()});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Slurp(dir / "hello"), "hello\n");
  EXPECT_FALSE(fs::exists(dir / "hello.gz"));
  EXPECT_THAT(run.out, ::testing::HasSubstr("restored hello.gz -> hello"));
}

TEST(RestoreCommand, ADamagedArchiveIsLeftAndExitsWithOne) {
  TempDir dir;
  std::string damaged = kHelloGz;
  damaged[18] = '\x21';  // the check sum no longer matches
  std::ofstream(dir / "bad.gz", std::ios::binary) << damaged;
  const RunResult run = RunTolvar({"restore", dir.Path().string(), "--json"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(Slurp(dir / "bad.gz"), damaged);
  EXPECT_FALSE(fs::exists(dir / "bad"));
  EXPECT_THAT(run.out, ::testing::HasSubstr("\"damaged\": 1"));
}

TEST(RestoreCommand, AMissingFolderIsAUsageError) {
  TempDir dir;
  const RunResult run = RunTolvar({"restore", (dir / "none").string()});
  EXPECT_EQ(run.status, 2);
  EXPECT_THAT(run.err, ::testing::HasSubstr("none"));
}

}  // namespace
}  // namespace tolvar::testing
