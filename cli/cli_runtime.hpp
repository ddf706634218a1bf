#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace tolvar::cli {

// Exit statuses of every command.
inline constexpr int kExitOk = 0;       // the command found what it was asked for
inline constexpr int kExitNothing = 1;  // it ran, and found nothing
inline constexpr int kExitUsage = 2;    // bad arguments or unusable input

// What the commands share while one `tolvar` process runs. A command's
// callback stores its status in `exitCode`; `main` returns it.
struct CliRuntime {
  std::FILE* out = stdout;
  std::FILE* err = stderr;
  bool stderrIsTerminal = false;
  int exitCode = kExitOk;
  // The command line as typed, quoted for a shell where needed (reports).
  std::string commandLine;
  // Set once a command has written its JSON document on `out`.
  mutable bool printedJson = false;
  // The last line said on stderr, for the JSON error object of a failed
  // command run with --json.
  mutable std::string lastSaid;

  // One line on stderr, "tolvar: <text>", made safe for the terminal.
  void Say(std::string_view text) const;
  // Says `text` and sets the usage status.
  void Fail(std::string_view text, int status = kExitUsage);
};

}  // namespace tolvar::cli
