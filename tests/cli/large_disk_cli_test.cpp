// A disk of more than 2^32 sectors (2 TiB): its capacity, and a volume that
// lies past sector 2^32, in a sparse image that costs no disk space.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "imagekit/image_builder.hpp"
#include "tests/cli/run_tolvar.hpp"
#include "tests/support/temp_dir.hpp"

namespace tolvar::testing {
namespace {

using imagekit::FsKind;
using imagekit::Node;

constexpr std::uint64_t k2To32 = std::uint64_t{1} << 32;
// 2 TiB + 1 MiB.
constexpr std::uint64_t kTotalSectors = k2To32 + 2048;
// An SCO partition from 1024 sectors before 2^32 to the disk's end; the
// drive's geometry (1 head of 32 sectors for this length) puts its division
// base 64 sectors in, and division 2 at 736 KiB from there holds an HTFS
// volume starting past 2^32.
constexpr std::uint64_t kPartitionStart = k2To32 - 1024;
constexpr std::uint64_t kDivisionBase = kPartitionStart + 64;
constexpr std::uint32_t kDivisionOffsetKb = 736;
constexpr std::uint32_t kDivisionLengthKb = 300;
constexpr std::uint64_t kFarVolumeStart = kDivisionBase + 2 * kDivisionOffsetKb;

void WriteAt(int fd, std::uint64_t byte, const void* data, std::size_t count) {
  ASSERT_EQ(::pwrite(fd, data, count, static_cast<off_t>(byte)), static_cast<ssize_t>(count));
}

void Put32(std::vector<unsigned char>& sector, std::size_t at, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) sector[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

class LargeDiskCli : public ::testing::Test {
 protected:
  // A small EAFS volume behind the record at sector 105 (the start of the
  // disk), and an HTFS volume past 2^32 in an SCO partition's division 2.
  std::string Build() {
    imagekit::DiskDescription nearDisk;
    nearDisk.layout = imagekit::PartitionLayout::kAbsolute;
    imagekit::VolumeDescription eafs;
    eafs.fs = FsKind::kEafs;
    eafs.root = Node::Folder("", {Node::File("near.txt", "near\n")});
    nearDisk.volumes.push_back(std::move(eafs));
    const auto nearImage = imagekit::BuildImageBytes(nearDisk);
    EXPECT_TRUE(nearImage.has_value());

    imagekit::DiskDescription farDisk;
    farDisk.layout = imagekit::PartitionLayout::kNone;
    imagekit::VolumeDescription htfs;
    htfs.fs = FsKind::kHtfs;
    htfs.sizeBlocks = 200;
    htfs.root = Node::Folder("", {Node::Folder("far", {Node::File("far.txt", "far away\n")})});
    farDisk.volumes.push_back(std::move(htfs));
    const auto farImage = imagekit::BuildImageBytes(farDisk);
    EXPECT_TRUE(farImage.has_value());
    if (!nearImage || !farImage) return {};

    const std::string path = (dir / "large.img").string();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::ftruncate(fd, static_cast<off_t>(kTotalSectors * 512)), 0);
    WriteAt(fd, 0, nearImage->bytes.data(), nearImage->bytes.size());

    std::vector<unsigned char> mbr(512, 0);
    mbr[446 + 4] = 0x63;
    Put32(mbr, 446 + 8, static_cast<std::uint32_t>(kPartitionStart));
    Put32(mbr, 446 + 12, static_cast<std::uint32_t>(kTotalSectors - kPartitionStart));
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    WriteAt(fd, 0, mbr.data(), mbr.size());

    std::vector<unsigned char> divisions(512, 0);
    divisions[0] = 0x34;
    divisions[1] = 0x12;
    Put32(divisions, 2 + 8 * 2, kDivisionOffsetKb);
    Put32(divisions, 6 + 8 * 2, kDivisionLengthKb);
    WriteAt(fd, (kPartitionStart + 42) * 512, divisions.data(), divisions.size());

    const auto& far = farImage->report.volumes.at(0);
    const std::size_t from = std::size_t{far.startSector} * 512;
    const std::size_t length = std::size_t{far.sizeBlocks} * 1024;
    WriteAt(fd, kFarVolumeStart * 512, farImage->bytes.data() + from, length);
    ::close(fd);
    return path;
  }

  TempDir dir;
};

TEST_F(LargeDiskCli, AVolumePastSector2To32IsFoundAndRead) {
  const std::string image = Build();
  ASSERT_FALSE(image.empty());

  const RunResult drives = RunTolvar({"drives", image, "--json"});
  ASSERT_EQ(drives.status, 0) << drives.err;
  const auto drive = nlohmann::json::parse(drives.out).at("drives").at(0);
  EXPECT_EQ(drive["totalSectors"], kTotalSectors);
  EXPECT_EQ(drive["capacity"], "2097153 MB ( Approx )");

  const RunResult scan = RunTolvar({"scan", image, "--json"});
  ASSERT_EQ(scan.status, 0) << scan.err;
  const auto doc = nlohmann::json::parse(scan.out);
  EXPECT_EQ(doc["totalSectors"], kTotalSectors);
  ASSERT_EQ(doc["volumes"].size(), 2u) << scan.out;
  EXPECT_EQ(doc["volumes"][0]["type"], "EAFS");
  EXPECT_EQ(doc["volumes"][1]["type"], "HTFS");
  EXPECT_EQ(doc["volumes"][1]["startSector"], kFarVolumeStart);
  EXPECT_EQ(doc["volumes"][1]["sizeSectors"], 400);
  EXPECT_EQ(doc["volumes"][1]["foundBy"], "partition 1, division 2");
  EXPECT_TRUE(doc["warnings"].empty()) << doc["warnings"];

  const RunResult listing = RunTolvar({"ls", image, "-v", "2", "far", "--json"});
  ASSERT_EQ(listing.status, 0) << listing.err;
  EXPECT_NE(listing.out.find("\"far.txt\""), std::string::npos) << listing.out;
  const RunResult info = RunTolvar({"info", image, "-v", "2", "--json"});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_EQ(nlohmann::json::parse(info.out)["volumeStart"], kFarVolumeStart);
}

TEST_F(LargeDiskCli, ASearchRangeReachesPast2To32UpToTheDisksEnd) {
  const std::string image = Build();
  ASSERT_FALSE(image.empty());
  const std::string from = std::to_string(kFarVolumeStart - 10);
  const std::string to = std::to_string(kTotalSectors);
  const RunResult run = RunTolvar({"scan", image, "--search", from, to, "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto doc = nlohmann::json::parse(run.out);
  EXPECT_EQ(doc["method"], "search");
  EXPECT_EQ(doc["range"]["start"], kFarVolumeStart - 10);
  EXPECT_EQ(doc["range"]["end"], kTotalSectors);
  ASSERT_EQ(doc["volumes"].size(), 1u) << run.out;
  EXPECT_EQ(doc["volumes"][0]["startSector"], kFarVolumeStart);
  EXPECT_EQ(doc["volumes"][0]["foundBy"], "the sector search");

  const RunResult past =
      RunTolvar({"scan", image, "--search", from, std::to_string(kTotalSectors + 1)});
  EXPECT_EQ(past.status, 2);
  EXPECT_EQ(past.err, "tolvar: --search: END (" + std::to_string(kTotalSectors + 1) +
                          ") is past the end of the disk (" + std::to_string(kTotalSectors) +
                          " sectors); nothing was searched\n");
}

}  // namespace
}  // namespace tolvar::testing
