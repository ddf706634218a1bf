#include "recovery/saving_run.hpp"

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "app/saving_display.hpp"
#include "app/wizard_texts.hpp"
#include "fs/format.hpp"
#include "recovery/content_hash.hpp"
#include "recovery/host_names.hpp"
#include "recovery/host_writer.hpp"
#include "tests/recovery/recovery_rig.hpp"

namespace tolvar {
namespace {

namespace fs = std::filesystem;
using imagekit::DiskDescription;
using imagekit::Fill;
using imagekit::FsKind;
using imagekit::Node;
using imagekit::NodeKind;
using testing::EntryFor;
using testing::RecoveryRig;

Fill Offsets() { return Fill{Fill::Pattern::kOffset, 0, "", 0}; }
Fill Random(std::uint64_t seed) { return Fill{Fill::Pattern::kRandom, 0, "", seed}; }

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return {};
  std::string bytes(static_cast<std::size_t>(in.tellg()), '\0');
  in.seekg(0);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

std::int64_t MtimeOf(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_mtim.tv_sec;
}

DiskDescription OneVolume(FsKind kind, std::vector<Node> children) {
  DiskDescription disk;
  imagekit::VolumeDescription volume;
  volume.fs = kind;
  volume.root = Node::Folder("", std::move(children));
  disk.volumes.push_back(std::move(volume));
  return disk;
}

Node WithTime(Node node, std::int64_t time) {
  node.mtime = time;
  return node;
}

ContentDigests DigestsOfFile(const fs::path& path) {
  const std::string bytes = Slurp(path);
  ContentHasher hasher;
  hasher.Update(std::as_bytes(std::span(bytes)));
  return hasher.Finish();
}

// Files that need each level of addressing: 10 direct blocks hold 10 KiB,
// the single indirect 256 KiB more, the double 64 MiB more.
constexpr std::uint64_t kDirectMax = 10 * 1024;
constexpr std::uint64_t kSingleEnd = (10 + 256) * 1024;
constexpr std::uint64_t kDoubleEnd = (10 + 256 + 65536) * 1024ull;

struct Expected {
  std::string path;
  std::string contents;
  std::int64_t time;
};

class RoundTrip : public ::testing::TestWithParam<FsKind> {};

TEST_P(RoundTrip, EveryFileComesOutByteIdenticalWithItsTimeStamp) {
  const std::vector<Expected> expected = {
      {"empty", "", 1000000000},
      {"small.txt", "hello, world\n", 1100000000},
      {"direct", testing::FilledContents(Random(1), kDirectMax - 3), 1200000000},
      {"single", testing::FilledContents(Offsets(), kSingleEnd - 1000), 1210000000},
      {"double", testing::FilledContents(Random(2), kSingleEnd + 300 * 1024 + 5), 1220000000},
      {"docs/letters/deep.txt", "deep\n", 1230000000},
      {"docs/note", testing::FilledContents(Random(3), 4097), 1240000000},
  };
  std::vector<Node> root;
  for (const Expected& e : expected) {
    if (e.path.find('/') != std::string::npos) continue;
    root.push_back(WithTime(Node::File(e.path, e.contents), e.time));
  }
  Node letters =
      WithTime(Node::Folder("letters", {WithTime(Node::File("deep.txt", "deep\n"), 1230000000)}),
               1300000000);
  Node docs = WithTime(
      Node::Folder("docs",
                   {letters, WithTime(Node::File("note", expected[6].contents), 1240000000)}),
      1310000000);
  root.push_back(docs);
  root.push_back(WithTime(Node::Symlink("link", "../some/where"), 1250000000));
  root.push_back(Node::Device("tty", NodeKind::kCharDevice, 0x0203));
  root.push_back(Node::Device("disk", NodeKind::kBlockDevice, 0x0101));
  root.push_back(Node::Pipe("fifo"));

  RecoveryRig rig(OneVolume(GetParam(), root));
  auto result = rig.Save();
  ASSERT_TRUE(result.has_value()) << result.error().message;
  const fs::path out = rig.Destination();
  for (const Expected& e : expected) {
    EXPECT_EQ(Slurp(out / e.path), e.contents) << e.path;
    EXPECT_EQ(MtimeOf(out / e.path), e.time) << e.path;
    std::shared_ptr<const ReportEntry> entry = EntryFor(result->report, e.path);
    ASSERT_NE(entry, nullptr) << e.path;
    EXPECT_EQ(entry->status, EntryStatus::kComplete) << e.path;
    EXPECT_EQ(entry->bytesWritten, e.contents.size());
  }
  EXPECT_EQ(MtimeOf(out / "docs"), 1310000000);
  EXPECT_EQ(MtimeOf(out / "docs/letters"), 1300000000);
  ASSERT_TRUE(fs::is_symlink(out / "link"));
  EXPECT_EQ(fs::read_symlink(out / "link"), "../some/where");
  EXPECT_EQ(MtimeOf(out / "link"), 1250000000);
  for (const char* node : {"tty", "disk", "fifo"}) {
    EXPECT_FALSE(fs::exists(fs::symlink_status(out / node))) << node;
    std::shared_ptr<const ReportEntry> entry = EntryFor(result->report, node);
    ASSERT_NE(entry, nullptr) << node;
    EXPECT_EQ(entry->status, EntryStatus::kSkipped);
    EXPECT_FALSE(entry->byError);
  }
  const RunSummary& s = result->report.summary;
  EXPECT_EQ(s.files, expected.size() + 1);  // and the link
  EXPECT_EQ(s.folders, 2u);
  EXPECT_EQ(s.damagedFiles, 0u);
  EXPECT_TRUE(AllWhole(s));
  // Nothing temporary is left, and the report lies beside the data.
  for (const auto& item : fs::recursive_directory_iterator(out)) {
    EXPECT_FALSE(IsPartialName(item.path().filename().string()));
  }
  const auto json = nlohmann::json::parse(Slurp(out / std::string(kReportJsonName)));
  EXPECT_EQ(json["summary"]["files"], s.files);
  EXPECT_NE(Slurp(out / std::string(kReportTextName)).find("Summary: "), std::string::npos);
  EXPECT_EQ(rig.control.closeSavingRequested.load(), 1);
  EXPECT_EQ(rig.dialog.progress, 100);
  EXPECT_EQ(rig.dialog.count, "11 of 11");
}

TEST_P(RoundTrip, AFileReachingTheTripleIndirectRangeComesOutWhole) {
  const std::uint64_t size = kDoubleEnd + 3 * 1024 + 17;
  RecoveryRig rig(OneVolume(GetParam(), {Node::Filled("huge", size, Offsets())}));
  const imagekit::NodeReport* node = rig.Built().volumes[0].Find("/huge");
  ASSERT_NE(node, nullptr);
  ASSERT_EQ(node->indirectBlocks.size(), 1u + 1 + 256 + 1 + 1 + 1);  // single, double, triple
  rig.settings.sectorsPerRead = 100;
  auto result = rig.Save();
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(Slurp(rig.Destination() / "huge"), testing::FilledContents(Offsets(), size));
}

INSTANTIATE_TEST_SUITE_P(BothFormats, RoundTrip, ::testing::Values(FsKind::kHtfs, FsKind::kEafs));

TEST(SavingRun, SelectionTakesTheChosenRowsAndEverythingBelowAFolderRow) {
  RecoveryRig rig(OneVolume(
      FsKind::kHtfs,
      {Node::File("a", "A"), Node::File("b", "B"),
       Node::Folder("f", {Node::File("c", "C"), Node::Folder("g", {Node::File("d", "D")})}),
       Node::Folder("h", {Node::File("e", "E")})}));
  const FileNode* b = rig.FileNamed("b");
  const FolderNode* f = rig.FolderNamed("f");
  ASSERT_TRUE(b != nullptr && f != nullptr);
  auto result = rig.Save(Selection::Rows({f->inode}, {b->id}));
  ASSERT_TRUE(result.has_value());
  EXPECT_THAT(
      testing::HostFiles(rig.Destination()),
      ::testing::UnorderedElementsAre(::testing::Pair("b", "B"), ::testing::Pair("f/c", "C"),
                                      ::testing::Pair("f/g/d", "D"),
                                      ::testing::Pair(std::string(kReportJsonName), ::testing::_),
                                      ::testing::Pair(std::string(kReportTextName), ::testing::_)));
}

class Duplicates : public ::testing::Test {
 protected:
  Duplicates()
      : rig(OneVolume(FsKind::kEafs, {Node::File("data.txt", "new"),
                                      Node::Folder("sub", {Node::File("x", "X")})})) {
    fs::create_directories(rig.Destination() / "sub");
    std::ofstream(rig.Destination() / "data.txt") << "old";
    std::ofstream(rig.Destination() / "data (1).txt") << "older";
  }
  RecoveryRig rig;
};

TEST_F(Duplicates, SkipLeavesTheExistingFile) {
  rig.settings.duplicatePolicy = DuplicatePolicy::kSkip;
  auto result = rig.Save();
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(Slurp(rig.Destination() / "data.txt"), "old");
  EXPECT_EQ(EntryFor(result->report, "data.txt")->status, EntryStatus::kSkipped);
  EXPECT_EQ(Slurp(rig.Destination() / "sub/x"), "X");  // an existing folder is merged into
  EXPECT_TRUE(AllWhole(result->report.summary));
}

TEST_F(Duplicates, OverwriteReplacesIt) {
  rig.settings.duplicatePolicy = DuplicatePolicy::kOverwrite;
  ASSERT_TRUE(rig.Save().has_value());
  EXPECT_EQ(Slurp(rig.Destination() / "data.txt"), "new");
  EXPECT_EQ(Slurp(rig.Destination() / "data (1).txt"), "older");
}

TEST_F(Duplicates, RenameTakesTheNextFreeNumber) {
  rig.settings.duplicatePolicy = DuplicatePolicy::kRename;
  auto result = rig.Save();
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(Slurp(rig.Destination() / "data.txt"), "old");
  EXPECT_EQ(Slurp(rig.Destination() / "data (1).txt"), "older");
  EXPECT_EQ(Slurp(rig.Destination() / "data (2).txt"), "new");
  ASSERT_NE(EntryFor(result->report, "data (2).txt"), nullptr);
  // A second run renames again rather than touching what the first wrote.
  ASSERT_TRUE(rig.Save().has_value());
  EXPECT_EQ(Slurp(rig.Destination() / "data (3).txt"), "new");
  EXPECT_EQ(Slurp(rig.Destination() / "sub/x (1)"), "X");
}

DiskDescription ThreeFiles() {
  return OneVolume(FsKind::kHtfs,
                   {Node::File("a-first", "first"), Node::Filled("b-big", 300 * 1024, Random(9)),
                    Node::File("c-last", "last")});
}

TEST(SavingRun, StopMidFileKeepsWhatWasWrittenAndLeavesNoPartialFile) {
  RecoveryRig rig(ThreeFiles());
  rig.settings.sectorsPerRead = 8;
  auto result = rig.Save(Selection::All(), [&](const SavingProgress& progress) {
    if (progress.path == "b-big" && progress.bytesDone > 5 + 20 * 1024)
      rig.control.PressStopSaving();
  });
  ASSERT_TRUE(result.has_value());
  const fs::path out = rig.Destination();
  EXPECT_EQ(Slurp(out / "a-first"), "first");
  EXPECT_FALSE(fs::exists(out / "b-big"));
  EXPECT_FALSE(fs::exists(out / "c-last"));
  EXPECT_EQ(EntryFor(result->report, "b-big")->status, EntryStatus::kStopped);
  EXPECT_TRUE(result->report.summary.stoppedByUser);
  EXPECT_EQ(result->report.summary.notReached, 1u);  // c-last; b-big is listed as stopped
  EXPECT_TRUE(fs::exists(out / std::string(kReportJsonName)));
  EXPECT_EQ(rig.control.closeSavingRequested.load(), 1);
  for (const auto& item : fs::directory_iterator(out)) {
    EXPECT_FALSE(IsPartialName(item.path().filename().string()));
  }
  // The next run does not see the earlier stop.
  auto again = rig.Save();
  ASSERT_TRUE(again.has_value());
  EXPECT_TRUE(fs::exists(out / "c-last"));
}

TEST(SavingRun, SkipMidFileDropsOnlyThatFile) {
  RecoveryRig rig(ThreeFiles());
  rig.settings.sectorsPerRead = 8;
  int presses = 0;
  auto result = rig.Save(Selection::All(), [&](const SavingProgress& progress) {
    if (progress.path == "b-big" && progress.bytesDone > 5 + 8 * 1024 && presses++ == 0) {
      rig.control.PressSkipFile();
    }
  });
  ASSERT_TRUE(result.has_value());
  const fs::path out = rig.Destination();
  EXPECT_FALSE(fs::exists(out / "b-big"));
  EXPECT_EQ(Slurp(out / "c-last"), "last");
  EXPECT_EQ(EntryFor(result->report, "b-big")->status, EntryStatus::kSkipped);
  EXPECT_EQ(rig.control.skipFileRequested.load(), 0);
  EXPECT_FALSE(result->report.summary.stoppedByUser);
}

TEST(SavingRun, UnreadableSectorsAreZeroFilledAndReported) {
  DiskDescription disk = OneVolume(FsKind::kHtfs, {Node::Filled("db", 8 * 1024, Random(4))});
  imagekit::Damage damage;
  damage.kind = imagekit::DamageKind::kUnreadable;
  damage.path = "/db";
  damage.block = 2;
  disk.damage.push_back(damage);
  RecoveryRig rig(disk);
  auto result = rig.Save();
  ASSERT_TRUE(result.has_value());
  std::string expected = testing::FilledContents(Random(4), 8 * 1024);
  std::fill(expected.begin() + 2048, expected.begin() + 3072, '\0');
  EXPECT_EQ(Slurp(rig.Destination() / "db"), expected);
  std::shared_ptr<const ReportEntry> entry = EntryFor(result->report, "db");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->status, EntryStatus::kDamaged);
  const auto& volume = rig.Built().volumes[0];
  const std::uint64_t sector = volume.SectorOfBlock(volume.Find("/db")->dataBlocks[2]);
  EXPECT_EQ(entry->unreadable, (std::vector<SectorRun>{{sector, 2}}));
  EXPECT_EQ(result->report.summary.damagedFiles, 1u);
  EXPECT_EQ(result->report.summary.unreadableSectors, 2u);
  EXPECT_FALSE(AllWhole(result->report.summary));
  const auto json = nlohmann::json::parse(Slurp(rig.Destination() / std::string(kReportJsonName)));
  EXPECT_EQ(json["entries"][0]["unreadableSectors"][0]["first"], sector);
  EXPECT_NE(Slurp(rig.Destination() / std::string(kReportTextName))
                .find(fmt::format("unreadable sectors {}-{}", sector, sector + 1)),
            std::string::npos);
}

// Builds an EAFS disk, then patches placeholder names in the root directory
// into names no host folder may hold.
DiskDescription HostileDisk() {
  const std::vector<std::pair<std::string, std::string>> patches = {
      {"QQ", ".."}, {"WWWWWWW", "../../x"}, {"EEE", "a/b"}};
  DiskDescription disk = OneVolume(FsKind::kEafs, {});
  for (const auto& [placeholder, hostile] : patches) {
    disk.volumes[0].root.children.push_back(Node::File(placeholder, hostile + " inside"));
  }
  disk.volumes[0].root.children.push_back(
      Node::Folder("RRRRR", {Node::File("in.txt", "in")}));  // becomes ".././"
  disk.volumes[0].root.children.push_back(Node::File("tolvar-report.json", "mine"));
  disk.volumes[0].root.children.push_back(Node::File("esc\x1b[2J\xff", "odd"));
  auto built = imagekit::BuildImageBytes(disk);
  EXPECT_TRUE(built.has_value());
  const auto& volume = built->report.volumes[0];
  const std::uint64_t rootSector = volume.SectorOfBlock(volume.Find("/")->dataBlocks[0]);
  const auto begin = built->bytes.begin() + static_cast<std::ptrdiff_t>(rootSector * 512);
  auto patch = [&](const std::string& placeholder, const std::string& hostile) {
    std::string needle = placeholder;
    needle.push_back('\0');
    const auto at =
        std::search(begin, begin + 1024, reinterpret_cast<const std::byte*>(needle.data()),
                    reinterpret_cast<const std::byte*>(needle.data() + needle.size()));
    ASSERT_NE(at, begin + 1024) << placeholder;
    imagekit::Damage d;
    d.kind = imagekit::DamageKind::kPatch;
    d.firstSector = rootSector;
    d.offset = static_cast<std::uint32_t>(at - begin);
    for (const char c : hostile) d.bytes.push_back(static_cast<std::byte>(c));
    disk.damage.push_back(d);
  };
  for (const auto& [placeholder, hostile] : patches) patch(placeholder, hostile);
  patch("RRRRR", ".././");
  return disk;
}

// Sets the size word of the inode of `path` to `size`.
void PatchSize(DiskDescription& disk, FsKind kind, std::string_view path, std::uint32_t size) {
  auto built = imagekit::BuildImageBytes(disk);
  ASSERT_TRUE(built.has_value());
  const auto& volume = built->report.volumes[0];
  const FsType type = kind == FsKind::kHtfs ? FsType::kHtfs : FsType::kEafs;
  const InodeLocation where = LocateInode(type, volume.Find(path)->inode);
  imagekit::Damage d;
  d.kind = imagekit::DamageKind::kPatch;
  d.firstSector = volume.SectorOfBlock(2) + where.sectorOffset;
  d.offset = where.byteOffset + (kind == FsKind::kHtfs ? 12u : 8u);
  for (int i = 0; i < 4; ++i) d.bytes.push_back(static_cast<std::byte>(size >> (8 * i)));
  disk.damage.push_back(d);
}

TEST(SavingRun, ASizePastTheFilesBlocksIsCopiedAsFarAsTheyGoAndCalledDamaged) {
  for (const FsKind kind : {FsKind::kHtfs, FsKind::kEafs}) {
    DiskDescription disk =
        OneVolume(kind, {Node::Filled("huge", 3000, Random(9)), Node::File("fine", "fine")});
    PatchSize(disk, kind, "/huge", 0xFFFFFFFFu);
    RecoveryRig rig(disk);
    auto result = rig.Save();
    ASSERT_TRUE(result.has_value());
    const std::string copied = Slurp(rig.Destination() / "huge");
    ASSERT_EQ(copied.size(), 3072u);
    EXPECT_EQ(copied.substr(0, 3000), testing::FilledContents(Random(9), 3000));
    std::shared_ptr<const ReportEntry> entry = EntryFor(result->report, "huge");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->status, EntryStatus::kDamaged);
    EXPECT_THAT(entry->note, ::testing::HasSubstr("runs past its last block"));
    EXPECT_EQ(Slurp(rig.Destination() / "fine"), "fine");
    EXPECT_EQ(result->report.summary.damagedFiles, 1u);
    EXPECT_FALSE(AllWhole(result->report.summary));
  }
}

// Renames entries of the root folder on the built disk: each placeholder
// becomes a name of the same length, so two entries can share one name.
DiskDescription WithRootNamesPatched(
    DiskDescription disk, const std::vector<std::pair<std::string, std::string>>& patches) {
  auto built = imagekit::BuildImageBytes(disk);
  EXPECT_TRUE(built.has_value());
  const auto& volume = built->report.volumes[0];
  const std::uint64_t rootSector = volume.SectorOfBlock(volume.Find("/")->dataBlocks[0]);
  const auto begin = built->bytes.begin() + static_cast<std::ptrdiff_t>(rootSector * 512);
  for (const auto& [placeholder, name] : patches) {
    const auto at =
        std::search(begin, begin + 1024, reinterpret_cast<const std::byte*>(placeholder.data()),
                    reinterpret_cast<const std::byte*>(placeholder.data() + placeholder.size()));
    EXPECT_NE(at, begin + 1024) << placeholder;
    imagekit::Damage d;
    d.kind = imagekit::DamageKind::kPatch;
    d.firstSector = rootSector;
    d.offset = static_cast<std::uint32_t>(at - begin);
    for (const char c : name) d.bytes.push_back(static_cast<std::byte>(c));
    disk.damage.push_back(d);
  }
  return disk;
}

TEST(SavingRun, SameNamesOnTheDiskAreRenamedWhateverThePolicy) {
  for (const FsKind kind : {FsKind::kEafs, FsKind::kHtfs}) {
    const DiskDescription disk = WithRootNamesPatched(
        OneVolume(kind,
                  {Node::File("data", "file"),
                   Node::Folder("DATA", {Node::File("inner", "kept"),
                                         Node::Folder("deeper", {Node::File("d", "D")})}),
                   Node::Symlink("link", "data"), Node::Folder("LINK", {Node::File("l", "L")}),
                   Node::Folder("twin", {Node::File("one", "1")}),
                   Node::Folder("TWIN", {Node::File("two", "2")})}),
        {{"DATA", "data"}, {"LINK", "link"}, {"TWIN", "twin"}});
    for (const DuplicatePolicy policy :
         {DuplicatePolicy::kSkip, DuplicatePolicy::kOverwrite, DuplicatePolicy::kRename}) {
      RecoveryRig rig(disk);
      rig.settings.duplicatePolicy = policy;
      auto result = rig.Save();
      ASSERT_TRUE(result.has_value());
      const fs::path out = rig.Destination();
      EXPECT_EQ(Slurp(out / "data"), "file");
      EXPECT_EQ(Slurp(out / "data (1)/inner"), "kept");
      EXPECT_EQ(Slurp(out / "data (1)/deeper/d"), "D");
      EXPECT_TRUE(fs::is_symlink(out / "link"));
      EXPECT_EQ(Slurp(out / "link (1)/l"), "L");
      // Two folders of one name: neither is merged into the other.
      EXPECT_EQ(Slurp(out / "twin/one") + Slurp(out / "twin (1)/two") + Slurp(out / "twin/two") +
                    Slurp(out / "twin (1)/one"),
                "12");
      std::shared_ptr<const ReportEntry> folder = EntryFor(result->report, "data (1)");
      ASSERT_NE(folder, nullptr);
      EXPECT_THAT(folder->note, ::testing::HasSubstr("written as"));
      EXPECT_EQ(result->report.summary.skipped, 0u);
      EXPECT_TRUE(AllWhole(result->report.summary));
    }
  }
}

TEST(SavingRun, HostileNamesStayInsideTheDestination) {
  testing::TempDir outer;
  RecoveryRig rig(HostileDisk());
  const fs::path destination = outer.Path() / "dest" / "out";
  fs::create_directories(destination);
  auto result = rig.SaveTo(destination);
  ASSERT_TRUE(result.has_value());
  // Nothing appeared beside or above the destination.
  std::vector<std::string> outside;
  for (const auto& item : fs::recursive_directory_iterator(outer.Path())) {
    const std::string relative = fs::relative(item.path(), outer.Path()).string();
    if (relative != "dest" && relative != "dest/out" && !relative.starts_with("dest/out/")) {
      outside.push_back(relative);
    }
  }
  EXPECT_THAT(outside, ::testing::IsEmpty());
  EXPECT_EQ(Slurp(destination / "%2E%2E"), ".. inside");
  EXPECT_EQ(Slurp(destination / "..%2F..%2Fx"), "../../x inside");
  EXPECT_EQ(Slurp(destination / "a%2Fb"), "a/b inside");
  EXPECT_EQ(Slurp(destination / "..%2F.%2F" / "in.txt"), "in");
  EXPECT_EQ(Slurp(destination / "esc%1B[2J%FF"), "odd");
  EXPECT_EQ(Slurp(destination / "%74olvar-report.json"), "mine");  // the report keeps its name
  std::shared_ptr<const ReportEntry> entry = EntryFor(result->report, "a%2Fb");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->rawPath, (std::vector<std::string>{"a/b"}));
  const auto json = nlohmann::json::parse(Slurp(destination / std::string(kReportJsonName)));
  bool found = false;
  for (const auto& item : json["entries"]) {
    if (item["path"] == "a%2Fb") found = item["rawPathHex"][0] == HexBytes("a/b");
  }
  EXPECT_TRUE(found);
}

TEST(SavingRun, ALinkPlantedInTheDestinationIsNeverFollowed) {
  testing::TempDir outer;
  fs::create_directories(outer.Path() / "elsewhere");
  RecoveryRig rig(OneVolume(FsKind::kHtfs,
                            {Node::Folder("docs", {Node::File("a", "A")}), Node::File("b", "B")}));
  const fs::path destination = outer.Path() / "out";
  fs::create_directories(destination);
  fs::create_directory_symlink(outer.Path() / "elsewhere", destination / "docs");
  fs::create_symlink(outer.Path() / "elsewhere" / "b", destination / "b");
  rig.settings.duplicatePolicy = DuplicatePolicy::kOverwrite;
  auto result = rig.SaveTo(destination);
  ASSERT_TRUE(result.has_value());
  EXPECT_TRUE(fs::is_empty(outer.Path() / "elsewhere"));
  EXPECT_EQ(Slurp(destination / "docs (1)" / "a"), "A");
  EXPECT_FALSE(fs::is_symlink(destination / "b"));  // the link itself was replaced
  EXPECT_EQ(Slurp(destination / "b"), "B");
}

TEST(SavingRun, ADestinationThatIsTheSourceIsRefused) {
  testing::TempDir temp;
  const fs::path image = temp.Path() / "disk.img";
  std::ofstream(image) << "x";
  RecoveryRig rig(ThreeFiles());
  rig.options.sourcePath = image.string();
  auto result = rig.SaveTo(image);
  ASSERT_FALSE(result.has_value());
  EXPECT_THAT(result.error().message, ::testing::HasSubstr("is the source itself"));
  EXPECT_EQ(Slurp(image), "x");
  EXPECT_EQ(rig.control.closeSavingRequested.load(), 1);
}

// Caps the size of any file this process writes, like a nearly full disk.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &previous_);
    rlimit limit = previous_;
    limit.rlim_cur = bytes;
    ok_ = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &previous_);
    std::signal(SIGXFSZ, previousHandler_);
  }
  [[nodiscard]] bool Ok() const { return ok_; }

 private:
  rlimit previous_{};
  void (*previousHandler_)(int) = nullptr;
  bool ok_ = false;
};

TEST(SavingRun, RunningOutOfSpaceStopsCleanlyNamingTheFile) {
  RecoveryRig rig(ThreeFiles());
  std::expected<SavingResult, Error> result;
  {
    FileSizeLimit limit(64 * 1024);
    if (!limit.Ok()) GTEST_SKIP() << "cannot limit the file size here";
    result = rig.Save();
  }
  ASSERT_TRUE(result.has_value());
  const fs::path out = rig.Destination();
  EXPECT_EQ(Slurp(out / "a-first"), "first");
  EXPECT_FALSE(fs::exists(out / "b-big"));
  EXPECT_FALSE(fs::exists(out / "c-last"));
  const RunSummary& s = result->report.summary;
  EXPECT_THAT(s.stopMessage, ::testing::HasSubstr("b-big"));
  EXPECT_EQ(EntryFor(result->report, "b-big")->status, EntryStatus::kStopped);
  EXPECT_THAT(rig.dialog.problems, ::testing::ElementsAre(::testing::HasSubstr("b-big")));
  EXPECT_TRUE(fs::exists(out / std::string(kReportJsonName)));  // small enough to fit
  for (const auto& item : fs::directory_iterator(out)) {
    EXPECT_FALSE(IsPartialName(item.path().filename().string()));
  }
}

// Small files in a folder of the run's own are written by the writer
// threads, several at once: when one of them meets a full disk, the report
// still lists entries in order, says what stopped the run, and lists as
// written exactly the files that are on the host.
TEST(SavingRun, AFullDiskAmongFilesWrittenSideBySideLeavesReportAndHostAgreeing) {
  std::vector<Node> files;
  for (int i = 0; i < 40; ++i) {
    const std::size_t size = i == 12 ? 100 * 1024 : 1000 + i;
    files.push_back(Node::Filled(fmt::format("f{:02}", i), size, Random(i)));
  }
  RecoveryRig rig(OneVolume(FsKind::kHtfs, {Node::Folder("sub", files)}));
  std::expected<SavingResult, Error> result;
  {
    FileSizeLimit limit(64 * 1024);
    if (!limit.Ok()) GTEST_SKIP() << "cannot limit the file size here";
    result = rig.Save();
  }
  ASSERT_TRUE(result.has_value());
  const RecoveryReport& report = result->report;
  EXPECT_THAT(report.summary.stopMessage, ::testing::HasSubstr("f12"));
  ASSERT_NE(EntryFor(report, "sub/f12"), nullptr);
  EXPECT_EQ(EntryFor(report, "sub/f12")->status, EntryStatus::kStopped);
  std::set<std::string> reported;
  std::string previous;
  for (const ReportEntry& entry : report.entries) {
    if (entry.type != EntryType::kFile) continue;
    EXPECT_LT(previous, entry.path);  // in the order of the folder
    previous = entry.path;
    if (entry.status == EntryStatus::kComplete) {
      reported.insert(entry.path);
      EXPECT_EQ(entry.sha256, DigestsOfFile(rig.Destination() / entry.path).sha256) << entry.path;
    }
  }
  std::set<std::string> onHost;
  for (const auto& item : fs::directory_iterator(rig.Destination() / "sub")) {
    onHost.insert("sub/" + item.path().filename().string());
  }
  EXPECT_EQ(onHost, reported);
  for (int i = 0; i < 12; ++i) EXPECT_TRUE(reported.contains(fmt::format("sub/f{:02}", i))) << i;
  EXPECT_EQ(report.summary.files + report.summary.notReached + 1, 40u);
}

TEST(SavingRun, AFullTmpfsStopsCleanly) {
  testing::TempDir mountPoint;
  const std::string command = fmt::format("mount -t tmpfs -o size=128k tolvar-test {} 2>/dev/null",
                                          mountPoint.Path().string());
  if (::geteuid() != 0 || std::system(command.c_str()) != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here";
  }
  RecoveryRig rig(ThreeFiles());
  auto result = rig.SaveTo(mountPoint.Path() / "out");
  (void)std::system(fmt::format("umount {}", mountPoint.Path().string()).c_str());
  ASSERT_TRUE(result.has_value());
  EXPECT_THAT(result->report.summary.stopMessage, ::testing::HasSubstr("b-big"));
  EXPECT_THAT(result->report.summary.stopMessage, ::testing::HasSubstr("No space left"));
}

TEST(SavingRun, ADestinationWithLittleRoomStillGetsItsReport) {
  testing::TempDir mountPoint;
  const std::string command = fmt::format("mount -t tmpfs -o size=8k tolvar-test {} 2>/dev/null",
                                          mountPoint.Path().string());
  if (::geteuid() != 0 || std::system(command.c_str()) != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here";
  }
  RecoveryRig rig(ThreeFiles());
  auto result = rig.SaveTo(mountPoint.Path());
  const std::string report = Slurp(mountPoint.Path() / std::string(kReportTextName));
  const std::string json = Slurp(mountPoint.Path() / std::string(kReportJsonName));
  std::vector<std::string> names;
  for (const auto& item : fs::directory_iterator(mountPoint.Path())) {
    names.push_back(item.path().filename().string());
  }
  (void)std::system(fmt::format("umount {}", mountPoint.Path().string()).c_str());
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->reportProblem, "");
  // Two pages: without room kept for it, the first file would take one and
  // the report would not fit in the other.
  EXPECT_THAT(report, ::testing::HasSubstr("The run ended early"));
  EXPECT_THAT(json, ::testing::HasSubstr("No space left"));
  for (const std::string& name : names) EXPECT_FALSE(IsPartialName(name)) << name;
}

TEST(SavingRun, LeftoversOfAnInterruptedRunAreRemovedAndReported) {
  RecoveryRig rig(OneVolume(FsKind::kHtfs, {Node::Folder("sub", {Node::File("x", "X")})}));
  fs::create_directories(rig.Destination() / "sub");
  // No process can have this number (the kernel's limit is 2^22).
  std::ofstream(rig.Destination() / ".tolvar%partial-4194305") << "half";
  std::ofstream(rig.Destination() / "sub/.tolvar%partial-4194305-2") << "half";
  auto result = rig.Save();
  ASSERT_TRUE(result.has_value());
  EXPECT_THAT(
      result->report.leftoversRemoved,
      ::testing::UnorderedElementsAre(".tolvar%partial-4194305", "sub/.tolvar%partial-4194305-2"));
  EXPECT_FALSE(fs::exists(rig.Destination() / ".tolvar%partial-4194305"));
  EXPECT_FALSE(fs::exists(rig.Destination() / "sub/.tolvar%partial-4194305-2"));
  EXPECT_THAT(Slurp(rig.Destination() / std::string(kReportTextName)),
              ::testing::HasSubstr("Removed sub/.tolvar%partial-4194305-2"));
}

// Files of a disk whose names look like the old temporary names come out,
// and a second run into the same folder leaves the first run's files alone.
TEST(SavingRun, RecoveredFilesNamedLikeTemporaryFilesSurviveASecondRun) {
  RecoveryRig rig(
      OneVolume(FsKind::kEafs, {Node::File(".tolvar-partial-4194305", "one"),
                                Node::Folder("sub", {Node::File(".tolvar-partial-7-2", "two"),
                                                     Node::File(".tolvar%partial-9", "three")})}));
  rig.settings.duplicatePolicy = DuplicatePolicy::kRename;
  for (int run = 0; run < 2; ++run) {
    auto result = rig.Save();
    ASSERT_TRUE(result.has_value());
    EXPECT_THAT(result->report.leftoversRemoved, ::testing::IsEmpty());
  }
  const fs::path out = rig.Destination();
  EXPECT_EQ(Slurp(out / ".tolvar-partial-4194305"), "one");
  EXPECT_EQ(Slurp(out / "sub/.tolvar-partial-7-2"), "two");
  EXPECT_EQ(Slurp(out / "sub/.tolvar%25partial-9"), "three");
  EXPECT_EQ(Slurp(out / "sub/.tolvar%25partial-9 (1)"), "three");
  EXPECT_EQ(Slurp(out / ".tolvar-partial-4194305 (1)"), "one");
}

// The kernel's copy from an image file and the run's own reads and writes
// give byte-identical files and reports, whatever the addressing, holes,
// the run length, and sectors already known to be unreadable.
TEST(SavingRun, KernelCopyAndReadWriteGiveTheSameFiles) {
  const std::vector<Node> files = {
      Node::File("empty", ""),
      Node::File("small", "small\n"),
      Node::Filled("direct", kDirectMax - 3, Random(1)),
      Node::Filled("single", kSingleEnd - 1000, Offsets()),
      Node::Filled("double", kSingleEnd + 300 * 1024 + 5, Random(2)),
      Node::Folder("sub", {Node::Filled("odd", 4097, Random(3))}),
      Node::Symlink("link", "sub/odd"),
  };
  for (const FsKind kind : {FsKind::kHtfs, FsKind::kEafs}) {
    for (const bool knownBad : {false, true}) {
      std::vector<std::vector<std::pair<std::string, std::string>>> outputs;
      std::vector<std::vector<std::uint64_t>> summaries;
      for (const bool kernelCopy : {true, false}) {
        SCOPED_TRACE(fmt::format("kind {} known bad {} kernel copy {}", static_cast<int>(kind),
                                 knownBad, kernelCopy));
        RecoveryRig rig(OneVolume(kind, files), RecoveryRig::FromImageFile{});
        rig.options.kernelCopy = kernelCopy;
        rig.settings.sectorsPerRead = 7;  // many pieces per kernel run
        if (knownBad) {
          // As if an earlier read had failed there: that run is read, not copied.
          const auto& volume = rig.Built().volumes[0];
          const std::uint32_t block = volume.Find("/double")->dataBlocks[100];
          rig.Drives().BadSectors().Record(volume.SectorOfBlock(block) + 1);
        }
        auto result = rig.Save();
        ASSERT_TRUE(result.has_value());
        auto written = testing::HostFiles(rig.Destination());
        // The reports name their own destination folder.
        std::erase_if(written, [](const auto& file) { return file.first.starts_with("tolvar-"); });
        outputs.push_back(std::move(written));
        std::shared_ptr<const ReportEntry> entry = EntryFor(result->report, "double");
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->status, knownBad ? EntryStatus::kDamaged : EntryStatus::kComplete);
        EXPECT_EQ(entry->unreadable.size(), knownBad ? 1u : 0u);
        const RunSummary& sum = result->report.summary;
        summaries.push_back({sum.files, sum.damagedFiles, sum.unreadableSectors, sum.bytes});
      }
      EXPECT_EQ(outputs[0], outputs[1]);
      EXPECT_EQ(summaries[0], summaries[1]);
      if (!knownBad) {
        for (const auto& [path, contents] : outputs[0]) {
          if (path == "double") {
            EXPECT_EQ(contents, testing::FilledContents(Random(2), kSingleEnd + 300 * 1024 + 5));
          }
        }
      }
    }
  }
}

TEST(SavingDialog, ButtonsOnlySetTheirFlagsAndTheDialogClosesOnTheRunsRequest) {
  SaveControl control;
  control.PressStopSaving();
  control.PressSkipFile();
  EXPECT_FALSE(control.TakeCloseRequest());  // still open
  control.StartRun();
  EXPECT_EQ(control.stopSavingRequested.load(), 0);
  EXPECT_EQ(control.skipFileRequested.load(), 0);

  testing::RecoveryRig rig(OneVolume(FsKind::kHtfs, {imagekit::Node::File("a", "A")}));
  rig.options.destination = rig.Destination().string();
  SavingWorker worker;
  worker.Start([&] {
    SavingDisplayObserver dialog(rig.dialog);
    (void)RunSaving(rig.Drives(), rig.Volume(), rig.Tree(), Selection::All(), rig.settings,
                    rig.control, dialog, rig.options);
  });
  // The dialog's repaints: it closes once the run has asked for it.
  while (!rig.control.TakeCloseRequest()) std::this_thread::yield();
  worker.Join();
  EXPECT_EQ(rig.control.closeSavingRequested.load(), 0);
  EXPECT_EQ(Slurp(rig.Destination() / "a"), "A");
}

}  // namespace
}  // namespace tolvar
