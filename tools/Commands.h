// Registration of the quenvar subcommands. Each subcommand lives in its own
// file and adds itself to the application here; its callback stores the
// process exit code (tools/ExitCodes.h) in `exitCode`.
#pragma once

#include <CLI/CLI.hpp>

namespace tools {

void addStatusCommand(CLI::App& app, int& exitCode);
void addPrintCommand(CLI::App& app, int& exitCode);
void addReadCommand(CLI::App& app, int& exitCode);
void addResetCommand(CLI::App& app, int& exitCode);
void addEmulateCommand(CLI::App& app, int& exitCode);
void addDemoCommand(CLI::App& app, int& exitCode);
void addListCommand(CLI::App& app, int& exitCode);
void addScanCommand(CLI::App& app, int& exitCode);

}  // namespace tools
