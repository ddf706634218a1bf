#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tolvar {

// The two texts a time stamp is shown as: "07-Dec-2006" and "09:05:00" in the
// host's local time zone, or "Error" for both when the stamp is 0 or below.
struct TimestampText {
  std::string date;
  std::string time;
};

[[nodiscard]] TimestampText FormatTimestamp(std::uint32_t timestamp);

// The three-letter name of month 1 to 12, "Err" for anything else.
[[nodiscard]] std::string_view MonthName(int month);

// Whether an entry with this stamp can be shown: its texts are not "Error".
[[nodiscard]] constexpr bool IsShowableTimestamp(std::uint32_t timestamp) {
  return static_cast<std::int32_t>(timestamp) > 0;
}

}  // namespace tolvar
