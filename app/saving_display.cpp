#include "app/saving_display.hpp"

#include <fmt/format.h>

namespace tolvar {

void SavingDisplayObserver::EntryStarted(std::string_view hostFolder, std::string_view name,
                                         std::uint64_t number, std::uint64_t total) {
  display_.SetPath(hostFolder);
  display_.SetFileName(name);
  display_.SetCount(fmt::format("{} of {}", number, total));
}

}  // namespace tolvar
