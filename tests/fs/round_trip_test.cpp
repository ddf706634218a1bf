// Images written by the image builder, read back by both mounts: every node
// written must come back with its name, size, time texts and parent.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "fs/timestamp.hpp"
#include "imagekit/image_builder.hpp"
#include "tests/fs/tiny_volume.hpp"
#include "volumes/discovery.hpp"

namespace tolvar {
namespace {

// The four sectors from a volume's start, where its superblock sits.
DiscoveryRequest StartOf(std::uint32_t startSector) {
  return {DiscoveryMethod::kRange, startSector, startSector + 4, 4};
}

namespace ik = imagekit;
using testing::MountRig;

struct Seen {
  bool folder = false;
  std::uint32_t size = 0;
  std::uint32_t time = 0;
  std::uint32_t parent = 0;
  int count = 0;
};

std::string ThirtyChars(char c) { return std::string(20, c) + "_long_name"; }

// A tree that exercises the readers: nesting, long names (EAFS chains), a
// folder of 100 files (several EAFS blocks), every node type and odd times.
ik::Node SampleRoot() {
  std::vector<ik::Node> many;
  for (int i = 0; i < 100; ++i) {
    many.push_back(ik::Node::File("file_number_" + std::to_string(i) + ".dat",
                                  std::string(static_cast<std::size_t>(i), 'x')));
  }
  ik::Node old = ik::Node::File("old.txt", "old");
  old.mtime = 1;
  ik::Node late = ik::Node::File("late.txt", "late");
  late.mtime = 0x7FFFFFFF;
  ik::Node big = ik::Node::Filled("big.bin", 300000, {ik::Fill::Pattern::kByte, 7, {}, 0});
  std::vector<ik::Node> deep{ik::Node::File("bottom", "b")};
  for (int level = 0; level < 12; ++level) {
    deep = {ik::Node::Folder("level" + std::to_string(level), std::move(deep))};
  }
  ik::Node root = ik::Node::Folder(
      "", {ik::Node::Folder("docs", {ik::Node::File("a.txt", "hello"),
                                     ik::Node::File(ThirtyChars('q') + ".txt", "long"),
                                     ik::Node::Folder(ThirtyChars('f'), {old, late})}),
           ik::Node::Folder("many", std::move(many)), ik::Node::Folder("deep", std::move(deep)),
           ik::Node::Folder("empty"), big, ik::Node::Symlink("link", "docs/a.txt"),
           ik::Node::Device("tty01", ik::NodeKind::kCharDevice, 0x0201),
           ik::Node::Device("hd00", ik::NodeKind::kBlockDevice, 0x0100), ik::Node::Pipe("fifo"),
           ik::Node::HardLink("again.txt", "/docs/a.txt")});
  return root;
}

class RoundTripTest
    : public ::testing::TestWithParam<std::tuple<ik::FsKind, RecoveryMode, ik::PartitionLayout>> {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
  }
};

TEST_P(RoundTripTest, EveryNodeComesBackWithItsFigures) {
  const auto [fs, mode, layout] = GetParam();
  ik::DiskDescription description;
  description.layout = layout;
  ik::VolumeDescription first;
  first.fs = fs;
  first.root = SampleRoot();
  ik::VolumeDescription second;  // another volume behind it, to be left alone
  second.fs = fs == ik::FsKind::kHtfs ? ik::FsKind::kEafs : ik::FsKind::kHtfs;
  second.root = ik::Node::Folder("", {ik::Node::File("other.txt", "other")});
  description.volumes = {first, second};
  auto built = ik::BuildImageBytes(description);
  ASSERT_TRUE(built) << built.error().message;
  const ik::VolumeReport& report = built->report.volumes[0];

  MountRig rig(built->bytes, VolumeInfo{});
  VolumeTable volumes;
  DiscoveryObserver quiet;
  if (layout == ik::PartitionLayout::kReal) {
    (void)FindVolumes(rig.drives, volumes, {}, quiet, {});
  } else {
    (void)FindVolumes(rig.drives, volumes, StartOf(report.startSector), quiet, {});
  }
  ASSERT_GE(volumes.volumeCount, 1U);
  rig.volume = volumes.entries[0];
  ASSERT_EQ(rig.volume.startSector, report.startSector);
  ASSERT_TRUE(rig.Mount(mode));

  // Index what the mount found by path.
  std::map<std::string, Seen> found;
  const std::vector<bool> reachable = rig.ReachableFolders();
  for (const FolderNode& folder : rig.tree.Folders()) {
    const auto index = static_cast<std::uint32_t>(&folder - rig.tree.Folders().data());
    if (!reachable[index]) continue;
    Seen& seen = found["/" + rig.FolderPath(folder.inode)];
    seen = {true, 0, folder.time, folder.parent, seen.count + 1};
  }
  for (const FileNode& file : rig.tree.Files()) {
    Seen& seen = found["/" + rig.FolderPath(file.parent) + file.name];
    seen = {false, file.size, file.time, file.parent, seen.count + 1};
  }

  std::size_t expected = 0;
  for (const ik::NodeReport& node : report.nodes) {
    if (node.path == "/") continue;
    ++expected;
    const bool folder = node.kind == ik::NodeKind::kFolder;
    const std::string key = folder ? node.path + "/" : node.path;
    ASSERT_TRUE(found.contains(key)) << key;
    const Seen& seen = found[key];
    EXPECT_EQ(seen.count, 1) << key;
    EXPECT_EQ(seen.folder, folder) << key;
    EXPECT_EQ(seen.parent, node.parentInode) << key;
    if (!folder) {
      EXPECT_EQ(seen.size, node.size) << key;
    }
  }
  const std::size_t extra = mode == RecoveryMode::kExtensive ? 1 : 0;  // "LostDir/"
  EXPECT_EQ(found.size(), expected + extra);
  if (extra != 0) {
    EXPECT_TRUE(found.contains("/LostDir/"));
  }
  EXPECT_FALSE(found.contains("/other.txt"));

  EXPECT_EQ(FormatTimestamp(found["/docs/" + ThirtyChars('f') + "/old.txt"].time).date,
            "01-Jan-1970");
  EXPECT_EQ(FormatTimestamp(found["/docs/" + ThirtyChars('f') + "/late.txt"].time).date,
            "19-Jan-2038");
  const TimestampText plain = FormatTimestamp(found["/docs/a.txt"].time);
  EXPECT_EQ(plain.date, "07-Dec-2006");
  EXPECT_EQ(plain.time, "09:05:00");
  EXPECT_EQ(found["/many/"].time, static_cast<std::uint32_t>(ik::kDefaultTime));
}

INSTANTIATE_TEST_SUITE_P(
    Formats, RoundTripTest,
    ::testing::Combine(::testing::Values(ik::FsKind::kHtfs, ik::FsKind::kEafs),
                       ::testing::Values(RecoveryMode::kNormal, RecoveryMode::kExtensive),
                       ::testing::Values(ik::PartitionLayout::kReal, ik::PartitionLayout::kNone)));

// Damage written by the builder: the root's block destroyed, a folder's time
// stamp zeroed, an entry deleted and an HTFS record length broken.
class DamageTest : public ::testing::TestWithParam<ik::FsKind> {};

ik::DiskDescription DamagedDisk(ik::FsKind fs) {
  ik::DiskDescription description;
  description.layout = ik::PartitionLayout::kNone;
  ik::VolumeDescription volume;
  volume.fs = fs;
  volume.startSector = 0;
  volume.root = ik::Node::Folder(
      "", {ik::Node::Folder("projects", {ik::Node::Folder("alpha", {ik::Node::File("a1", "1")}),
                                         ik::Node::File("plan.txt", "p")}),
           ik::Node::Folder("home", {ik::Node::File("h1", "h")}), ik::Node::File("top.txt", "t")});
  description.volumes = {volume};
  return description;
}

ik::Damage MakeDamage(ik::DamageKind kind, std::string path) {
  ik::Damage damage;
  damage.kind = kind;
  damage.path = std::move(path);
  return damage;
}

std::unique_ptr<MountRig> MountBuilt(const ik::BuiltImage& built, RecoveryMode mode) {
  const ik::VolumeReport& report = built.report.volumes[0];
  auto owned = std::make_unique<MountRig>(built.bytes, VolumeInfo{});
  MountRig& rig = *owned;
  VolumeTable volumes;
  DiscoveryObserver quiet;
  (void)FindVolumes(rig.drives, volumes, StartOf(report.startSector), quiet, {});
  rig.volume = volumes.entries[0];
  EXPECT_TRUE(rig.Mount(mode));
  return owned;
}

TEST_P(DamageTest, RootDestroyedExtensiveStillShowsEverySurvivingFolder) {
  auto description = DamagedDisk(GetParam());
  description.damage.push_back(MakeDamage(ik::DamageKind::kOverwriteBlock, "/"));
  description.damage.back().fillByte = 0x5A;
  auto built = ik::BuildImageBytes(description);
  ASSERT_TRUE(built) << built.error().message;
  const auto normal = MountBuilt(*built, RecoveryMode::kNormal);
  EXPECT_TRUE(normal->Listing().empty());
  const auto extensive = MountBuilt(*built, RecoveryMode::kExtensive);
  // Their parent (the root) was not seen, so "projects" and "home" keep
  // made-up names; "alpha" is named by "projects".
  const auto& nodes = built->report.volumes[0].nodes;
  auto inodeOf = [&](std::string_view path) {
    for (const auto& n : nodes) {
      if (n.path == path) return n.inode;
    }
    return 0U;
  };
  const std::string projects = "Dir" + std::to_string(inodeOf("/projects"));
  const std::string home = "Dir" + std::to_string(inodeOf("/home"));
  EXPECT_THAT(extensive->Listing(),
              ::testing::UnorderedElementsAre(projects + "/", projects + "/alpha/",
                                              projects + "/alpha/a1", projects + "/plan.txt",
                                              home + "/", home + "/h1", "LostDir/"));
}

TEST_P(DamageTest, ZeroTimesStayAndDeletedEntriesHideNothingAfterThem) {
  // "projects" is the root's first entry: deleting it must not hide "home"
  // and "top.txt" behind it. Entries whose time stamps read "Error" are
  // listed like any other.
  auto description = DamagedDisk(GetParam());
  description.damage.push_back(MakeDamage(ik::DamageKind::kDeleteEntry, "/projects"));
  description.damage.push_back(MakeDamage(ik::DamageKind::kSetTime, "/home"));
  description.damage.push_back(MakeDamage(ik::DamageKind::kSetTime, "/top.txt"));
  description.damage.back().value = -5;
  auto built = ik::BuildImageBytes(description);
  ASSERT_TRUE(built) << built.error().message;
  const auto rig = MountBuilt(*built, RecoveryMode::kNormal);
  EXPECT_THAT(rig->Listing(), ::testing::ElementsAre("home/", "home/h1", "top.txt"));
  EXPECT_EQ(rig->tree.Findings().freeSlotsSkipped, GetParam() == ik::FsKind::kHtfs ? 1U : 0U);
  ASSERT_EQ(rig->tree.FolderCount(), 1U);
  EXPECT_EQ(FormatTimestamp(rig->tree.Folders()[0].time).date, "Error");
  // The sweep finds "projects" again below LostDir, and keeps the rest.
  const auto extensive = MountBuilt(*built, RecoveryMode::kExtensive);
  EXPECT_THAT(extensive->Listing(), ::testing::IsSupersetOf({"home/", "home/h1", "top.txt"}));
}

TEST_P(DamageTest, EntriesPointingBackDoNotLoop) {
  auto description = DamagedDisk(GetParam());
  description.damage.push_back(MakeDamage(ik::DamageKind::kRedirectEntry, "/projects/alpha"));
  description.damage.back().target = "/projects";
  auto built = ik::BuildImageBytes(description);
  ASSERT_TRUE(built) << built.error().message;
  for (const RecoveryMode mode : {RecoveryMode::kNormal, RecoveryMode::kExtensive}) {
    const auto rig = MountBuilt(*built, mode);
    EXPECT_THAT(rig->Listing(), ::testing::Contains("projects/plan.txt"));
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, DamageTest,
                         ::testing::Values(ik::FsKind::kHtfs, ik::FsKind::kEafs));

TEST(HtfsDamageTest, BadRecordLengthsEndTheBlockSafely) {
  // A zero record length ends the block at that entry; a record length far
  // past the block ends it after that entry. Either way the mount finishes
  // and what it shows came from inside the block.
  for (const std::int64_t length : {0, 60000}) {
    auto description = DamagedDisk(ik::FsKind::kHtfs);
    description.damage.push_back(MakeDamage(ik::DamageKind::kRecordLength, "/projects"));
    description.damage.back().value = length;
    auto built = ik::BuildImageBytes(description);
    ASSERT_TRUE(built) << built.error().message;
    const auto rig = MountBuilt(*built, RecoveryMode::kNormal);
    const auto listing = rig->Listing();
    EXPECT_EQ(std::find(listing.begin(), listing.end(), "projects/") != listing.end(), length != 0)
        << length;
    EXPECT_LT(listing.size(), 7U);
  }
}

}  // namespace
}  // namespace tolvar
