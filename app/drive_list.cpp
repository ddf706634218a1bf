#include "app/drive_list.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <limits>
#include <system_error>

namespace tolvar {

std::string DriveItemText(unsigned index) { return fmt::format("{}{}", kDriveItemPrefix, index); }

std::optional<std::uint16_t> DriveIndexFromItemText(std::string_view text) {
  if (text.empty() || text == kDiskTreeRootText || !text.starts_with(kDriveItemPrefix)) {
    return std::nullopt;
  }
  const std::string_view digits = text.substr(kDriveItemPrefix.size());
  std::uint16_t index = 0;
  const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), index);
  if (digits.empty() || ec != std::errc{} || ptr != digits.data() + digits.size()) {
    return std::nullopt;
  }
  return index;
}

std::uint32_t DefaultRangeEnd(const DriveInfo& drive) {
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(drive.totalSectors, std::numeric_limits<std::uint32_t>::max()));
}

std::vector<PanelRow> DrivePanelRows(const DriveInfo& drive) {
  std::vector<PanelRow> rows = DescribePanelMode(PanelMode::kDrive).rows;
  const std::string values[] = {drive.model, MegabytesText(drive.totalSectors),
                                fmt::format("{}", drive.cylinders), fmt::format("{}", drive.heads),
                                fmt::format("{}", drive.sectorsPerTrack)};
  for (std::size_t i = 0; i < rows.size() && i < std::size(values); ++i) rows[i].value = values[i];
  return rows;
}

bool SelectDrive(DriveTable& drives, WizardState& state, Feedback& feedback,
                 std::string_view itemText) {
  if (state.step != WizardStep::kDisk) return false;
  const auto index = DriveIndexFromItemText(itemText);
  // Only listed drives have items; anything else is not a drive of this table.
  if (!index || *index >= drives.listedCount) return false;
  drives.currentDrive = *index;
  const DriveInfo& drive = drives.Current();
  state.rangeStart = 0;
  state.rangeEnd = DefaultRangeEnd(drive);
  for (const auto& row : DrivePanelRows(drive)) feedback.SetRowValue(row.label, row.value);
  return true;
}

}  // namespace tolvar
