// quenvar: the command-line companion of the library (see `quenvar --help`).
#include <csignal>

#include "Commands.h"

int main(int argc, char** argv) {
  // Output to a closed pipe must end in an error, not in a killed process.
  std::signal(SIGPIPE, SIG_IGN);

  CLI::App app{"quenvar: talk to receipt printers, or be one"};
  app.require_subcommand(1);
  int exitCode = 0;
  tools::addEmulateCommand(app, exitCode);

  CLI11_PARSE(app, argc, argv);
  return exitCode;
}
