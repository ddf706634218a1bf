#include "recovery/restore.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tests/support/temp_dir.hpp"

namespace tolvar {
namespace {

namespace fs = std::filesystem;

// Compresses `data` with libarchive's writer in raw format.
std::string Compress(const std::string& data, CompressionFormat format) {
  archive* writer = archive_write_new();
  switch (format) {
    case CompressionFormat::kCompress:
      archive_write_add_filter_compress(writer);
      break;
    case CompressionFormat::kGzip:
      archive_write_add_filter_gzip(writer);
      break;
    case CompressionFormat::kBzip2:
      archive_write_add_filter_bzip2(writer);
      break;
    case CompressionFormat::kXz:
      archive_write_add_filter_xz(writer);
      break;
    case CompressionFormat::kNone:
      break;
  }
  archive_write_set_format_raw(writer);
  archive_write_set_bytes_in_last_block(writer, 1);
  std::vector<char> buffer(data.size() + 65536);
  std::size_t used = 0;
  EXPECT_EQ(archive_write_open_memory(writer, buffer.data(), buffer.size(), &used), ARCHIVE_OK);
  archive_entry* entry = archive_entry_new();
  archive_entry_set_pathname(entry, "data");
  archive_entry_set_filetype(entry, AE_IFREG);
  archive_entry_set_size(entry, static_cast<la_int64_t>(data.size()));
  EXPECT_EQ(archive_write_header(writer, entry), ARCHIVE_OK);
  EXPECT_EQ(archive_write_data(writer, data.data(), data.size()),
            static_cast<la_ssize_t>(data.size()));
  archive_entry_free(entry);
  archive_write_close(writer);
  archive_write_free(writer);
  return {buffer.data(), used};
}

void Put(const fs::path& path, const std::string& bytes, std::int64_t mtime = 1200000000) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
  const timespec times[2] = {{mtime, 0}, {mtime, 0}};
  ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string Sample() {
  std::string text;
  for (int i = 0; i < 5000; ++i) text += "line " + std::to_string(i * 7919 % 1000) + " of data\n";
  return text;
}

TEST(Restore, RecognisesEachFormatByContent) {
  const std::string data = Sample();
  for (const auto format : {CompressionFormat::kCompress, CompressionFormat::kGzip,
                            CompressionFormat::kBzip2, CompressionFormat::kXz}) {
    const std::string packed = Compress(data, format);
    EXPECT_EQ(DetectCompression(std::as_bytes(std::span(packed.data(), packed.size()))), format);
  }
  const std::string plain = "plain text";
  EXPECT_EQ(DetectCompression(std::as_bytes(std::span(plain.data(), plain.size()))),
            CompressionFormat::kNone);
  EXPECT_EQ(RestoredName("a.txt.gz", CompressionFormat::kGzip), "a.txt");
  EXPECT_EQ(RestoredName("b.tgz", CompressionFormat::kGzip), "b.tar");
  EXPECT_EQ(RestoredName("c.tar.Z", CompressionFormat::kCompress), "c.tar");
  EXPECT_EQ(RestoredName("d.Z", CompressionFormat::kCompress), "d");
  EXPECT_EQ(RestoredName("e.bz2", CompressionFormat::kBzip2), "e");
  EXPECT_EQ(RestoredName("f.gz", CompressionFormat::kXz), "f.gz.restored");
  EXPECT_EQ(RestoredName("noext", CompressionFormat::kXz), "noext.restored");
}

TEST(Restore, EachFormatIsRestoredBesideTheOriginalWhichGoes) {
  testing::TempDir dir;
  const std::string data = Sample();
  Put(dir / "a.Z", Compress(data, CompressionFormat::kCompress));
  Put(dir / "sub/b.gz", Compress(data, CompressionFormat::kGzip), 1300000000);
  Put(dir / "sub/deeper/c.bz2", Compress(data, CompressionFormat::kBzip2));
  Put(dir / "d.xz", Compress(data, CompressionFormat::kXz));
  Put(dir / "packed", Compress(data, CompressionFormat::kGzip));  // no suffix
  Put(dir / "empty.gz", Compress("", CompressionFormat::kGzip));
  Put(dir / "fake.gz", "not compressed at all");
  RestoreObserver observer;
  auto report = RestoreCompressedFiles(dir.Path().string(), observer);
  ASSERT_TRUE(report.has_value());
  for (const char* name : {"a", "sub/b", "sub/deeper/c", "d", "packed.restored"}) {
    EXPECT_EQ(Slurp(dir / name), data) << name;
  }
  EXPECT_TRUE(fs::exists(dir / "empty"));
  EXPECT_EQ(fs::file_size(dir / "empty"), 0u);
  for (const char* gone : {"sub/b.gz", "sub/deeper/c.bz2", "d.xz", "packed", "empty.gz"}) {
    EXPECT_FALSE(fs::exists(dir / gone)) << gone;
  }
  EXPECT_TRUE(fs::exists(dir / "a.Z"));  // nothing confirms compress data
  EXPECT_EQ(Slurp(dir / "fake.gz"), "not compressed at all");
  struct stat info {};
  ASSERT_EQ(::stat((dir / "sub/b").c_str(), &info), 0);
  EXPECT_EQ(info.st_mtim.tv_sec, 1300000000);
  EXPECT_EQ(report->summary.restored, 5u);
  EXPECT_EQ(report->summary.unverified, 1u);
  EXPECT_EQ(report->summary.damaged, 0u);
  EXPECT_EQ(report->summary.filesExamined, 7u);
}

TEST(Restore, ARestoredNameThatIsTakenGetsANumber) {
  testing::TempDir dir;
  Put(dir / "notes.gz", Compress("new", CompressionFormat::kGzip));
  Put(dir / "notes", "keep me");
  RestoreObserver observer;
  auto report = RestoreCompressedFiles(dir.Path().string(), observer);
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(Slurp(dir / "notes"), "keep me");
  EXPECT_EQ(Slurp(dir / "notes (1)"), "new");
}

TEST(Restore, DamagedArchivesAreReportedAndLeftAsTheyWere) {
  testing::TempDir dir;
  const std::string data = Sample();
  std::string flipped = Compress(data, CompressionFormat::kGzip);
  flipped[flipped.size() / 2] = static_cast<char>(flipped[flipped.size() / 2] ^ 0x55);
  std::string truncated = Compress(data, CompressionFormat::kXz);
  truncated.resize(truncated.size() / 2);
  std::string badBzip = Compress(data, CompressionFormat::kBzip2);
  badBzip[badBzip.size() / 2] = static_cast<char>(badBzip[badBzip.size() / 2] ^ 0x01);
  std::string badTrailer = Compress(data, CompressionFormat::kGzip);
  badTrailer[badTrailer.size() - 6] = static_cast<char>(badTrailer[badTrailer.size() - 6] ^ 1);
  Put(dir / "flipped.gz", flipped);
  Put(dir / "truncated.xz", truncated);
  Put(dir / "bad.bz2", badBzip);
  Put(dir / "trailer.gz", badTrailer);
  RestoreObserver observer;
  auto report = RestoreCompressedFiles(dir.Path().string(), observer);
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(Slurp(dir / "flipped.gz"), flipped);
  EXPECT_EQ(Slurp(dir / "truncated.xz"), truncated);
  EXPECT_EQ(Slurp(dir / "bad.bz2"), badBzip);
  EXPECT_EQ(Slurp(dir / "trailer.gz"), badTrailer);
  std::vector<std::string> left;
  for (const auto& item : fs::directory_iterator(dir.Path())) {
    left.push_back(item.path().filename().string());
  }
  EXPECT_THAT(
      left, ::testing::UnorderedElementsAre("flipped.gz", "truncated.xz", "bad.bz2", "trailer.gz"));
  EXPECT_EQ(report->summary.damaged, 4u);
  for (const RestoreEntry& entry : report->entries) {
    EXPECT_EQ(entry.status, RestoreStatus::kDamaged) << entry.path;
  }
}

TEST(Restore, LinksAreNeverFollowed) {
  testing::TempDir outside;
  testing::TempDir dir;
  Put(outside / "secret.gz", Compress("secret", CompressionFormat::kGzip));
  fs::create_symlink(outside / "secret.gz", dir / "link.gz");
  fs::create_directory_symlink(outside.Path(), dir / "linkdir");
  RestoreObserver observer;
  auto report = RestoreCompressedFiles(dir.Path().string(), observer);
  ASSERT_TRUE(report.has_value());
  EXPECT_TRUE(fs::exists(outside / "secret.gz"));
  EXPECT_FALSE(fs::exists(outside / "secret"));
  EXPECT_EQ(report->summary.filesExamined, 0u);
}

std::vector<std::string> NamesIn(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& item : fs::directory_iterator(folder)) {
    names.push_back(item.path().filename().string());
  }
  return names;
}

const RestoreEntry* EntryFor(const RestoreReport& report, std::string_view path) {
  for (const RestoreEntry& entry : report.entries) {
    if (entry.path == path) return &entry;
  }
  return nullptr;
}

TEST(Restore, CompressDataIsRestoredBesideAnOriginalThatStays) {
  testing::TempDir dir;
  const std::string data = Sample();
  std::string truncated = Compress(data, CompressionFormat::kCompress);
  truncated.resize(truncated.size() / 3);
  // An ordinary file that happens to start like compress data.
  std::string lookalike = "\x1f\x9d\x90";
  for (int i = 0; i < 4000; ++i) lookalike += static_cast<char>((i * 7919) >> 3);
  const std::string notCompress = std::string("\x1f\x9d", 2) + "plain text after two odd bytes";
  Put(dir / "short.Z", truncated);
  Put(dir / "lookalike", lookalike);
  Put(dir / "other", notCompress);
  RestoreObserver observer;
  auto report = RestoreCompressedFiles(dir.Path().string(), observer);
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(Slurp(dir / "short.Z"), truncated);
  EXPECT_EQ(Slurp(dir / "lookalike"), lookalike);
  EXPECT_EQ(Slurp(dir / "other"), notCompress);
  const RestoreEntry* entry = EntryFor(*report, "short.Z");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->status, RestoreStatus::kUnverified);
  EXPECT_EQ(entry->restoredPath, "short");
  EXPECT_TRUE(data.starts_with(Slurp(dir / "short")));
  EXPECT_EQ(EntryFor(*report, "other"), nullptr);  // not taken for compress data
  EXPECT_EQ(report->summary.restored, 0u);
}

TEST(Restore, NestedMultiMemberAndPaddedFilesRestore) {
  testing::TempDir dir;
  const std::string data = Sample();
  const std::string gz = Compress(data, CompressionFormat::kGzip);
  Put(dir / "x.gz.Z", Compress(gz, CompressionFormat::kCompress));
  Put(dir / "y.gz.bz2", Compress(gz, CompressionFormat::kBzip2));
  Put(dir / "nested.gz.gz", Compress(gz, CompressionFormat::kGzip));
  Put(dir / "multi.gz", Compress("first part\n", CompressionFormat::kGzip) +
                            Compress("second part\n", CompressionFormat::kGzip));
  Put(dir / "pair.bz2",
      Compress("one\n", CompressionFormat::kBzip2) + Compress("two\n", CompressionFormat::kBzip2));
  Put(dir / "padded.gz", gz + std::string(512, '\0'));
  Put(dir / "tail.gz", gz + "not gzip");
  RestoreObserver observer;
  auto report = RestoreCompressedFiles(dir.Path().string(), observer);
  ASSERT_TRUE(report.has_value());
  for (const char* name : {"x", "y", "nested", "padded", "tail"}) {
    EXPECT_EQ(Slurp(dir / name), data) << name;
  }
  EXPECT_EQ(Slurp(dir / "multi"), "first part\nsecond part\n");
  EXPECT_EQ(Slurp(dir / "pair"), "one\ntwo\n");
  EXPECT_THAT(NamesIn(dir.Path()),
              ::testing::UnorderedElementsAre("x.gz.Z", "x", "y", "nested", "multi", "pair",
                                              "padded", "tail.gz", "tail"));
  EXPECT_EQ(report->summary.damaged, 0u);
  EXPECT_EQ(report->summary.failed, 0u);
  ASSERT_NE(EntryFor(*report, "tail.gz"), nullptr);
  EXPECT_EQ(EntryFor(*report, "tail.gz")->status, RestoreStatus::kUnverified);
  EXPECT_THAT(EntryFor(*report, "tail.gz")->note, ::testing::HasSubstr("8 bytes after"));
}

TEST(Restore, ExpansionEndsAtTheCapAndKeepsTheOriginal) {
  testing::TempDir dir;
  const std::string bomb = Compress(std::string(8 << 20, '\0'), CompressionFormat::kXz);
  Put(dir / "bomb.xz", bomb);
  RestoreObserver observer;
  RestoreLimits limits;
  limits.ratio = 100;
  limits.minimumCap = 1 << 20;
  auto report = RestoreCompressedFiles(dir.Path().string(), observer, {}, limits);
  ASSERT_TRUE(report.has_value());
  EXPECT_THAT(NamesIn(dir.Path()), ::testing::ElementsAre("bomb.xz"));
  ASSERT_EQ(report->entries.size(), 1u);
  EXPECT_EQ(report->entries[0].status, RestoreStatus::kFailed);
  EXPECT_THAT(report->entries[0].note, ::testing::HasSubstr("expands to more than"));
  EXPECT_EQ(report->summary.failed, 1u);
}

// An observer that requests a stop as soon as a file's restore begins.
class StopWhenRestoring final : public RestoreObserver {
 public:
  explicit StopWhenRestoring(StopFlag& stop) : stop_(stop) {}
  void FileStarted(std::string_view) override { stop_.RequestStop(); }

 private:
  StopFlag& stop_;
};

TEST(Restore, AStopWhileAFileIsDecodedEndsItAndSaysSo) {
  testing::TempDir dir;
  std::string big;
  while (big.size() < (1 << 20)) big += Sample();
  const std::string packed = Compress(big, CompressionFormat::kBzip2);
  Put(dir / "big.bz2", packed);
  StopFlag stop;
  StopWhenRestoring observer(stop);
  auto report = RestoreCompressedFiles(dir.Path().string(), observer, StopToken(stop));
  ASSERT_TRUE(report.has_value());
  EXPECT_THAT(NamesIn(dir.Path()), ::testing::ElementsAre("big.bz2"));
  EXPECT_TRUE(report->summary.stopped);
  ASSERT_EQ(report->entries.size(), 1u);
  EXPECT_EQ(report->entries[0].status, RestoreStatus::kStopped);
  EXPECT_THAT(RestoreSummaryLine(report->summary), ::testing::HasSubstr("stopped"));
}

TEST(Restore, LeftoversOfAnInterruptedRunAreRemovedAndNamed) {
  testing::TempDir dir;
  // No process can have this number (the kernel's limit is 2^22).
  Put(dir / "sub/.tolvar%partial-4194305", "half a file");
  Put(dir / "sub/.tolvar%partial-4194305-3", "another half");
  // A recovered file may have the form of an older temporary name: kept.
  Put(dir / "sub/.tolvar-partial-4194305", "a recovered file");
  const std::string running = ".tolvar%partial-" + std::to_string(::getpid());
  Put(dir / running, "being written now");
  RestoreObserver observer;
  auto report = RestoreCompressedFiles(dir.Path().string(), observer);
  ASSERT_TRUE(report.has_value());
  EXPECT_THAT(report->leftoversRemoved,
              ::testing::UnorderedElementsAre("sub/.tolvar%partial-4194305",
                                              "sub/.tolvar%partial-4194305-3"));
  EXPECT_THAT(NamesIn(dir / "sub"), ::testing::ElementsAre(".tolvar-partial-4194305"));
  EXPECT_TRUE(fs::exists(dir / running));
}

}  // namespace
}  // namespace tolvar
