#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "base/settings.hpp"

namespace tolvar {

inline constexpr std::string_view kSettingsDialogTitle = "Recovery Settings";
inline constexpr std::uint32_t kMinSectorsPerRead = 1;
inline constexpr std::uint16_t kMinRetries = 1;

// The labels of the policy radios; the label is what a value means.
[[nodiscard]] std::string_view DuplicatePolicyLabel(DuplicatePolicy policy);
[[nodiscard]] std::string_view DeletedPolicyLabel(DeletedPolicy policy);

// Items of the two drop-down lists: "1" to "100" and "1" to "10".
[[nodiscard]] std::vector<std::string> SectorsPerReadItems();
[[nodiscard]] std::vector<std::string> RetryItems();

// What the settings dialog shows: the selected item of each list (-1 for no
// selection) and which radio of each group is checked.
struct SettingsDialogView {
  int sectorsItem = -1;                   // list 1037; index = value - 1
  int retriesItem = -1;                   // list 1044; index = value - 1
  std::array<bool, 3> duplicateRadios{};  // 1038, 1039, 1040
  std::array<bool, 3> deletedRadios{};    // 1041, 1042, 1043; never shown
};

// Dialog start: lists select value - 1; the radio for a policy value 1 to 3
// is checked, any other value leaves its group unchecked.
[[nodiscard]] SettingsDialogView StartSettingsDialog(const RecoverySettings& settings);

// OK: stores the list selections and the checked radios. Radios are tested in
// their order, so when several are checked the last one wins; an unchecked
// group keeps its field. A list with no valid selection keeps its field,
// brought into range, so the record never holds 0 sectors or 0 retries.
void ApplySettingsDialogOk(const SettingsDialogView& view, RecoverySettings& settings);

// Cancel, Escape and the close box change nothing; stated for the window.
inline void CancelSettingsDialog(const SettingsDialogView& /*view*/,
                                 RecoverySettings& /*settings*/) {}

// Brings every field into its range (1 to 100, 1 to 10, policies 1 to 3 with
// the defaults for anything else).
[[nodiscard]] RecoverySettings ClampSettings(RecoverySettings settings);

// Checks values given from outside (command-line options).
[[nodiscard]] std::expected<std::uint32_t, Error> CheckSectorsPerRead(long long value);
[[nodiscard]] std::expected<std::uint16_t, Error> CheckRetries(long long value);

}  // namespace tolvar
