#include "recovery/settings_rules.hpp"

#include <gtest/gtest.h>

namespace tolvar {
namespace {

TEST(SettingsDialog, FreshStartShows60And3AndSkip) {
  const RecoverySettings settings = RecoverySettings::DefaultsFor(DiskRoute::kNtFamily);
  const SettingsDialogView view = StartSettingsDialog(settings);
  EXPECT_EQ(SectorsPerReadItems().at(static_cast<std::size_t>(view.sectorsItem)), "60");
  EXPECT_EQ(RetryItems().at(static_cast<std::size_t>(view.retriesItem)), "3");
  EXPECT_EQ(view.duplicateRadios, (std::array<bool, 3>{false, false, true}));
  EXPECT_EQ(view.deletedRadios, (std::array<bool, 3>{true, false, false}));
  EXPECT_EQ(DuplicatePolicyLabel(settings.duplicatePolicy), "Skip duplicate file(s)");
  EXPECT_EQ(StartSettingsDialog(RecoverySettings::DefaultsFor(DiskRoute::kLegacyBios)).sectorsItem,
            7);
}

TEST(SettingsDialog, ListsHoldOneToHundredAndOneToTen) {
  const auto sectors = SectorsPerReadItems();
  ASSERT_EQ(sectors.size(), 100u);
  EXPECT_EQ(sectors.front(), "1");
  EXPECT_EQ(sectors.back(), "100");
  const auto retries = RetryItems();
  ASSERT_EQ(retries.size(), 10u);
  EXPECT_EQ(retries.back(), "10");
}

TEST(SettingsDialog, OkStoresSelectionsAndTheLastCheckedRadioWins) {
  RecoverySettings settings;
  SettingsDialogView view = StartSettingsDialog(settings);
  view.sectorsItem = 99;  // "100"
  view.retriesItem = 0;   // "1"
  view.duplicateRadios = {true, true, false};
  ApplySettingsDialogOk(view, settings);
  EXPECT_EQ(settings.sectorsPerRead, 100u);
  EXPECT_EQ(settings.badSectorRetries, 1u);
  EXPECT_EQ(settings.duplicatePolicy, DuplicatePolicy::kOverwrite);

  view.duplicateRadios = {false, false, false};  // none checked: the field keeps its value
  view.deletedRadios = {false, false, false};
  ApplySettingsDialogOk(view, settings);
  EXPECT_EQ(settings.duplicatePolicy, DuplicatePolicy::kOverwrite);
  EXPECT_EQ(settings.deletedPolicy, DeletedPolicy::kInclude);
}

TEST(SettingsDialog, CancelChangesNothing) {
  RecoverySettings settings;
  SettingsDialogView view = StartSettingsDialog(settings);
  view.sectorsItem = 4;
  view.retriesItem = 8;
  CancelSettingsDialog(view, settings);
  EXPECT_EQ(settings.sectorsPerRead, 60u);
  EXPECT_EQ(settings.badSectorRetries, 3u);
}

TEST(SettingsDialog, OutOfRangeValuesNeverReachTheRecord) {
  RecoverySettings settings;
  settings.sectorsPerRead = 0;
  settings.badSectorRetries = 50;
  settings.duplicatePolicy = static_cast<DuplicatePolicy>(9);
  const SettingsDialogView view = StartSettingsDialog(settings);
  EXPECT_EQ(view.sectorsItem, -1);
  EXPECT_EQ(view.retriesItem, -1);
  EXPECT_EQ(view.duplicateRadios, (std::array<bool, 3>{}));
  // OK with nothing selected keeps the fields, but brought into range.
  ApplySettingsDialogOk(view, settings);
  EXPECT_EQ(settings.sectorsPerRead, 1u);
  EXPECT_EQ(settings.badSectorRetries, 10u);
  EXPECT_EQ(settings.duplicatePolicy, DuplicatePolicy::kSkip);
}

TEST(SettingsDialog, CommandLineValuesAreChecked) {
  EXPECT_EQ(CheckSectorsPerRead(100).value(), 100u);
  EXPECT_FALSE(CheckSectorsPerRead(0).has_value());
  EXPECT_FALSE(CheckSectorsPerRead(101).has_value());
  EXPECT_EQ(CheckRetries(1).value(), 1u);
  EXPECT_FALSE(CheckRetries(11).has_value());
  EXPECT_FALSE(CheckRetries(-1).has_value());
}

}  // namespace
}  // namespace tolvar
