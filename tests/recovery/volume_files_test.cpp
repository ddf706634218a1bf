// The mount's file reads: whatever the offsets and sizes the kernel asks
// for, straight into its buffer or piece by piece, the bytes are the file's,
// and unreadable sectors read as zeros and reach the report.

#include "mount/volume_files.hpp"

#include <gtest/gtest.h>

#include <string>

#include "tests/recovery/recovery_rig.hpp"

namespace tolvar {
namespace {

using imagekit::DiskDescription;
using imagekit::Fill;
using imagekit::Node;
using testing::RecoveryRig;

constexpr std::uint64_t kSize = (10 + 256) * 1024 + 300 * 1024 + 5;  // double indirect

DiskDescription OneBigFile() {
  DiskDescription disk;
  imagekit::VolumeDescription volume;
  volume.fs = imagekit::FsKind::kHtfs;
  volume.root =
      Node::Folder("", {Node::Filled("big", kSize, Fill{Fill::Pattern::kRandom, 0, "", 4}),
                        Node::File("small", "small")});
  disk.volumes.push_back(std::move(volume));
  return disk;
}

std::string ReadAll(mountfs::VolumeFiles& files, mountfs::NodeIndex node, std::size_t chunk,
                    std::uint64_t start) {
  std::string bytes;
  std::string buffer(chunk, '\0');
  for (std::uint64_t offset = start;;) {
    const std::size_t got =
        files.Read(node, offset, std::as_writable_bytes(std::span(buffer.data(), buffer.size())));
    if (got == 0) break;
    bytes.append(buffer.data(), got);
    offset += got;
  }
  return bytes;
}

TEST(VolumeFiles, ReadsOfAnySizeAndOffsetGiveTheFilesBytes) {
  const std::string expected =
      testing::FilledContents(Fill{Fill::Pattern::kRandom, 0, "", 4}, kSize);
  for (const bool fromFile : {true, false}) {
    SCOPED_TRACE(fromFile ? "image file" : "memory");
    auto rig = fromFile ? std::make_unique<RecoveryRig>(OneBigFile(), RecoveryRig::FromImageFile{})
                        : std::make_unique<RecoveryRig>(OneBigFile());
    mountfs::VolumeFiles files(rig->Drives(), rig->Volume(), rig->Tree(), 60, "disk.img");
    const auto big = files.Lookup("/big");
    ASSERT_TRUE(big.has_value());
    // Sizes that line up with sectors and ones that do not, from offsets that
    // do and do not.
    for (const std::size_t chunk :
         {std::size_t{131072}, std::size_t{4096}, std::size_t{1000}, std::size_t{1 << 21}}) {
      for (const std::uint64_t start : {std::uint64_t{0}, std::uint64_t{513}, kSize - 700}) {
        EXPECT_EQ(ReadAll(files, *big, chunk, start), expected.substr(start))
            << chunk << " from " << start;
      }
    }
    const auto small = files.Lookup("/small");
    ASSERT_TRUE(small.has_value());
    EXPECT_EQ(ReadAll(files, *small, 4096, 0), "small");
    EXPECT_NE(files.ReportText().find("None so far"), std::string::npos);
  }
}

TEST(VolumeFiles, AnUnreadableSectorReadsAsZerosAndIsReported) {
  // The sector is found by building the image once: the layout is the same.
  const auto built = imagekit::BuildImageBytes(OneBigFile());
  ASSERT_TRUE(built.has_value());
  const auto& volume = built->report.volumes[0];
  const std::uint64_t bad = volume.SectorOfBlock(volume.Find("/big")->dataBlocks[300]) + 1;
  FaultPlan faults;
  faults.neverReadable.insert(bad);
  RecoveryRig rig(OneBigFile(), 0, faults);
  mountfs::VolumeFiles files(rig.Drives(), rig.Volume(), rig.Tree(), 60, "disk.img");
  const auto big = files.Lookup("/big");
  ASSERT_TRUE(big.has_value());
  std::string expected = testing::FilledContents(Fill{Fill::Pattern::kRandom, 0, "", 4}, kSize);
  const std::size_t at = (300 * 1024) + 512;
  std::fill_n(expected.begin() + static_cast<std::ptrdiff_t>(at), 512, '\0');
  EXPECT_EQ(ReadAll(files, *big, 131072, 0), expected);
  EXPECT_NE(files.ReportText().find("/big: unreadable sectors"), std::string::npos)
      << files.ReportText();
}

TEST(VolumeFiles, ALostIndirectBlockIsReportedForEveryNameOfTheFile) {
  DiskDescription disk = OneBigFile();
  disk.volumes[0].root.children.push_back(Node::HardLink("twin", "/big"));
  const auto built = imagekit::BuildImageBytes(disk);
  ASSERT_TRUE(built.has_value());
  const auto& volume = built->report.volumes[0];
  // The first half of the single indirect block: the addresses of blocks
  // 10 to 137 are lost and those blocks read as zeros.
  const std::uint64_t bad = volume.SectorOfBlock(volume.Find("/big")->indirectBlocks[0]);
  FaultPlan faults;
  faults.neverReadable.insert(bad);
  RecoveryRig rig(disk, 0, faults);
  mountfs::VolumeFiles files(rig.Drives(), rig.Volume(), rig.Tree(), 60, "disk.img");
  std::string expected = testing::FilledContents(Fill{Fill::Pattern::kRandom, 0, "", 4}, kSize);
  std::fill_n(expected.begin() + 10 * 1024, 128 * 1024, '\0');
  for (const char* name : {"/big", "/twin", "/big"}) {
    SCOPED_TRACE(name);
    const auto node = files.Lookup(name);
    ASSERT_TRUE(node.has_value());
    EXPECT_EQ(ReadAll(files, *node, 131072, 0), expected);
    EXPECT_NE(files.ReportText().find(std::string(name) + ": unreadable sectors"),
              std::string::npos)
        << files.ReportText();
  }
  EXPECT_EQ(rig.Drives().BadSectors().Sectors(), std::vector<std::uint64_t>{bad});
}

}  // namespace
}  // namespace tolvar
