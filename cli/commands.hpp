#pragma once

#include <CLI/CLI.hpp>

#include "cli/cli_runtime.hpp"

namespace tolvar::cli {

// Each subcommand lives in its own cli/cmd_<name>.cpp and adds itself to the
// application here; main.cpp calls every one of them.
void RegisterDrivesCommand(CLI::App& app, CliRuntime& runtime);
void RegisterScanCommand(CLI::App& app, CliRuntime& runtime);
void RegisterLsCommand(CLI::App& app, CliRuntime& runtime);
void RegisterTreeCommand(CLI::App& app, CliRuntime& runtime);
void RegisterFindCommand(CLI::App& app, CliRuntime& runtime);
void RegisterInfoCommand(CLI::App& app, CliRuntime& runtime);
void RegisterRecoverCommand(CLI::App& app, CliRuntime& runtime);
void RegisterRestoreCommand(CLI::App& app, CliRuntime& runtime);
void RegisterMountCommand(CLI::App& app, CliRuntime& runtime);
void RegisterTimelineCommand(CLI::App& app, CliRuntime& runtime);

}  // namespace tolvar::cli
