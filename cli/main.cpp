#include <unistd.h>

#include <CLI/CLI.hpp>
#include <exception>

#include "cli/cli_runtime.hpp"
#include "cli/commands.hpp"
#include "packaging/project_info.hpp"

int main(int argc, char** argv) {
  using namespace tolvar::cli;
  CliRuntime runtime;
  runtime.stderrIsTerminal = ::isatty(STDERR_FILENO) == 1;

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

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // Help and version print and succeed; every other parse error is a
    // usage error.
    const int status = app.exit(e);
    return e.get_exit_code() == 0 ? status : kExitUsage;
  } catch (const std::exception& e) {
    runtime.Say(std::string("internal error: ") + e.what());
    return kExitUsage;
  }
  return runtime.exitCode;
}
