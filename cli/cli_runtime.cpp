#include "cli/cli_runtime.hpp"

#include <fmt/format.h>

#include "cli/terminal_text.hpp"

namespace tolvar::cli {

void CliRuntime::Say(std::string_view text) const {
  lastSaid = std::string(text);
  fmt::print(err, "tolvar: {}\n", TerminalSafe(text));
  std::fflush(err);
}

void CliRuntime::Fail(std::string_view text, int status) {
  Say(text);
  exitCode = status;
}

}  // namespace tolvar::cli
