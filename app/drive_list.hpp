#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/feedback.hpp"
#include "app/wizard_state.hpp"
#include "disk/drive_table.hpp"

namespace tolvar {

// "Storage Device" followed directly by the drive index: "Storage Device0".
[[nodiscard]] std::string DriveItemText(unsigned index);

// The drive index an item stands for: the decimal number after the prefix.
// Nothing for the root, an empty text, or a text that is not a drive item.
[[nodiscard]] std::optional<std::uint16_t> DriveIndexFromItemText(std::string_view text);

// The five rows of the disk step's information panel for `drive`: model,
// capacity, cylinders, heads, sectors per track, under the labels of panel
// mode 0.
// The End Sector the range fields start with: the drive's capacity, or the
// last sector the 32-bit fields can name on a disk past 2^32 sectors (its
// partition tables are still read in full).
[[nodiscard]] std::uint32_t DefaultRangeEnd(const DriveInfo& drive);

[[nodiscard]] std::vector<PanelRow> DrivePanelRows(const DriveInfo& drive);

// A click on the item `itemText` of the disk tree, on the disk step: makes
// the drive current, resets the search range to the whole drive and fills
// the panel. Returns whether a drive was chosen (the caller then shows Next);
// the root, an empty or unknown text, a drive that is not listed, or any
// step but the disk step change nothing.
bool SelectDrive(DriveTable& drives, WizardState& state, Feedback& feedback,
                 std::string_view itemText);

}  // namespace tolvar
