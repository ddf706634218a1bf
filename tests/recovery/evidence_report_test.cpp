// The report as evidence: every entry's inode words and the hashes of the
// bytes that reached the host, and the run's own facts.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>

#include "disk/fault_injecting_source.hpp"
#include "recovery/content_hash.hpp"
#include "recovery/file_digester.hpp"
#include "recovery/report.hpp"
#include "recovery/saving_run.hpp"
#include "tests/disk/disk_test_util.hpp"
#include "tests/recovery/recovery_rig.hpp"

namespace tolvar {
namespace {

namespace fs = std::filesystem;
using imagekit::DiskDescription;
using imagekit::Fill;
using imagekit::FsKind;
using imagekit::Node;
using testing::EntryFor;
using testing::RecoveryRig;

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The digests of a host file, read back whole: what a verifier computes.
ContentDigests DigestsOf(const fs::path& path) {
  const std::string bytes = Slurp(path);
  ContentHasher hasher;
  hasher.Update(std::as_bytes(std::span(bytes)));
  return hasher.Finish();
}

DiskDescription Evidence(FsKind kind) {
  Node hello = Node::File("hello", "hello, world\n");
  hello.uid = 201;
  hello.gid = 50;
  hello.permissions = 04751;
  hello.mtime = 1165482300;
  Node big = Node::Filled("big", 300 * 1024 + 17, Fill{Fill::Pattern::kRandom, 0, "", 9});
  Node folder = Node::Folder("etc", {Node::File("passwd", "root:x:0:0::/:/bin/sh\n")});
  folder.uid = 3;
  folder.gid = 4;
  folder.permissions = 0750;
  folder.mtime = 1000000000;
  DiskDescription disk;
  imagekit::VolumeDescription volume;
  volume.fs = kind;
  volume.root = Node::Folder("", {hello, big, folder});
  disk.volumes.push_back(std::move(volume));
  return disk;
}

class EvidenceReport : public ::testing::TestWithParam<FsKind> {};

TEST_P(EvidenceReport, EntriesCarryTheInodeWordsAndTheHashesOfTheBytesWritten) {
  RecoveryRig rig(Evidence(GetParam()));
  rig.options.commandLine = "tolvar recover disk.img -o out";
  auto result = rig.Save();
  ASSERT_TRUE(result.has_value());
  const RecoveryReport& report = result->report;

  std::shared_ptr<const ReportEntry> hello = EntryFor(report, "hello");
  ASSERT_NE(hello, nullptr);
  EXPECT_EQ(hello->sha256, "853ff93762a06ddbf722c4ebe9ddd66d8f63ddaea97f521c3ecc20da7c976020");
  EXPECT_EQ(hello->md5, "22c3683b094136c3398391ae71b20f04");
  ASSERT_TRUE(hello->facts.has_value());
  EXPECT_EQ(hello->facts->mode, 0x8000 | 04751);
  EXPECT_EQ(hello->facts->uid, 201);
  EXPECT_EQ(hello->facts->gid, 50);
  EXPECT_EQ(hello->facts->nlink, 1);
  EXPECT_EQ(hello->facts->mtime, 1165482300);

  // A file long enough to need many pieces and the indirect block.
  std::shared_ptr<const ReportEntry> big = EntryFor(report, "big");
  ASSERT_NE(big, nullptr);
  const ContentDigests bigOnHost = DigestsOf(rig.Destination() / "big");
  EXPECT_EQ(big->sha256, bigOnHost.sha256);
  EXPECT_EQ(big->md5, bigOnHost.md5);

  std::shared_ptr<const ReportEntry> etc = EntryFor(report, "etc");
  ASSERT_NE(etc, nullptr);
  ASSERT_TRUE(etc->facts.has_value());
  EXPECT_EQ(etc->facts->mode, 0x4000 | 0750);
  EXPECT_EQ(etc->facts->uid, 3);
  EXPECT_EQ(etc->facts->mtime, 1000000000);
  EXPECT_TRUE(etc->sha256.empty());  // folders carry no hash

  const auto json = nlohmann::json::parse(Slurp(rig.Destination() / std::string(kReportJsonName)));
  EXPECT_EQ(json["tool"]["name"], "tolvar");
  EXPECT_FALSE(json["tool"]["version"].get<std::string>().empty());
  EXPECT_EQ(json["commandLine"], "tolvar recover disk.img -o out");
  const std::regex iso(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)");
  EXPECT_TRUE(std::regex_match(json["started"].get<std::string>(), iso));
  EXPECT_TRUE(std::regex_match(json["finished"].get<std::string>(), iso));
  EXPECT_EQ(json["source"]["volumeType"], GetParam() == FsKind::kHtfs ? "HTFS" : "EAFS");
  EXPECT_EQ(json["source"]["size"], rig.Drives().Current().totalSectors * kSectorSize);
  EXPECT_EQ(json["source"]["volumeStart"], rig.Volume().startSector);
  EXPECT_EQ(json["settings"]["duplicates"], "skip");
  for (const auto& item : json["entries"]) {
    if (item["path"] != "hello") continue;
    EXPECT_EQ(item["sha256"], hello->sha256);
    EXPECT_EQ(item["mode"], 0x8000 | 04751);
    EXPECT_EQ(item["uid"], 201);
    EXPECT_EQ(item["nlink"], 1);
    EXPECT_EQ(item["mtime"], 1165482300);
    EXPECT_TRUE(item["atime"].is_number() && item["ctime"].is_number());
  }
  const std::string text = Slurp(rig.Destination() / std::string(kReportTextName));
  EXPECT_NE(text.find("-rwsr-x--x"), std::string::npos) << text;
  EXPECT_NE(text.find(hello->sha256 + "  " + hello->md5 + "  hello"), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(BothFormats, EvidenceReport,
                         ::testing::Values(FsKind::kHtfs, FsKind::kEafs));

// The hash of a damaged copy is of what the host holds, zeros included,
// never of what the disk should have held.
TEST(EvidenceReport, ADamagedCopyIsHashedAsWrittenWithItsZeros) {
  DiskDescription disk = Evidence(FsKind::kHtfs);
  imagekit::Damage damage;
  damage.kind = imagekit::DamageKind::kUnreadable;
  damage.path = "/big";
  damage.block = 3;
  disk.damage.push_back(damage);
  RecoveryRig rig(disk);
  auto result = rig.Save();
  ASSERT_TRUE(result.has_value());
  std::shared_ptr<const ReportEntry> big = EntryFor(result->report, "big");
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(big->status, EntryStatus::kDamaged);
  const ContentDigests onHost = DigestsOf(rig.Destination() / "big");
  EXPECT_EQ(big->sha256, onHost.sha256);
  EXPECT_EQ(big->md5, onHost.md5);
  std::string whole =
      testing::FilledContents(Fill{Fill::Pattern::kRandom, 0, "", 9}, 300 * 1024 + 17);
  ContentHasher intact;
  intact.Update(std::as_bytes(std::span(whole)));
  EXPECT_NE(big->sha256, intact.Finish().sha256);
}

// A copy the user stopped is abandoned: it gets no hash, and a hash of the
// source the stop cut short is said to be missing, not given.
TEST(EvidenceReport, AStoppedCopyHasNoHashAndTheSourceHashSaysWhy) {
  RecoveryRig rig(Evidence(FsKind::kEafs));
  rig.settings.sectorsPerRead = 8;
  rig.options.sourceHash = [&rig]() -> std::expected<std::string, Error> {
    return HashWholeSource(*MakeMemorySource(std::vector<std::byte>(4096)),
                           StopToken(rig.control.stopSavingRequested));
  };
  auto result = rig.Save(Selection::All(), [&](const SavingProgress& progress) {
    if (progress.path == "big" && progress.bytesDone > 40 * 1024) rig.control.PressStopSaving();
  });
  ASSERT_TRUE(result.has_value());
  std::shared_ptr<const ReportEntry> big = EntryFor(result->report, "big");
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(big->status, EntryStatus::kStopped);
  EXPECT_TRUE(big->sha256.empty());
  EXPECT_TRUE(big->md5.empty());
  EXPECT_TRUE(result->report.source.sha256.empty());
  EXPECT_NE(result->report.source.sha256Problem.find("stopped"), std::string::npos);
  const auto json = nlohmann::json::parse(Slurp(rig.Destination() / std::string(kReportJsonName)));
  EXPECT_FALSE(json["source"].contains("sha256"));
  EXPECT_TRUE(json["settings"]["hashSource"].get<bool>());
}

// Large files are hashed off the run's thread, each finishing while the
// next is copied: the report still lists every entry in the order of a run
// that hashes nothing, each with the digests of what its host file holds,
// and the progress counts every file once, in order.
TEST(EvidenceReport, LargeFilesHashedSideBySideKeepTheirOrderAndDigests) {
  auto big = [](const char* name, std::uint64_t size, std::uint64_t seed) {
    return Node::Filled(name, size, Fill{Fill::Pattern::kRandom, 0, "", seed});
  };
  DiskDescription disk;
  imagekit::VolumeDescription volume;
  volume.fs = FsKind::kHtfs;
  volume.root =
      Node::Folder("", {big("one", (3u << 19) + 5, 1), Node::File("a", "small\n"),
                        big("two", 2u << 20, 2), big("three", (5u << 18) + 1, 3),
                        Node::Folder("d", {big("four", 3u << 19, 4)}), Node::File("z", "last\n")});
  // More large files in a row than wait for their digests at once: the
  // oldest is recorded to make room, still before the ones after it.
  Node many = Node::Folder("many", {});
  for (std::uint64_t i = 0; i < 10; ++i) {
    many.children.push_back(big(i % 2 == 0 ? "even" : "odd", (1u << 20) + i, 10 + i));
    many.children.back().name += std::to_string(i);
  }
  volume.root.children.push_back(std::move(many));
  disk.volumes.push_back(std::move(volume));
  for (const bool fromImageFile : {false, true}) {
    SCOPED_TRACE(fromImageFile ? "kernel copy" : "read and written");
    auto rig = fromImageFile ? std::make_unique<RecoveryRig>(disk, RecoveryRig::FromImageFile{})
                             : std::make_unique<RecoveryRig>(disk);
    fs::create_directories(rig->Destination() / "plain");
    fs::create_directories(rig->Destination() / "hashed");
    rig->options.fileDigests = false;
    auto plain = rig->SaveTo(rig->Destination() / "plain");
    ASSERT_TRUE(plain.has_value());
    rig->options.fileDigests = true;
    std::vector<std::uint64_t> filesDone;
    auto hashed = rig->SaveTo(rig->Destination() / "hashed", Selection::All(),
                              [&](const SavingProgress& progress) {
                                if (filesDone.empty() || filesDone.back() != progress.filesDone)
                                  filesDone.push_back(progress.filesDone);
                              });
    ASSERT_TRUE(hashed.has_value());
    ASSERT_EQ(hashed->report.entries.size(), plain->report.entries.size());
    std::size_t files = 0;
    for (std::size_t i = 0; i < plain->report.entries.size(); ++i) {
      const ReportEntry entry = hashed->report.entries[i];
      EXPECT_EQ(entry.path, plain->report.entries[i].path);
      if (entry.type != EntryType::kFile) continue;
      ++files;
      EXPECT_EQ(entry.status, EntryStatus::kComplete) << entry.path;
      const ContentDigests onHost = DigestsOf(rig->Destination() / "hashed" / entry.path);
      EXPECT_EQ(entry.sha256, onHost.sha256) << entry.path;
      EXPECT_EQ(entry.md5, onHost.md5) << entry.path;
    }
    EXPECT_EQ(files, 16u);
    EXPECT_EQ(hashed->report.summary.files, 16u);
    for (std::size_t i = 1; i < filesDone.size(); ++i)
      EXPECT_EQ(filesDone[i], filesDone[i - 1] + 1);
    EXPECT_EQ(filesDone.back(), 16u);
  }
}

// The JSON report, written entry by entry, is exactly what one dump of the
// whole document gives, whatever its texts hold (a command line that reads
// like the entry list, quotes, newlines, control bytes, text that is not
// UTF-8) and whichever fields an entry has.
TEST(ReportJsonText, EntriesWrittenOneByOneMatchTheWholeDocument) {
  RecoveryReport report;
  report.commandLine = "tolvar recover \"entries\": [] x\n  \"entries\": []";
  report.destination = "out";
  for (const std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{5}}) {
    SCOPED_TRACE(count);
    report.entries.clear();
    for (std::size_t i = 0; i < count; ++i) {
      ReportEntry entry;
      entry.path = fmt::format("a/b{}", i);
      entry.rawPath = {"a", fmt::format("b{}\n", i)};
      entry.unreadable = {{10, 2}, {20, 1}};
      entry.note = i == 1 ? "line\nbreak \"quoted\"" : "";
      entry.sha256 = std::string(64, 'a');
      if (i == 2) entry.facts = InodeFacts{0x81a4, 1, 2, 1, 3, 4, 5};
      if (i == 3) {
        entry.rawPath.clear();
        entry.unreadable.clear();
        entry.path = "t\tb\bf\fr\r\x01\x1f\x7f back\\slash caf\xc3\xa9 \xf0\x9f\x98\x80";
        entry.note = "not UTF-8: \xff\xc3 \xed\xa0\x80 end";
        entry.byError = true;
        entry.timeUnreadable = true;
        entry.blocksOutsideVolume = 7;
        entry.md5 = std::string(32, 'b');
        entry.status = EntryStatus::kSkipped;
        entry.type = EntryType::kFolder;
        entry.facts = InodeFacts{0xffff, 65535, 0, 0, -1, -2000000000, 4102444800};
      }
      report.entries.push_back(entry);
    }
    const std::string text = ReportJson(report);
    const nlohmann::json parsed = nlohmann::json::parse(text);
    EXPECT_EQ(parsed.dump(2) + "\n", text);
    EXPECT_EQ(parsed["entries"].size(), count);
    EXPECT_EQ(parsed["commandLine"], report.commandLine);
  }

  // Texts of random bytes, mostly near the edges of UTF-8 (lead bytes,
  // continuation bytes, surrogates, overlong forms, control bytes).
  std::mt19937 random(7);
  const std::string edges(
      "\x00\x1f\x20\x22\x5c\x7f\x80\xbf\xc0\xc1\xc2\xdf\xe0\xed\xef\xf0\xf4\xf5\xff"
      "a",
      20);
  report.entries.clear();
  for (int n = 0; n < 300; ++n) {
    ReportEntry entry;
    const std::size_t length = random() % 12;
    for (std::size_t i = 0; i < length; ++i) {
      entry.note +=
          random() % 3 == 0 ? static_cast<char>(random() % 256) : edges[random() % edges.size()];
    }
    report.entries.push_back(entry);
  }
  const std::string text = ReportJson(report);
  EXPECT_EQ(nlohmann::json::parse(text).dump(2) + "\n", text);
}

TEST(ContentHash, TheWholeSourceIsHashedOrRefusedNamingTheUnreadableByte) {
  const auto bytes = testing::PatternBytes(20000);  // more than one piece of the reader
  ContentHasher expected(DigestSet::kSha256Only);
  expected.Update(bytes);
  auto whole = HashWholeSource(*MakeMemorySource(bytes), StopToken());
  ASSERT_TRUE(whole.has_value());
  EXPECT_EQ(*whole, expected.Finish().sha256);

  // Zeros fed as a count hash like zeros fed as bytes.
  ContentHasher holes;
  holes.UpdateZeros(70000);
  ContentHasher zeros;
  zeros.Update(std::vector<std::byte>(70000));
  EXPECT_EQ(holes.Finish().md5, zeros.Finish().md5);

  FaultPlan plan;
  plan.neverReadable = {12345};
  auto damaged = HashWholeSource(
      *MakeFaultInjectingSource(std::shared_ptr<BlockDeviceSource>(MakeMemorySource(bytes)), plan),
      StopToken());
  ASSERT_FALSE(damaged.has_value());
  EXPECT_NE(damaged.error().message.find("could not be read at byte"), std::string::npos);
}

// The digester, whether it hashes on the caller's thread (small files) or on
// its own, gives what one hasher fed the same stream gives; a range that
// does not read back leaves the digests out; an abandoned file leaves
// nothing behind for the next one.
TEST(ContentHash, TheFileDigesterGivesTheDigestsOfTheStreamFedToIt) {
  const std::vector<std::byte> image = testing::PatternBytes(6600);  // over 3 MiB
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(std::fwrite(image.data(), 1, image.size(), file), image.size());
  ASSERT_EQ(std::fflush(file), 0);
  const int fd = fileno(file);

  // Little room ahead, so that feeding waits for the hashing now and then.
  DigestQueue queue(std::uint64_t{2} << 20);
  FileDigester digester(queue);
  for (const std::size_t size : {std::size_t{3000}, image.size() - 500}) {
    SCOPED_TRACE(size);
    const std::size_t bytesPart = size / 3;
    const std::size_t zeros = 70000;
    ContentHasher expected;
    expected.Update(std::span(image).first(bytesPart));
    expected.UpdateZeros(zeros);
    expected.Update(std::span(image).subspan(100, size - bytesPart));

    // A file abandoned half-way first: its bytes must not reach the next.
    digester.Start(size + zeros);
    digester.Update(std::span(image).first(bytesPart));
    digester.UpdateFromFile(fd, 0, size);
    digester.Abandon();

    digester.Start(size + zeros);
    for (std::size_t at = 0; at < bytesPart; at += 4096) {
      digester.Update(std::span(image).subspan(at, std::min<std::size_t>(4096, bytesPart - at)));
    }
    digester.UpdateZeros(zeros);
    digester.UpdateFromFile(fd, 100, size - bytesPart);
    const std::optional<ContentDigests> digests = digester.Finish();
    ASSERT_TRUE(digests.has_value());
    const ContentDigests want = expected.Finish();
    EXPECT_EQ(digests->sha256, want.sha256);
    EXPECT_EQ(digests->md5, want.md5);

    // Bytes, read-backs and zeros interleaved keep their order through both
    // digests (the read-back is handed from one digest's thread to the other).
    ContentHasher mixed;
    digester.Start(size + 2 * zeros);
    for (int round = 0; round < 2; ++round) {
      mixed.Update(std::span(image).subspan(round * 7, bytesPart));
      mixed.Update(std::span(image).subspan(round * 11, size - bytesPart));
      mixed.UpdateZeros(zeros);
      digester.Update(std::span(image).subspan(round * 7, bytesPart));
      digester.UpdateFromFile(fd, round * 11, size - bytesPart);
      digester.UpdateZeros(zeros);
    }
    const std::optional<ContentDigests> mixedDigests = digester.Finish();
    ASSERT_TRUE(mixedDigests.has_value());
    const ContentDigests mixedWant = mixed.Finish();
    EXPECT_EQ(mixedDigests->sha256, mixedWant.sha256);
    EXPECT_EQ(mixedDigests->md5, mixedWant.md5);

    // A range running past the end of the file does not read back whole.
    digester.Start(size);
    digester.Update(std::span(image).first(bytesPart));
    digester.UpdateFromFile(fd, image.size() - 10, size - bytesPart);
    EXPECT_FALSE(digester.Finish().has_value());
  }

  // Several files fed in turn, one dropped half-way, are each given the
  // digests of their own stream: as large files side by side in the queue.
  std::vector<DigestQueue::Ticket> tickets;
  std::vector<ContentHasher> expected(4);
  for (int i = 0; i < 4; ++i) tickets.push_back(queue.Open());
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 4; ++i) {
      const std::size_t at = static_cast<std::size_t>(i * 1000 + round * 333);
      const std::size_t length = 700000 + static_cast<std::size_t>(i * 65) + round;
      queue.AddRange(tickets[i], fd, at, length);
      expected[i].Update(std::span(image).subspan(at, length));
      queue.AddZeros(tickets[i], 100 + i);
      expected[i].UpdateZeros(100 + i);
      queue.AddBytes(tickets[i], std::span(image).subspan(7, 61 + i));
      expected[i].Update(std::span(image).subspan(7, 61 + i));
    }
    if (round == 1) queue.Drop(tickets[2]);
  }
  for (int i = 0; i < 4; ++i) {
    if (i == 2) continue;
    const std::optional<ContentDigests> digests = queue.Take(tickets[i]);
    ASSERT_TRUE(digests.has_value()) << "file " << i;
    const ContentDigests want = expected[i].Finish();
    EXPECT_EQ(digests->sha256, want.sha256) << "file " << i;
    EXPECT_EQ(digests->md5, want.md5) << "file " << i;
  }
  std::fclose(file);
}

}  // namespace
}  // namespace tolvar
