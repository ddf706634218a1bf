#include "recovery/report_entries.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

namespace tolvar {
namespace {

// Entries that use every field, with texts and numbers of every length
// (a time before 1970 and the largest numbers among them).
std::vector<ReportEntry> SampleEntries(std::size_t count) {
  std::vector<ReportEntry> entries;
  for (std::size_t i = 0; i < count; ++i) {
    ReportEntry entry;
    entry.path = fmt::format("folder {}/{}", i % 7, std::string(i % 300, 'n'));
    entry.rawPath = {"folder", std::string("\xff\x00name", 6), fmt::format("{}", i)};
    entry.type = static_cast<EntryType>(i % 7);
    entry.status = static_cast<EntryStatus>(i % 4);
    entry.inode = static_cast<std::uint32_t>(i * 977);
    entry.size = i % 5 == 0 ? std::numeric_limits<std::uint64_t>::max() : i * 4096;
    entry.bytesWritten = i * 512;
    if (i % 3 == 0) entry.unreadable = {{i, 2}, {std::uint64_t{1} << 40, 1}};
    entry.blocksOutsideVolume = i % 11;
    entry.byError = i % 2 == 0;
    entry.timeUnreadable = i % 5 == 1;
    entry.note = i % 4 == 0 ? "a note \"quoted\"\nover two lines" : "";
    if (i % 2 == 1) {
      entry.facts = InodeFacts{static_cast<std::uint16_t>(0x81a4 + i), 65535,      7, 2,
                               -static_cast<std::int64_t>(i) - 1,      2147483647, 0};
    }
    if (i % 6 != 5) {
      entry.sha256 = std::string(64, static_cast<char>('a' + i % 6));
      entry.md5 = std::string(32, '0');
    }
    entries.push_back(entry);
  }
  return entries;
}

void ExpectSame(const ReportEntry& got, const ReportEntry& want) {
  EXPECT_EQ(got.path, want.path);
  EXPECT_EQ(got.rawPath, want.rawPath);
  EXPECT_EQ(got.type, want.type);
  EXPECT_EQ(got.status, want.status);
  EXPECT_EQ(got.inode, want.inode);
  EXPECT_EQ(got.size, want.size);
  EXPECT_EQ(got.bytesWritten, want.bytesWritten);
  ASSERT_EQ(got.unreadable.size(), want.unreadable.size());
  for (std::size_t i = 0; i < got.unreadable.size(); ++i) {
    EXPECT_EQ(got.unreadable[i].first, want.unreadable[i].first);
    EXPECT_EQ(got.unreadable[i].count, want.unreadable[i].count);
  }
  EXPECT_EQ(got.blocksOutsideVolume, want.blocksOutsideVolume);
  EXPECT_EQ(got.byError, want.byError);
  EXPECT_EQ(got.timeUnreadable, want.timeUnreadable);
  EXPECT_EQ(got.note, want.note);
  ASSERT_EQ(got.facts.has_value(), want.facts.has_value());
  if (got.facts) {
    EXPECT_EQ(got.facts->mode, want.facts->mode);
    EXPECT_EQ(got.facts->uid, want.facts->uid);
    EXPECT_EQ(got.facts->gid, want.facts->gid);
    EXPECT_EQ(got.facts->nlink, want.facts->nlink);
    EXPECT_EQ(got.facts->atime, want.facts->atime);
    EXPECT_EQ(got.facts->mtime, want.facts->mtime);
    EXPECT_EQ(got.facts->ctime, want.facts->ctime);
  }
  EXPECT_EQ(got.sha256, want.sha256);
  EXPECT_EQ(got.md5, want.md5);
}

void ExpectHolds(const ReportEntries& entries, const std::vector<ReportEntry>& want) {
  ASSERT_EQ(entries.size(), want.size());
  std::size_t i = 0;
  for (const ReportEntry& entry : entries) {
    SCOPED_TRACE(i);
    ExpectSame(entry, want[i++]);
  }
  // Out of order too, as a folder's entry is looked up again.
  for (std::size_t j = want.size(); j-- > 0;) {
    SCOPED_TRACE(j);
    ExpectSame(entries[j], want[j]);
  }
}

// Kept in memory, spilled after every few entries, and with no temporary
// folder to spill to: every way, the entries read back as they were given,
// in order and one by one, and so do an amended entry, a copy and a move.
TEST(ReportEntries, ReadBackExactlyWhereverTheyAreKept) {
  struct Case {
    const char* name;
    std::size_t memoryBytes;
    const char* tmpdir;
    bool spilled;
  };
  const Case cases[] = {
      {"in memory", ReportEntries::kDefaultMemoryBytes, nullptr, false},
      {"spilled often", 700, nullptr, true},
      {"nowhere to spill", 700, "/nonexistent-folder-for-tolvar-tests", false},
  };
  const char* saved = std::getenv("TMPDIR");
  const std::string savedTmpdir = saved != nullptr ? saved : "";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.tmpdir != nullptr) ::setenv("TMPDIR", c.tmpdir, 1);
    std::vector<ReportEntry> want = SampleEntries(2000);
    ReportEntries entries(c.memoryBytes);
    for (const ReportEntry& entry : want) entries.push_back(entry);
    if (saved != nullptr) {
      ::setenv("TMPDIR", savedTmpdir.c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
    EXPECT_EQ(entries.Spilled(), c.spilled);
    ExpectHolds(entries, want);

    entries.Amend(3, [](ReportEntry& entry) { entry.status = EntryStatus::kStopped; });
    want[3].status = EntryStatus::kStopped;
    ExpectSame(entries[3], want[3]);

    const ReportEntries copy = entries;
    ExpectHolds(copy, want);
    const ReportEntries moved = std::move(entries);
    ExpectHolds(moved, want);
    EXPECT_TRUE(entries.empty());  // NOLINT(bugprone-use-after-move): moved from is empty
  }
}

}  // namespace
}  // namespace tolvar
