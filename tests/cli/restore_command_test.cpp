#include <fcntl.h>
#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

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

// "hello\n" as xz streams: one with no integrity check, one with CRC-64.
const std::string kHelloXzNoCheck{
    "\xfd\x37\x7a\x58\x5a\x00\x00\x00\xff\x12\xd9\x41\x02\x00\x21\x01\x16\x00\x00\x00"
    "\x74\x2f\xe5\xa3\x01\x00\x05\x68\x65\x6c\x6c\x6f\x0a\x00\x00\x00\x00\x01\x16\x06"
    "\xc9\xa5\x7d\xd5\x06\x72\x9e\x7a\x01\x00\x00\x00\x00\x00\x59\x5a",
    56};
const std::string kHelloXzCrc64{
    "\xfd\x37\x7a\x58\x5a\x00\x00\x04\xe6\xd6\xb4\x46\x02\x00\x21\x01\x16\x00\x00\x00"
    "\x74\x2f\xe5\xa3\x01\x00\x05\x68\x65\x6c\x6c\x6f\x0a\x00\x00\x00\xa5\x60\x97\xf1"
    "\x94\xf6\xfd\xe0\x00\x01\x1e\x06\xc1\x2f\xa4\x1d\x1f\xb6\xf3\x7d\x01\x00\x00\x00"
    "\x00\x04\x59\x5a",
    64};

// Only a stream whose check confirms the result loses its original.
TEST(RestoreCommand, AnXzStreamWithoutACheckKeepsItsOriginal) {
  struct Case {
    const char* name;
    const std::string& bytes;
    bool originalKept;
    const char* line;
  };
  const Case cases[] = {
      {"nocheck.xz", kHelloXzNoCheck, true, "restored, unverified nocheck.xz -> nocheck"},
      {"crc64.xz", kHelloXzCrc64, false, "restored crc64.xz -> crc64"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::ofstream(dir / c.name, std::ios::binary) << c.bytes;
    const RunResult run = RunTolvar({"restore", dir.Path().string()});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_THAT(run.out, ::testing::HasSubstr(c.line));
    EXPECT_EQ(fs::exists(dir / c.name), c.originalKept);
    const std::string restored = fs::path(c.name).stem().string();
    EXPECT_EQ(Slurp(dir / restored), "hello\n");
  }
  TempDir dir;
  std::ofstream(dir / "nocheck.xz", std::ios::binary) << kHelloXzNoCheck;
  const RunResult json = RunTolvar({"restore", "--json", dir.Path().string()});
  EXPECT_THAT(json.out, ::testing::HasSubstr("\"unverified\""));
  EXPECT_THAT(json.out, ::testing::HasSubstr("no integrity check"));
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

// Starts tolvar with `args` and stdout, stderr in `capture`/out and /err,
// under a file-size limit when one is given.
pid_t Spawn(const std::vector<std::string>& args, const fs::path& capture,
            rlim_t fileSizeLimit = RLIM_INFINITY) {
  const std::string tolvar = TolvarPath().string();
  const std::string out = (capture / "out").string();
  const std::string err = (capture / "err").string();
  std::vector<char*> argv{const_cast<char*>(tolvar.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int errFd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(outFd, STDOUT_FILENO);
    ::dup2(errFd, STDERR_FILENO);
    const rlimit limit{fileSizeLimit, fileSizeLimit};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ::execv(tolvar.c_str(), argv.data());
    ::_exit(127);
  }
  return child;
}

bool HasPartialFile(const fs::path& folder) {
  std::error_code ignored;
  for (const auto& item : fs::directory_iterator(folder, ignored)) {
    if (item.path().filename().string().starts_with(".tolvar%partial")) return true;
  }
  return false;
}

std::vector<std::string> NamesIn(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& item : fs::directory_iterator(folder)) {
    names.push_back(item.path().filename().string());
  }
  return names;
}

TEST(RestoreCommand, InterruptTermAndHangupStopItWithItsReportAndNothingHalfWritten) {
  TempDir work;
  // Many bzip2 streams of zeros, one after the other: hundreds of MiB from a
  // small file, so the signal comes while the file is decoded.
  const fs::path one = work / "one.bz2";
  ASSERT_EQ(std::system(("head -c 4194304 /dev/zero | bzip2 -9 > " + one.string()).c_str()), 0);
  const std::string stream = Slurp(one);
  std::string many;
  for (int i = 0; i < 200; ++i) many += stream;
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    const fs::path folder = work / fmt::format("data-{}", signal);
    const fs::path capture = work / fmt::format("capture-{}", signal);
    fs::create_directories(folder);
    fs::create_directories(capture);
    std::ofstream(folder / "zeros.bz2", std::ios::binary) << many;
    const pid_t child = Spawn({"restore", folder.string()}, capture);
    ASSERT_GT(child, 0);
    int status = 0;
    bool ended = false;
    for (int i = 0; i < 6000 && !HasPartialFile(folder); ++i) {
      if (::waitpid(child, &status, WNOHANG) == child) {
        ended = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (ended) GTEST_SKIP() << "the restore ended before the signal";
    ::kill(child, signal);
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "signal " << signal << " ended the restore from outside";
    EXPECT_EQ(WEXITSTATUS(status), 1);
    const std::string out = Slurp(capture / "out");
    EXPECT_THAT(out, ::testing::HasSubstr("stopped zeros.bz2"));
    EXPECT_THAT(out, ::testing::HasSubstr("Stopped before the end."));
    EXPECT_THAT(NamesIn(folder), ::testing::ElementsAre("zeros.bz2"));
  }
}

TEST(RestoreCommand, AFileSizeLimitIsReportedLikeAFullDisk) {
  TempDir work;
  const fs::path folder = work / "data";
  fs::create_directories(folder);
  ASSERT_EQ(std::system(("seq 1 300000 | gzip > " + (folder / "count.gz").string()).c_str()), 0);
  const std::string packed = Slurp(folder / "count.gz");
  const pid_t child = Spawn({"restore", folder.string()}, work.Path(), 64 * 1024);
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_THAT(Slurp(work / "err"), ::testing::HasSubstr("too large"));
  EXPECT_THAT(Slurp(work / "out"), ::testing::HasSubstr("failed count.gz"));
  EXPECT_EQ(Slurp(folder / "count.gz"), packed);
  EXPECT_THAT(NamesIn(folder), ::testing::ElementsAre("count.gz"));
}

}  // namespace
}  // namespace tolvar::testing
