// Tens of thousands of entries of one folder sharing one name, as a damaged
// or hostile disk can hold: the saving run and the mount name them all apart
// in time that grows with their number, not its square. The test runner's
// time limit for this program is what catches a return to the square.

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>

#include "mount/volume_files.hpp"
#include "tests/recovery/recovery_rig.hpp"

namespace tolvar {
namespace {

namespace fs = std::filesystem;
using imagekit::DiskDescription;
using imagekit::Node;
using testing::RecoveryRig;

constexpr unsigned kFiles = 20000;
constexpr unsigned kFolders = 1000;
constexpr std::string_view kSharedName = "same.t";

// Builds a root folder of distinct six-byte names, then rewrites every one
// of them in the folder's blocks to the one shared name.
DiskDescription SameNames() {
  std::vector<Node> children;
  for (unsigned i = 0; i < kFiles; ++i) {
    children.push_back(Node::File(fmt::format("f{:05}", i), i % 7 == 0 ? "seven" : "x"));
  }
  for (unsigned i = 0; i < kFolders; ++i) {
    children.push_back(Node::Folder(fmt::format("d{:05}", i), {Node::File("in", "in")}));
  }
  DiskDescription disk;
  imagekit::VolumeDescription volume;
  volume.fs = imagekit::FsKind::kHtfs;
  volume.root = Node::Folder("", std::move(children));
  disk.volumes.push_back(std::move(volume));

  auto built = imagekit::BuildImageBytes(disk);
  EXPECT_TRUE(built.has_value());
  if (!built) return disk;
  const auto& report = built->report.volumes[0];
  for (const std::uint32_t block : report.Find("/")->dataBlocks) {
    const std::uint64_t sector = report.SectorOfBlock(block);
    std::vector<std::byte> bytes(
        built->bytes.begin() + static_cast<std::ptrdiff_t>(sector * 512),
        built->bytes.begin() + static_cast<std::ptrdiff_t>(sector * 512 + 1024));
    bool changed = false;
    for (std::size_t at = 0; at + 6 <= bytes.size(); ++at) {
      const char lead = static_cast<char>(bytes[at]);
      if (lead != 'f' && lead != 'd') continue;
      const bool digits = std::all_of(
          bytes.begin() + static_cast<std::ptrdiff_t>(at + 1),
          bytes.begin() + static_cast<std::ptrdiff_t>(at + 6),
          [](std::byte b) { return static_cast<char>(b) >= '0' && static_cast<char>(b) <= '9'; });
      if (!digits) continue;
      for (std::size_t i = 0; i < kSharedName.size(); ++i) {
        bytes[at + i] = static_cast<std::byte>(kSharedName[i]);
      }
      changed = true;
    }
    if (!changed) continue;
    imagekit::Damage patch;
    patch.kind = imagekit::DamageKind::kPatch;
    patch.firstSector = sector;
    patch.offset = 0;
    patch.bytes = std::move(bytes);
    disk.damage.push_back(std::move(patch));
  }
  return disk;
}

TEST(SameNames, TwentyThousandAreRecoveredUnderNamesOfTheirOwn) {
  RecoveryRig rig(SameNames(), RecoveryRig::FromImageFile{});
  ASSERT_EQ(rig.Tree().Files().size(), kFiles + kFolders);
  auto result = rig.Save();
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->report.summary.files, kFiles + kFolders);
  EXPECT_EQ(result->report.summary.folders, kFolders);
  EXPECT_EQ(result->report.summary.skipped, 0u);
  std::set<std::string> names;
  std::size_t sevens = 0;
  for (const auto& item : fs::directory_iterator(rig.Destination())) {
    names.insert(item.path().filename().string());
    if (item.is_regular_file() && fs::file_size(item.path()) == 5) ++sevens;
  }
  EXPECT_EQ(names.size(), kFiles + kFolders + 2);  // and the two report files
  EXPECT_TRUE(names.contains("same.t"));
  EXPECT_TRUE(names.contains(fmt::format("same ({}).t", kFiles + kFolders - 1)));
  EXPECT_EQ(sevens, (kFiles + 6) / 7);
}

TEST(SameNames, TwentyThousandAreShownByTheMountUnderNamesOfTheirOwn) {
  RecoveryRig rig(SameNames(), RecoveryRig::FromImageFile{});
  mountfs::VolumeFiles files(rig.Drives(), rig.Volume(), rig.Tree(), 128, "disk.img");
  std::set<std::string, std::less<>> names;
  for (const mountfs::NodeIndex node : files.Children(mountfs::kRootNode)) {
    names.emplace(files.NameOf(node));
  }
  EXPECT_EQ(names.size(), kFiles + kFolders + 1);  // and the report
  const auto last = files.Lookup(fmt::format("/same ({}).t", kFiles + kFolders - 1));
  ASSERT_TRUE(last.has_value());
}

}  // namespace
}  // namespace tolvar
