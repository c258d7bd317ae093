// Registration of the quenvar subcommands. Each subcommand lives in its own
// file and adds itself to the application here; its callback stores the
// process exit code in `exitCode`.
#pragma once

#include <CLI/CLI.hpp>

namespace tools {

void addEmulateCommand(CLI::App& app, int& exitCode);

}  // namespace tools
