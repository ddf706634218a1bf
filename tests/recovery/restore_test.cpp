#include "recovery/restore.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "app/dialog_steps.hpp"
#include "tests/support/recording_feedback.hpp"
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
  RecordingFeedback feedback;
  RestoreFeedback status(feedback);
  auto report = RestoreCompressedFiles(dir.Path().string(), status);
  if (report) ShowRestoreOutcome(feedback, *report);
  ASSERT_TRUE(report.has_value());
  for (const char* name : {"a", "sub/b", "sub/deeper/c", "d", "packed.restored"}) {
    EXPECT_EQ(Slurp(dir / name), data) << name;
  }
  EXPECT_TRUE(fs::exists(dir / "empty"));
  EXPECT_EQ(fs::file_size(dir / "empty"), 0u);
  for (const char* gone : {"a.Z", "sub/b.gz", "sub/deeper/c.bz2", "d.xz", "packed", "empty.gz"}) {
    EXPECT_FALSE(fs::exists(dir / gone)) << gone;
  }
  EXPECT_EQ(Slurp(dir / "fake.gz"), "not compressed at all");
  struct stat info {};
  ASSERT_EQ(::stat((dir / "sub/b").c_str(), &info), 0);
  EXPECT_EQ(info.st_mtim.tv_sec, 1300000000);
  EXPECT_EQ(report->summary.restored, 6u);
  EXPECT_EQ(report->summary.damaged, 0u);
  EXPECT_EQ(report->summary.filesExamined, 7u);
}

TEST(Restore, ARestoredNameThatIsTakenGetsANumber) {
  testing::TempDir dir;
  Put(dir / "notes.gz", Compress("new", CompressionFormat::kGzip));
  Put(dir / "notes", "keep me");
  RecordingFeedback feedback;
  RestoreFeedback status(feedback);
  auto report = RestoreCompressedFiles(dir.Path().string(), status);
  if (report) ShowRestoreOutcome(feedback, *report);
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
  RecordingFeedback feedback;
  RestoreFeedback status(feedback);
  auto report = RestoreCompressedFiles(dir.Path().string(), status);
  if (report) ShowRestoreOutcome(feedback, *report);
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
  RecordingFeedback feedback;
  RestoreFeedback status(feedback);
  auto report = RestoreCompressedFiles(dir.Path().string(), status);
  if (report) ShowRestoreOutcome(feedback, *report);
  ASSERT_TRUE(report.has_value());
  EXPECT_TRUE(fs::exists(outside / "secret.gz"));
  EXPECT_FALSE(fs::exists(outside / "secret"));
  EXPECT_EQ(report->summary.filesExamined, 0u);
}

TEST(RestoreDialog, NoRecordsTheDeclineAndAYesLaterStillStarts) {
  RecordingFeedback feedback;
  RestoreState state;
  feedback.QueueAnswer(Answer::kNo);
  EXPECT_EQ(StartRestoreDialog(feedback, state), RestoreStart::kDeclined);
  EXPECT_EQ(state.restoreDeclined.load(), 1);
  ASSERT_EQ(feedback.EventsOf("AskYesNo").size(), 1u);
  EXPECT_EQ(feedback.EventsOf("AskYesNo")[0].text, kRestoreQuestion);
  feedback.QueueAnswer(Answer::kYes);
  EXPECT_EQ(StartRestoreDialog(feedback, state), RestoreStart::kStartWorker);
}

TEST(RestoreDialog, TheWorkerAlwaysEndsAndSaysSo) {
  testing::TempDir dir;
  Put(dir / "x.gz", Compress("x", CompressionFormat::kGzip));
  RecordingFeedback feedback;
  for (const fs::path& folder : {dir.Path(), dir / "missing"}) {
    RestoreWorker worker;
    std::atomic<int> finishedCalls{0};
    RestoreFeedback status(feedback);
    worker.Start(folder.string(), status, [&] { ++finishedCalls; });
    worker.Join();
    EXPECT_TRUE(worker.Finished());
    EXPECT_EQ(finishedCalls.load(), 1);
    ASSERT_TRUE(worker.Result().has_value());
    EXPECT_EQ(worker.Result()->has_value(), folder == dir.Path());
  }
  EXPECT_EQ(Slurp(dir / "x"), "x");
}

}  // namespace
}  // namespace tolvar
