#include "recovery/settings_rules.hpp"

#include <fmt/format.h>

#include <algorithm>

namespace tolvar {

std::string_view DuplicatePolicyLabel(DuplicatePolicy policy) {
  switch (policy) {
    case DuplicatePolicy::kRename:
      return "Rename duplicate file(s)";
    case DuplicatePolicy::kOverwrite:
      return "Overwrite duplicate file(s)";
    case DuplicatePolicy::kSkip:
      return "Skip duplicate file(s)";
  }
  return "";
}

std::string_view DeletedPolicyLabel(DeletedPolicy policy) {
  switch (policy) {
    case DeletedPolicy::kInclude:
      return "Include deleted file(s)";
    case DeletedPolicy::kOnlyDeleted:
      return "Recover only deleted file(s)";
    case DeletedPolicy::kExclude:
      return "Exclude deleted file(s)";
  }
  return "";
}

namespace {

std::vector<std::string> NumberItems(unsigned last) {
  std::vector<std::string> items;
  items.reserve(last);
  for (unsigned i = 1; i <= last; ++i) items.push_back(fmt::format("{}", i));
  return items;
}

template <typename Policy>
std::array<bool, 3> RadiosFor(Policy policy) {
  std::array<bool, 3> radios{};
  const auto value = static_cast<unsigned>(policy);
  if (value >= 1 && value <= 3) radios[value - 1] = true;
  return radios;
}

template <typename Policy>
Policy PolicyFromRadios(const std::array<bool, 3>& radios, Policy current) {
  Policy chosen = current;
  for (unsigned i = 0; i < radios.size(); ++i) {
    if (radios[i]) chosen = static_cast<Policy>(i + 1);
  }
  return chosen;
}

int ItemFor(unsigned value, unsigned count) {
  return value >= 1 && value <= count ? static_cast<int>(value) - 1 : -1;
}

}  // namespace

std::vector<std::string> SectorsPerReadItems() {
  return NumberItems(RecoverySettings::kMaxSectorsPerRead);
}

std::vector<std::string> RetryItems() { return NumberItems(RecoverySettings::kMaxRetries); }

SettingsDialogView StartSettingsDialog(const RecoverySettings& settings) {
  SettingsDialogView view;
  view.sectorsItem = ItemFor(settings.sectorsPerRead, RecoverySettings::kMaxSectorsPerRead);
  view.retriesItem = ItemFor(settings.badSectorRetries, RecoverySettings::kMaxRetries);
  view.duplicateRadios = RadiosFor(settings.duplicatePolicy);
  view.deletedRadios = RadiosFor(settings.deletedPolicy);
  return view;
}

void ApplySettingsDialogOk(const SettingsDialogView& view, RecoverySettings& settings) {
  if (view.sectorsItem >= 0 &&
      view.sectorsItem < static_cast<int>(RecoverySettings::kMaxSectorsPerRead)) {
    settings.sectorsPerRead = static_cast<std::uint32_t>(view.sectorsItem) + 1;
  }
  if (view.retriesItem >= 0 && view.retriesItem < RecoverySettings::kMaxRetries) {
    settings.badSectorRetries = static_cast<std::uint16_t>(view.retriesItem + 1);
  }
  settings.duplicatePolicy = PolicyFromRadios(view.duplicateRadios, settings.duplicatePolicy);
  settings.deletedPolicy = PolicyFromRadios(view.deletedRadios, settings.deletedPolicy);
  settings = ClampSettings(settings);
}

RecoverySettings ClampSettings(RecoverySettings settings) {
  settings.sectorsPerRead =
      std::clamp(settings.sectorsPerRead, kMinSectorsPerRead, RecoverySettings::kMaxSectorsPerRead);
  settings.badSectorRetries =
      std::clamp(settings.badSectorRetries, kMinRetries, RecoverySettings::kMaxRetries);
  const auto duplicate = static_cast<unsigned>(settings.duplicatePolicy);
  if (duplicate < 1 || duplicate > 3) settings.duplicatePolicy = DuplicatePolicy::kSkip;
  const auto deleted = static_cast<unsigned>(settings.deletedPolicy);
  if (deleted < 1 || deleted > 3) settings.deletedPolicy = DeletedPolicy::kInclude;
  return settings;
}

std::expected<std::uint32_t, Error> CheckSectorsPerRead(long long value) {
  if (value < kMinSectorsPerRead || value > RecoverySettings::kMaxSectorsPerRead) {
    return std::unexpected(Error{ErrorCode::kInvalidArgument,
                                 fmt::format("sectors per read must be 1 to {}, not {}",
                                             RecoverySettings::kMaxSectorsPerRead, value),
                                 std::nullopt});
  }
  return static_cast<std::uint32_t>(value);
}

std::expected<std::uint16_t, Error> CheckRetries(long long value) {
  if (value < kMinRetries || value > RecoverySettings::kMaxRetries) {
    return std::unexpected(
        Error{ErrorCode::kInvalidArgument,
              fmt::format("retries must be 1 to {}, not {}", RecoverySettings::kMaxRetries, value),
              std::nullopt});
  }
  return static_cast<std::uint16_t>(value);
}

}  // namespace tolvar
