#include "app/wizard_steps.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/wizard_texts.hpp"
#include "tests/fs/tiny_volume.hpp"

namespace tolvar {
namespace {

using ::testing::ElementsAre;
using testing::MountRig;
using testing::TinyVolume;

// EAFS: root (inode 2) at block 40 lists docs (inode 3, block 41) and a
// file; docs lists a file and a link back to the root.
TinyVolume SmallEafs() {
  TinyVolume v(FsType::kEafs, 200);
  v.Dir(2, {40}).EafsDir(40, 2, 2, {{3, "docs"}, {4, "readme"}, {0, "deleted"}});
  v.Dir(3, {41}).EafsDir(41, 3, 2, {{5, "a.txt"}, {2, "root"}, {3, "self"}});
  v.File(4, 11, TinyVolume::kTime, 60).File(5, 22, TinyVolume::kTime, 61);
  return v;
}

TEST(NormalMountTest, WorkerReportsItsStepsInOrder) {
  auto v = SmallEafs();
  MountRig rig(v.Bytes(), v.Info());
  ASSERT_TRUE(rig.Mount(RecoveryMode::kNormal));
  std::vector<std::string> statuses;
  for (const auto& e : rig.feedback.EventsOf("SetStatusText")) statuses.push_back(e.text);
  EXPECT_THAT(statuses, ElementsAre(std::string(kMountingStatus), std::string(kTreeStatus)));
  const auto modes = rig.feedback.EventsOf("SetPanelMode");
  ASSERT_EQ(modes.size(), 2U);
  EXPECT_EQ(modes[0].text, "2");
  EXPECT_EQ(modes[1].text, "-1");
  EXPECT_EQ(rig.feedback.QuickHelp(), kBrowseHelp);
  EXPECT_EQ(rig.feedback.EventsOf("SetQuickHelp")[0].text, kMountingHelp);
  EXPECT_EQ(rig.feedback.EventsOf("SetRowValue")[0].text, std::string(kCurrentSectorLabel) + "=80");
}

TEST(ExtensiveMountTest, StatusTextsFollowThePhases) {
  TinyVolume v(FsType::kEafs, 200);
  v.Dir(3, {41}).EafsDir(41, 3, 9, {});
  MountRig rig(v.Bytes(), v.Info());
  ASSERT_TRUE(rig.Mount(RecoveryMode::kExtensive));
  std::vector<std::string> statuses;
  for (const auto& e : rig.feedback.EventsOf("SetStatusText")) statuses.push_back(e.text);
  EXPECT_THAT(statuses, ElementsAre(std::string(kMountingStatus), std::string(kFinalizingStatus),
                                    std::string(kLostDataStatus), std::string(kTreeStatus)));
  // The last name shown is the placeholder made for the missing parent.
  std::string lastName;
  for (const auto& e : rig.feedback.EventsOf("SetRowValue")) {
    if (e.text.starts_with(kLastEntryLabel)) lastName = e.text.substr(kLastEntryLabel.size() + 1);
  }
  EXPECT_EQ(lastName, "Dir9");
  EXPECT_EQ(rig.state.step, 1);
}

}  // namespace
}  // namespace tolvar
