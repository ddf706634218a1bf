#include "recovery/host_writer.hpp"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "recovery/host_names.hpp"
#include "tests/support/temp_dir.hpp"

namespace tolvar {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> NamesIn(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& item : fs::directory_iterator(folder)) {
    names.push_back(item.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

FolderHandle OpenFolder(const fs::path& path) {
  return FolderHandle(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// Bytes that differ at every position, so a copy from the wrong offset shows.
std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
  return bytes;
}

class FileSource {
 public:
  FileSource(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  }
  ~FileSource() { ::close(fd_); }
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  [[nodiscard]] int Fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// Each way of copying, mixed with ordinary writes and holes, gives the same
// bytes; a copy that cannot be made leaves the file as it was.
TEST(KernelCopy, EveryPathWritesExactlyTheBytesAsked) {
  TempDir dir;
  const std::string image = Pattern(3 << 20);
  FileSource source(dir / "image", image);
  fs::create_directories(dir / "out");
  const FolderHandle folder = OpenFolder(dir / "out");

  struct Case {
    const char* name;
    PendingFile::KernelCopyMode mode;
    bool copies;
  };
  const Case cases[] = {
      {"copy-range", {true, true, true}, true},
      {"sendfile", {false, true, true}, true},
      {"splice", {false, false, true}, true},
      {"refused", {false, false, false}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto pending = PendingFile::Create(folder, c.name);
    ASSERT_TRUE(pending.has_value());
    PendingFile::KernelCopyMode mode = c.mode;
    ASSERT_TRUE(pending->Write(std::as_bytes(std::span("head", 4))).has_value());
    auto first = pending->CopyFromFile(source.Fd(), 12345, (2 << 20) + 7, mode);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(*first, c.copies);
    std::string expected = "head";
    if (!c.copies) {
      // The caller writes the bytes itself after a refusal.
      const std::string part = image.substr(12345, (2 << 20) + 7);
      ASSERT_TRUE(pending->Write(std::as_bytes(std::span(part.data(), part.size()))).has_value());
    }
    expected += image.substr(12345, (2 << 20) + 7);
    ASSERT_TRUE(pending->WriteHole(1000).has_value());
    expected += std::string(1000, '\0');
    ASSERT_TRUE(pending->CopyFromFile(source.Fd(), 0, 512, mode).has_value());
    if (!c.copies) {
      ASSERT_TRUE(pending->Write(std::as_bytes(std::span(image.data(), 512))).has_value());
    }
    expected += image.substr(0, 512);
    auto placed =
        pending->Commit(c.name, expected.size(), std::nullopt, DuplicatePolicy::kRename, false);
    ASSERT_TRUE(placed.has_value()) << placed.error().message;
    EXPECT_EQ(Slurp(dir / "out" / c.name), expected);
  }
}

TEST(KernelCopy, ACopyThatStopsShortLeavesTheFileAsItWas) {
  TempDir dir;
  const std::string image = Pattern(100000);
  FileSource source(dir / "image", image);
  fs::create_directories(dir / "out");
  const FolderHandle folder = OpenFolder(dir / "out");
  for (const PendingFile::KernelCopyMode& start :
       {PendingFile::KernelCopyMode{true, true, true},
        PendingFile::KernelCopyMode{false, true, true},
        PendingFile::KernelCopyMode{false, false, true}}) {
    auto pending = PendingFile::Create(folder, "short");
    ASSERT_TRUE(pending.has_value());
    PendingFile::KernelCopyMode mode = start;
    ASSERT_TRUE(pending->Write(std::as_bytes(std::span("abc", 3))).has_value());
    // The source ends 1000 bytes into the run: some bytes come, then none.
    auto copied = pending->CopyFromFile(source.Fd(), image.size() - 1000, 5000, mode);
    ASSERT_TRUE(copied.has_value());
    EXPECT_FALSE(*copied);
    EXPECT_EQ(pending->Written(), 3u);
    // What follows lands right after what was written before.
    ASSERT_TRUE(pending->Write(std::as_bytes(std::span("de", 2))).has_value());
    ASSERT_TRUE(
        pending->Commit("short", 5, std::nullopt, DuplicatePolicy::kOverwrite, false).has_value());
    EXPECT_EQ(Slurp(dir / "out/short"), "abcde");
  }
  // A source the kernel cannot copy from at all is refused, not an error.
  auto pending = PendingFile::Create(folder, "pipe");
  ASSERT_TRUE(pending.has_value());
  int pipeEnds[2];
  ASSERT_EQ(::pipe(pipeEnds), 0);
  PendingFile::KernelCopyMode mode;
  auto copied = pending->CopyFromFile(pipeEnds[1], 0, 10, mode);
  ::close(pipeEnds[0]);
  ::close(pipeEnds[1]);
  ASSERT_TRUE(copied.has_value());
  EXPECT_FALSE(*copied);
  EXPECT_FALSE(mode.copyRange);
  EXPECT_FALSE(mode.sendFile);
  EXPECT_FALSE(mode.splice);
}

// The temporary name can never be a recovered file's name, and cleanup takes
// only temporary entries whose writer is gone.
TEST(TemporaryNames, NeverMeetRecoveredNamesAndCleanupTakesOnlyLeftovers) {
  const std::vector<std::string> raws = {".tolvar-partial-4194305", ".tolvar%partial-4194305",
                                         ".tolvar%partial-1-2", "%",
                                         ".tolvar%partial-" + std::string(300, 'x')};
  for (const std::string& raw : raws) {
    EXPECT_FALSE(IsPartialName(EscapeHostName(raw))) << raw;
  }
  TempDir dir;
  // Names a disk can hold and a recovery writes as they are.
  std::ofstream(dir / ".tolvar-partial-4194305") << "recovered";
  std::ofstream(dir / ".tolvar-partial-4194305-2") << "recovered";
  // A run's leftover (no process can have this number: the limit is 2^22),
  // and one of a process that still runs.
  std::ofstream(dir / ".tolvar%partial-4194305") << "half";
  const std::string running = ".tolvar%partial-" + std::to_string(::getpid());
  std::ofstream(dir / running) << "being written";
  const FolderHandle folder = OpenFolder(dir.Path());
  EXPECT_THAT(RemoveLeftoverPartials(folder), ::testing::ElementsAre(".tolvar%partial-4194305"));
  EXPECT_THAT(NamesIn(dir.Path()),
              ::testing::ElementsAre(".tolvar%partial-" + std::to_string(::getpid()),
                                     ".tolvar-partial-4194305", ".tolvar-partial-4194305-2"));
}

TEST(TemporaryNames, AFileInProgressHasNoNameAndCommitsUnderEveryPolicy) {
  TempDir dir;
  const FolderHandle folder = OpenFolder(dir.Path());
  std::ofstream(dir / "taken") << "old";
  struct Case {
    DuplicatePolicy policy;
    std::optional<std::string> placedAs;
    std::string takenHolds;
  };
  const Case cases[] = {
      {DuplicatePolicy::kSkip, std::nullopt, "old"},
      {DuplicatePolicy::kRename, "taken (1)", "old"},
      {DuplicatePolicy::kOverwrite, "taken", "new"},
  };
  for (const Case& c : cases) {
    auto pending = PendingFile::Create(folder, "taken");
    ASSERT_TRUE(pending.has_value());
    ASSERT_TRUE(pending->Write(std::as_bytes(std::span("new", 3))).has_value());
    // Nothing named stands for the file while it is written.
    for (const std::string& name : NamesIn(dir.Path())) {
      EXPECT_FALSE(IsPartialName(name)) << name;
    }
    auto placed = pending->Commit("taken", 3, std::nullopt, c.policy, false);
    ASSERT_TRUE(placed.has_value());
    EXPECT_EQ(*placed, c.placedAs);
    EXPECT_EQ(Slurp(dir / "taken"), c.takenHolds);
  }
  EXPECT_THAT(NamesIn(dir.Path()), ::testing::ElementsAre("taken", "taken (1)"));
  EXPECT_EQ(Slurp(dir / "taken (1)"), "new");
}

}  // namespace
}  // namespace tolvar
