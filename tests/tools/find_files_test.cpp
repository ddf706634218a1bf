#include "tools/find_files.hpp"

#include <gtest/gtest.h>

#include <thread>

#include "tests/tools/tree_fixture.hpp"
#include "tools/folder_paths.hpp"

namespace tolvar {
namespace {

using testing::TreeBuilder;

// / README, ReadMe; USR/ readme.txt; USR/BIN/ ls; ETC/ passwd
TreeBuilder SmallVolume() {
  TreeBuilder b;
  b.Folder("USR", 10, 2).Folder("ETC", 11, 2).Folder("BIN", 12, 10);
  b.File("README", 20, 2, 5).File("ReadMe", 21, 2, 6);
  b.File("readme.txt", 22, 10, 70000).File("ls", 23, 12, 123).File("passwd", 24, 11, 9);
  return b;
}

TEST(FindFiles, MatchesAnyCaseAndReportsUpperCaseNames) {
  const TreeBuilder b = SmallVolume();
  const auto hits = FindFiles(b.tree, "readme");
  ASSERT_EQ(hits.size(), 3u);
  EXPECT_EQ(hits[0].name, "README");
  EXPECT_EQ(hits[1].name, "README");
  EXPECT_EQ(hits[2].name, "README.TXT");
  EXPECT_EQ(hits[1].fileId, 1u);
  EXPECT_EQ(hits[2].size, 70000u);
}

TEST(FindFiles, PathsJoinFolderNamesWithBackslashes) {
  const TreeBuilder b = SmallVolume();
  const auto all = FindFiles(b.tree, "*");
  ASSERT_EQ(all.size(), 5u);
  EXPECT_EQ(all[0].path, "\\");
  EXPECT_EQ(all[2].path, "\\USR");
  EXPECT_EQ(all[3].path, "\\USR\\BIN");
  EXPECT_EQ(all[4].path, "\\ETC");
}

TEST(FindFiles, HitsComeInFileListOrderWithRunningCount) {
  TreeBuilder b = SmallVolume();
  struct Sink final : FindHitSink {
    void AddHit(const FindHit& hit, std::uint32_t count) override {
      names.push_back(hit.name);
      counts.push_back(count);
    }
    std::vector<std::string> names;
    std::vector<std::uint32_t> counts;
  } sink;
  const FindOutcome outcome = FindFiles(b.tree, "*S*", sink);
  EXPECT_EQ(outcome.hits, 2u);
  EXPECT_FALSE(outcome.stopped);
  EXPECT_EQ(sink.names, (std::vector<std::string>{"LS", "PASSWD"}));
  EXPECT_EQ(sink.counts, (std::vector<std::uint32_t>{1, 2}));
}

TEST(FindFiles, StopAddsNoFurtherHit) {
  TreeBuilder b;
  for (std::uint32_t k = 0; k < 50; ++k) b.File("F" + std::to_string(k), 100 + k, 2, k);
  FindControl control;
  struct Sink final : FindHitSink {
    explicit Sink(FindControl& c) : control(c) {}
    void AddHit(const FindHit&, std::uint32_t count) override {
      if (count == 3) control.Stop();
      ++seen;
    }
    FindControl& control;
    int seen = 0;
  } sink(control);
  const FindOutcome outcome = FindFiles(b.tree, "F", sink, &control);
  EXPECT_TRUE(outcome.stopped);
  EXPECT_EQ(sink.seen, 3);
}

TEST(FindFiles, PausedSearchResumesWithTheSameRows) {
  const TreeBuilder b = SmallVolume();
  const auto uninterrupted = FindFiles(b.tree, "*");
  FindControl control;
  struct Sink final : FindHitSink {
    explicit Sink(FindControl& c) : control(c) {}
    void AddHit(const FindHit& hit, std::uint32_t count) override {
      names.push_back(hit.name);
      if (count == 1) {
        // The stop question is up; the user answers No from another thread.
        control.Pause();
        resumer = std::thread([this] { control.Resume(); });
      }
    }
    FindControl& control;
    std::thread resumer;
    std::vector<std::string> names;
  } sink(control);
  const FindOutcome outcome = FindFiles(b.tree, "*", sink, &control);
  sink.resumer.join();
  EXPECT_FALSE(outcome.stopped);
  ASSERT_EQ(sink.names.size(), uninterrupted.size());
  for (std::size_t k = 0; k < uninterrupted.size(); ++k) {
    EXPECT_EQ(sink.names[k], uninterrupted[k].name);
  }
}

TEST(FolderPaths, AncestorEndingInBackslashGetsNoSecondOne) {
  TreeBuilder b;
  b.Folder("A\\", 10, 2).Folder("B", 11, 10).File("x", 20, 11, 1);
  FolderPaths paths(b.tree);
  EXPECT_EQ(paths.PathOf(11), "A\\B");
  EXPECT_EQ(paths.FilePath(11), "\\A\\B");
  EXPECT_EQ(paths.PathOf(2), "");
  EXPECT_EQ(paths.FilePath(999), "\\");
}

TEST(FolderPaths, CyclesAndGapsEndTheClimb) {
  TreeBuilder b;
  // 10 and 11 name each other as parents; 12 hangs below a missing 99.
  b.Folder("A", 10, 11).Folder("B", 11, 10).Folder("C", 12, 99);
  FolderPaths paths(b.tree);
  EXPECT_EQ(paths.PathOf(10), "B\\A");
  EXPECT_EQ(paths.PathOf(12), "C");
}

TEST(FolderPaths, DeepChainNeedsNoStack) {
  TreeBuilder b;
  constexpr std::uint32_t kDepth = 100000;
  for (std::uint32_t k = 0; k < kDepth; ++k) b.Folder("D", 10 + k, k == 0 ? 2 : 9 + k);
  FolderPaths paths(b.tree);
  EXPECT_EQ(paths.PathOf(9 + kDepth).size(), 2 * kDepth - 1);
}

TEST(ResolveFolderPath, WalksNamesBelowTheRoot) {
  const TreeBuilder b = SmallVolume();
  EXPECT_EQ(ResolveFolderPath(b.tree, ""), 2u);
  EXPECT_EQ(ResolveFolderPath(b.tree, "/"), 2u);
  EXPECT_EQ(ResolveFolderPath(b.tree, "USR"), 10u);
  EXPECT_EQ(ResolveFolderPath(b.tree, "/USR/BIN/"), 12u);
  EXPECT_EQ(ResolveFolderPath(b.tree, "USR//BIN"), 12u);
  EXPECT_FALSE(ResolveFolderPath(b.tree, "usr"));
  EXPECT_FALSE(ResolveFolderPath(b.tree, "ETC/BIN"));
  EXPECT_FALSE(ResolveFolderPath(b.tree, "USR/BIN/ls"));  // a file is no folder
}

}  // namespace
}  // namespace tolvar
