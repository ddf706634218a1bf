// What the commands make of volumes whose superblock words are implausible,
// and of superblock copies stored as file data: nothing goes missing without
// a word, and volume numbers stay put.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "imagekit/image_builder.hpp"
#include "tests/cli/run_tolvar.hpp"
#include "tests/support/disk_builder.hpp"
#include "tests/support/temp_dir.hpp"

namespace tolvar::testing {
namespace {

using imagekit::FsKind;
using imagekit::Node;

void PatchBytes(const std::string& path, std::uint64_t at, const void* bytes, std::size_t count) {
  const int fd = ::open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, bytes, count, static_cast<off_t>(at)), static_cast<ssize_t>(count));
  ::close(fd);
}

void Patch32(const std::string& path, std::uint64_t at, std::uint32_t value) {
  const unsigned char bytes[] = {
      static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
      static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
  PatchBytes(path, at, bytes, sizeof bytes);
}

std::string Between(const std::string& text, const std::string& from, const std::string& to) {
  const auto begin = text.find(from);
  if (begin == std::string::npos) return {};
  const auto end = text.find(to, begin + from.size());
  return text.substr(begin + from.size(),
                     end == std::string::npos ? std::string::npos : end - begin - from.size());
}

class DamagedSuperblockCli : public ::testing::Test {
 protected:
  // The real layout (MBR, division table, the record's reading of it): an
  // HTFS volume with a few folders and files, then an EAFS one.
  imagekit::BuildReport Build(const std::string& path, std::vector<Node> extraFirst = {}) {
    imagekit::DiskDescription disk;
    imagekit::VolumeDescription htfs;
    htfs.fs = FsKind::kHtfs;
    std::vector<Node> rootNodes = std::move(extraFirst);
    rootNodes.push_back(Node::Folder(
        "docs",
        {Node::File("a.txt", "alpha\n"), Node::Folder("deep", {Node::File("b.txt", "beta\n")})}));
    rootNodes.push_back(Node::File("top.txt", "top\n"));
    htfs.root = Node::Folder("", std::move(rootNodes));
    imagekit::VolumeDescription eafs;
    eafs.fs = FsKind::kEafs;
    eafs.root = Node::Folder("", {Node::File("e.txt", "eafs\n"), Node::Folder("mail")});
    disk.volumes.push_back(std::move(htfs));
    disk.volumes.push_back(std::move(eafs));
    const auto built = imagekit::BuildImage(disk, path);
    EXPECT_TRUE(built.has_value()) << (built ? "" : built.error().message);
    return built ? *built : imagekit::BuildReport{};
  }

  static std::uint64_t SuperblockByte(const imagekit::VolumeReport& volume, std::uint64_t offset) {
    return (std::uint64_t{volume.startSector} + 1) * 512 + offset;
  }

  TempDir dir;
};

TEST_F(DamagedSuperblockCli, ImplausibleSizeWordsStillOfferEveryFileWithAWarning) {
  const std::string intactPath = (dir / "intact.img").string();
  const auto intact = Build(intactPath);
  ASSERT_EQ(intact.volumes.size(), 2u);
  std::string intactSummary[2];
  for (int v = 0; v < 2; ++v) {
    const auto out = (dir / ("intact-out" + std::to_string(v))).string();
    const RunResult run =
        RunTolvar({"recover", intactPath, "-v", std::to_string(v + 1), "-o", out});
    ASSERT_EQ(run.status, 0) << run.err;
    intactSummary[v] = Between(run.out, ": ", "\n");
  }
  EXPECT_NE(intactSummary[0].find("3 files"), std::string::npos) << intactSummary[0];

  for (const std::uint32_t size : {0u, 1u, 3u, 0x80000000u, 0x7FFFFFFFu}) {
    SCOPED_TRACE(size);
    const std::string path = (dir / ("size" + std::to_string(size) + ".img")).string();
    const auto report = Build(path);
    // Both volumes lose their size word.
    Patch32(path, SuperblockByte(report.volumes[0], 4), size);
    Patch32(path, SuperblockByte(report.volumes[1], 4), size);

    const RunResult scan = RunTolvar({"scan", path, "--json"});
    ASSERT_EQ(scan.status, 0) << scan.err;
    const auto doc = nlohmann::json::parse(scan.out);
    ASSERT_EQ(doc["volumes"].size(), 2u);
    for (int v = 0; v < 2; ++v) {
      EXPECT_EQ(doc["volumes"][v]["startSector"], report.volumes[v].startSector);
      EXPECT_GE(doc["volumes"][v]["sizeSectors"], 2 * report.volumes[v].sizeBlocks);
      ASSERT_EQ(doc["volumes"][v].at("assumptions").size(), 1u);
      EXPECT_NE(doc["volumes"][v].at("assumptions")[0].get<std::string>().find(
                    "size word (" + std::to_string(size) + " blocks) is implausible"),
                std::string::npos);
    }
    EXPECT_EQ(doc["volumes"][1]["type"], "EAFS");
    ASSERT_EQ(doc["warnings"].size(), 2u);
    EXPECT_EQ(doc["warnings"][0].get<std::string>().rfind("volume 1 (HTFS Partition - 1): ", 0),
              0u);

    const RunResult table = RunTolvar({"scan", path});
    EXPECT_NE(table.err.find("warning: volume 2 (EAFS Partition - 2): the superblock's size word"),
              std::string::npos)
        << table.err;

    for (int v = 0; v < 2; ++v) {
      const auto out = (dir / ("out" + std::to_string(size) + "-" + std::to_string(v))).string();
      const RunResult run = RunTolvar({"recover", path, "-v", std::to_string(v + 1), "-o", out});
      ASSERT_EQ(run.status, 0) << run.err;
      EXPECT_EQ(Between(run.out, ": ", "\n"), intactSummary[v]);
      EXPECT_NE(run.err.find("warning: volume " + std::to_string(v + 1)), std::string::npos)
          << run.err;
      const std::string text = Slurp(std::filesystem::path(out) / "tolvar-report.txt");
      EXPECT_NE(text.find("Warning:     the superblock's size word"), std::string::npos) << text;
    }
  }
}

TEST_F(DamagedSuperblockCli, HtfsWordsAtZeroKeepTheVolumeAndTheNumbersAfterIt) {
  for (const std::uint64_t word : {0u, 244u}) {
    SCOPED_TRACE(word);
    const std::string path = (dir / ("word" + std::to_string(word) + ".img")).string();
    const auto report = Build(path);
    Patch32(path, SuperblockByte(report.volumes[0], word), 0);

    const RunResult info = RunTolvar({"info", path, "-v", "1", "--json"});
    ASSERT_EQ(info.status, 0) << info.err;
    const auto doc = nlohmann::json::parse(info.out);
    EXPECT_EQ(doc["volumeName"], "HTFS Partition - 1");
    ASSERT_EQ(doc.at("warnings").size(), 1u);
    EXPECT_NE(doc.at("warnings")[0].get<std::string>().find("words at 0 and 244 read"),
              std::string::npos);
    EXPECT_NE(info.err.find("warning: volume 1 (HTFS Partition - 1): "), std::string::npos);

    // A script's -v 2 still reads the EAFS volume.
    const RunResult second = RunTolvar({"ls", path, "-v", "2", "--json"});
    ASSERT_EQ(second.status, 0) << second.err;
    const auto listing = nlohmann::json::parse(second.out);
    EXPECT_EQ(listing["volumeName"], "EAFS Partition - 2");
    EXPECT_NE(second.out.find("\"e.txt\""), std::string::npos) << second.out;
  }
}

TEST_F(DamagedSuperblockCli, TheExtensiveModeSweepsAnInodeTableOfNoLength) {
  const std::string path = (dir / "word248.img").string();
  const auto report = Build(path);
  Patch32(path, SuperblockByte(report.volumes[0], 248), 0);
  for (const bool extensive : {false, true}) {
    std::vector<std::string> args{"tree", path, "-v", "1"};
    if (extensive) args.push_back("--extensive");
    const RunResult run = RunTolvar(args);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("    deep"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("inode table length (word 248) is 0"), std::string::npos) << run.err;
  }
}

TEST_F(DamagedSuperblockCli, VerboseScanNamesThePassedOverSignatures) {
  const auto path = (dir / "stray.img").string();
  DiskBuilder(2000)
      .PartitionRecord({{100, 300}})
      .HtfsSuperblock(101, 250, 8, 10, 0)
      .EafsSuperblock(301, 100)
      .WriteTo(path);
  const RunResult quiet = RunTolvar({"scan", path});
  ASSERT_EQ(quiet.status, 0) << quiet.err;
  EXPECT_EQ(quiet.err.find("passed over"), std::string::npos) << quiet.err;
  const RunResult verbose = RunTolvar({"scan", path, "--verbose"});
  ASSERT_EQ(verbose.status, 0) << verbose.err;
  EXPECT_NE(verbose.err.find("passed over: sector 101: HTFS signature, but its words at 0 and 244 "
                             "read 10 and 0 and inode 2 is not a folder"),
            std::string::npos)
      << verbose.err;
  const auto doc = nlohmann::json::parse(RunTolvar({"scan", path, "--json"}).out);
  ASSERT_EQ(doc.at("rejected").size(), 1u);
  EXPECT_EQ(doc["volumes"][0]["startSector"], 300);
}

TEST_F(DamagedSuperblockCli, ASuperblockCopyInAFileDoesNotReplaceTheNextVolume) {
  // A large first volume, so that the record's reading of the second
  // division (its offset taken as a sector) starts inside it, and a file
  // there holding a copy of the second volume's superblock.
  std::vector<Node> filler;
  imagekit::Fill pattern;
  pattern.pattern = imagekit::Fill::Pattern::kByte;
  pattern.byte = 0x5A;
  filler.push_back(Node::Filled("big.dat", 6u << 20, pattern));
  filler.push_back(Node::File("copy.bin", std::string(512, '\0')));
  const std::string probePath = (dir / "probe.img").string();
  const auto layout = Build(probePath, filler);
  ASSERT_EQ(layout.volumes.size(), 2u);
  std::string superblock(512, '\0');
  {
    const std::string bytes = Slurp(probePath);
    superblock = bytes.substr(SuperblockByte(layout.volumes[1], 0), 512);
  }
  filler.back() = Node::File("copy.bin", superblock);
  const std::string path = (dir / "copy.img").string();
  const auto report = Build(path, filler);
  const auto* copy = report.volumes[0].Find("/copy.bin");
  ASSERT_NE(copy, nullptr);
  const std::uint64_t copySector = report.volumes[0].SectorOfBlock(copy->dataBlocks.at(0));
  // The scenario holds: the copy lies in the second range, inside volume 1.
  const std::uint64_t secondRange = (report.volumes[1].startSector - report.divisionBaseSector) / 2;
  ASSERT_GE(copySector, secondRange);
  ASSERT_LT(copySector, report.volumes[0].SectorOfBlock(report.volumes[0].sizeBlocks));

  const RunResult scan = RunTolvar({"scan", path, "--json"});
  ASSERT_EQ(scan.status, 0) << scan.err;
  const auto doc = nlohmann::json::parse(scan.out);
  ASSERT_EQ(doc["volumes"].size(), 2u) << scan.out;
  EXPECT_EQ(doc["volumes"][0]["startSector"], report.volumes[0].startSector);
  EXPECT_EQ(doc["volumes"][1]["startSector"], report.volumes[1].startSector);
  EXPECT_EQ(doc["volumes"][1]["name"], "EAFS Partition - 2");
  const RunResult verbose = RunTolvar({"scan", path, "--verbose"});
  EXPECT_NE(verbose.err.find("passed over: sector " + std::to_string(copySector) +
                             ": EAFS signature inside HTFS Partition - 1"),
            std::string::npos)
      << verbose.err;
  const RunResult listing = RunTolvar({"ls", path, "-v", "2", "--json"});
  ASSERT_EQ(listing.status, 0) << listing.err;
  EXPECT_NE(listing.out.find("\"e.txt\""), std::string::npos) << listing.out;
}

}  // namespace
}  // namespace tolvar::testing
