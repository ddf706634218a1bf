#include "fs/timestamp.hpp"

#include <fmt/format.h>

#include <array>
#include <ctime>

namespace tolvar {

std::string_view MonthName(int month) {
  static constexpr std::array<std::string_view, 12> kMonths = {
      "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (month < 1 || month > 12) return "Err";
  return kMonths[static_cast<std::size_t>(month - 1)];
}

TimestampText FormatTimestamp(std::uint32_t timestamp) {
  if (!IsShowableTimestamp(timestamp)) return {"Error", "Error"};
  const std::time_t seconds = static_cast<std::int32_t>(timestamp);
  std::tm local{};
  if (localtime_r(&seconds, &local) == nullptr) return {"Error", "Error"};
  return {fmt::format("{:02}-{}-{:04}", local.tm_mday, MonthName(local.tm_mon + 1),
                      local.tm_year + 1900),
          fmt::format("{:02}:{:02}:{:02}", local.tm_hour, local.tm_min, local.tm_sec)};
}

}  // namespace tolvar
