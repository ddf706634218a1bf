#include <unistd.h>

#include <CLI/CLI.hpp>
#include <exception>
#include <string>
#include <string_view>

#include "cli/cli_runtime.hpp"
#include "cli/commands.hpp"
#include "cli/output.hpp"
#include "packaging/project_info.hpp"

namespace {

// Whether the command line asks for JSON: a "--json" before any "--".
bool AsksForJson(int argc, char** argv) {
  for (int k = 1; k < argc; ++k) {
    const std::string_view arg = argv[k];
    if (arg == "--") return false;
    if (arg == "--json") return true;
  }
  return false;
}

// A command run with --json that fails without its document still leaves
// one JSON object on stdout, so a script reading stdout always gets JSON.
int FinishJson(const tolvar::cli::CliRuntime& runtime, int status, std::string_view message) {
  if (status != tolvar::cli::kExitOk && !runtime.printedJson) {
    tolvar::cli::PrintJson(runtime, {{"error", std::string(message)}, {"status", status}});
  }
  return status;
}

// The arguments as one line a POSIX shell reads back the same: words of
// plain characters as they are, others in single quotes.
std::string QuotedCommandLine(int argc, char** argv) {
  std::string line;
  for (int k = 0; k < argc; ++k) {
    const std::string_view arg = argv[k];
    if (k != 0) line += ' ';
    const bool plain = !arg.empty() && arg.find_first_not_of(
                                           "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                           "0123456789-_./=:,+@%") == std::string_view::npos;
    if (plain) {
      line += arg;
      continue;
    }
    line += '\'';
    for (const char c : arg) {
      if (c == '\'') {
        line += "'\\''";
      } else {
        line += c;
      }
    }
    line += '\'';
  }
  return line;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tolvar::cli;
  CliRuntime runtime;
  runtime.stderrIsTerminal = ::isatty(STDERR_FILENO) == 1;
  runtime.commandLine = QuotedCommandLine(argc, argv);

  CLI::App app{"Tolvar for SCO OpenServer: read-only recovery of HTFS and EAFS volumes", "tolvar"};
  app.set_version_flag("--version", "tolvar " + std::string(tolvar::project::kVersion));
  app.require_subcommand(1);
  RegisterDrivesCommand(app, runtime);
  RegisterScanCommand(app, runtime);
  RegisterLsCommand(app, runtime);
  RegisterTreeCommand(app, runtime);
  RegisterFindCommand(app, runtime);
  RegisterInfoCommand(app, runtime);
  RegisterRecoverCommand(app, runtime);
  RegisterRestoreCommand(app, runtime);
  RegisterMountCommand(app, runtime);
  RegisterTimelineCommand(app, runtime);

  const bool json = AsksForJson(argc, argv);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // Help and version print and succeed; every other parse error is a
    // usage error.
    const int status = app.exit(e);
    if (e.get_exit_code() == 0) return status;
    return json ? FinishJson(runtime, kExitUsage, e.what()) : kExitUsage;
  } catch (const std::exception& e) {
    runtime.Say(std::string("internal error: ") + e.what());
    return json ? FinishJson(runtime, kExitUsage, runtime.lastSaid) : kExitUsage;
  }
  return json ? FinishJson(runtime, runtime.exitCode, runtime.lastSaid) : runtime.exitCode;
}
