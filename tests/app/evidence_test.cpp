// What the window shows of a file beyond its row: the inode's words and the
// digests of a saved copy in Properties, the digests in the saving summary,
// and the warnings on volumes a mapfile leaves unrescued.

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/engine_runs.hpp"
#include "app/properties.hpp"
#include "app/saving_display.hpp"
#include "tests/app/volume_test_rig.hpp"
#include "tests/support/disk_builder.hpp"

namespace tolvar {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::vector<std::string> Rows(const std::vector<CaptionedValue>& fields) {
  std::vector<std::string> rows;
  for (const CaptionedValue& field : fields) {
    rows.push_back(std::string(field.caption) + "=" + field.value);
  }
  return rows;
}

TEST(EntryDetailFieldsTest, InodeWordsThenDigestsWhenKnown) {
  InodeFacts facts;
  facts.mode = 0104755;  // a set-user-id program
  facts.uid = 3;
  facts.gid = 65535;
  facts.nlink = 2;
  facts.atime = 0;
  facts.mtime = 1165482300;     // 2006-12-07T09:05:00Z
  facts.ctime = -2147483648LL;  // the stored word read as signed
  const FileDigests digests{std::string(64, 'a'), std::string(32, 'b')};

  EXPECT_THAT(Rows(EntryDetailFields(41, facts, &digests)),
              ElementsAre("Inode=41", "Mode=-rwsr-xr-x (104755)", "Owner (uid)=3",
                          "Group (gid)=65535", "Links=2", "Accessed=1970-01-01T00:00:00Z",
                          "Modified=2006-12-07T09:05:00Z", "Changed=1901-12-13T20:45:52Z",
                          "SHA-256=" + std::string(64, 'a'), "MD5=" + std::string(32, 'b')));
  // A folder, or a file not saved yet: no digests; an inode that did not
  // read: its words are not made up.
  EXPECT_THAT(Rows(EntryDetailFields(2, std::nullopt, nullptr)),
              ElementsAre("Inode=2", "Mode=not readable", "Owner (uid)=-", "Group (gid)=-",
                          "Links=-", "Accessed=-", "Modified=-", "Changed=-"));
  EXPECT_EQ(EntryDetailFields(2, std::nullopt, &digests, kReadingDetails)[1].value, "reading...");
  EXPECT_EQ(EntryDetailFields(2, std::nullopt, &digests).size(),
            EntryDetailFields(2, facts, &digests).size());
}

TEST(DigestSummaryTest, OneFileInlineManyInTheReportOrTheDetails) {
  WrittenFiles written;
  EXPECT_EQ(DigestSummaryText(written, true), "");
  written.Add("a/one.txt", 11, {"11aa", "11bb"});
  EXPECT_EQ(DigestSummaryText(written, true), "SHA-256: 11aa\nMD5: 11bb");
  written.Add("a/two.txt", 12, {"22aa", "22bb"});
  written.Add("three.txt", 13, {"33aa", "33bb"});
  EXPECT_EQ(DigestSummaryText(written, true),
            "The SHA-256 and MD5 of the 3 files written are in the report.");
  EXPECT_THAT(DigestSummaryText(written, false), HasSubstr("in the details"));
  EXPECT_THAT(DigestListText(written),
              ::testing::EndsWith("three.txt\n  SHA-256: 33aa\n  MD5: 33bb\n"));
  // Past the listed files only the count grows: the rest are in the report.
  for (std::size_t i = written.listed.size(); i < WrittenFiles::kListed + 2; ++i) {
    written.Add(fmt::format("f{}", i), static_cast<std::uint32_t>(i), {"aa", "bb"});
  }
  EXPECT_EQ(written.listed.size(), WrittenFiles::kListed);
  EXPECT_THAT(DigestListText(written),
              ::testing::EndsWith("... and 2 more files: see the report.\n"));
}

// Properties finds every saved file's digests, kept as bytes, exactly as
// they were written in hex; what is not hex of the full length is not kept.
TEST(SavedDigestsTest, KeepsEachVolumesDigestsPackedAndGivesThemBackInHex) {
  const FileDigests one{"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef",
                        "fedcba9876543210fedcba9876543210"};
  const FileDigests two{std::string(64, 'f'), std::string(32, '0')};
  WrittenFiles written;
  written.Add("one", 5, one);
  written.Add("two", 6, two);
  written.Add("odd", 7, {"11aa", "11bb"});
  SavedDigests saved;
  for (const auto& [inode, digests] : written.byInode) saved.Record("disk\n63", inode, digests);
  saved.Record("other\n63", 5, *PackedDigests::FromHex(two));
  ASSERT_TRUE(saved.Find("disk\n63", 5).has_value());
  EXPECT_EQ(saved.Find("disk\n63", 5)->sha256, one.sha256);
  EXPECT_EQ(saved.Find("disk\n63", 5)->md5, one.md5);
  EXPECT_EQ(saved.Find("disk\n63", 6)->sha256, two.sha256);
  EXPECT_EQ(saved.Find("other\n63", 5)->md5, two.md5);
  EXPECT_FALSE(saved.Find("disk\n63", 7).has_value());
  EXPECT_FALSE(saved.Find("disk\n2048", 5).has_value());
}

TEST(UnrescuedVolumeTest, TheSearchWarnsAsTheCommandLineDoesAndTheVolumeKeepsIt) {
  testing::VolumeRig rig;
  rig.Attach(testing::DiskBuilder(300).HtfsSuperblock(110, 64, 4).Take());
  // Everything rescued but the superblock's sector.
  auto map = std::make_shared<const RescueMap>(
      std::vector<ByteRange>{{0, 110 * 512}, {111 * 512, 300 * 512}}, 300 * 512);
  rig.session.rescueMaps[rig.drives.Current().devicePath] = {"disk.map", map};

  ASSERT_EQ(rig.Next(IdentifyOption::kSearchPartition, "100", "200"),
            testing::NextOutcome::kStartWorker);
  ASSERT_EQ(rig.volumes.volumeCount, 1u);
  const VolumeInfo& volume = rig.volumes.entries[0];
  const std::string line =
      "the mapfile marks the volume's superblock not rescued: it was read as zeros or from the "
      "unrescued bytes";
  EXPECT_THAT(volume.assumptions, ::testing::Contains(line));
  const std::string warning = "warning: volume 1 (" + volume.volumeName + "): " + line;
  EXPECT_THAT(engine::UnrescuedVolumeLines(rig.session), ElementsAre(warning));
  EXPECT_THAT(rig.Messages(), ::testing::Contains(warning));
  EXPECT_EQ(engine::CurrentRescueMap(rig.session)->mapfile, "disk.map");

  // Without a mapfile nothing is said.
  rig.session.rescueMaps.clear();
  const std::size_t before = rig.Messages().size();
  ASSERT_EQ(rig.Next(IdentifyOption::kSearchPartition, "100", "200"),
            testing::NextOutcome::kStartWorker);
  EXPECT_EQ(rig.Messages().size(), before);
  EXPECT_TRUE(engine::UnrescuedVolumeLines(rig.session).empty());
}

}  // namespace
}  // namespace tolvar
