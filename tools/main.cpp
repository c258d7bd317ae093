// quenvar: the command-line companion of the library (see `quenvar --help`).
#include <csignal>
#include <exception>
#include <iostream>
#include <string>

#include "Commands.h"
#include "ExitCodes.h"

namespace {

// Laid out as headed lists, so that the manual page made from this text
// (help2man) gets the same sections; the examples come last.
const char* kPortHelp =
    "Ports:\n"
    "  tcp:192.0.2.10 / TCP:192.0.2.10   network printer by IPv4 address (no host names, no :port)\n"
    "  /dev/ttyS0, /dev/ttyUSB0          serial printer\n"
    "  /dev/parport0                     parallel printer\n"
    "  usbven:TEXT[;sn:SERIAL]           USB printer, vendor route, by identification text\n"
    "  usbprn:TEXT[;sn:SERIAL]           USB printer class, by identification text\n"
    "Settings (--settings):\n"
    "  network                           n keeps Nagle on, a turns keep-alive off,\n"
    "                                    9100 = status comes on the data connection,\n"
    "                                    9101 = ask port 9101 (neither: discovery decides)\n"
    "  serial                            baud,parity,data bits,stop bits,flow,\n"
    "                                    e.g. 9600,n,8,1,n or 38400,e,7,2,h\n"
    "                                    (flow h: writes wait for the printer's DSR)\n"
    "  parallel, USB                     none\n"
    "Time limit (--timeout):\n"
    "  milliseconds for the connect and each send and receive (serial: for each wait for\n"
    "  the printer's bytes); a job confirmation waits at most 10 x that, at least 1 s.\n";

const char* kExamples =
    "Examples:\n"
    "  $ quenvar list\n"
    "  $ quenvar status tcp:192.0.2.10 --json\n"
    "  $ quenvar print tcp:192.0.2.10 receipt.bin\n"
    "  $ quenvar print /dev/ttyUSB0 receipt.bin --settings 9600,n,8,1,h\n"
    "  $ quenvar read \"usbprn:RECEIPT 80;sn:0042\" --max 64\n"
    "  $ quenvar emulate --address 127.0.0.5\n"
    "  $ quenvar status tcp:127.0.0.5\n"
    "  $ sudo quenvar emulate --serial /dev/ttyQV0\n"
    "  $ quenvar status /dev/ttyQV0 --settings 9600,n,8,1,n\n"
    "  $ quenvar scan 192.0.2.0/24 --status\n"
    "  $ quenvar demo\n";

}  // namespace

int main(int argc, char** argv) {
    // Output to a closed pipe must end in an error, not in a killed process.
    std::signal(SIGPIPE, SIG_IGN);

    // The name is fixed, so that help and errors read the same however the
    // command was started.
    CLI::App app{"quenvar: talk to receipt printers, or be one", "quenvar"};
    app.footer(std::string(kPortHelp) + tools::exitCodeHelp() + kExamples);
    app.set_version_flag("--version", "quenvar " QUENVAR_VERSION);
    app.require_subcommand(1);
    int exitCode = tools::kExitSuccess;
    tools::addStatusCommand(app, exitCode);
    tools::addPrintCommand(app, exitCode);
    tools::addReadCommand(app, exitCode);
    tools::addResetCommand(app, exitCode);
    tools::addScanCommand(app, exitCode);
    tools::addEmulateCommand(app, exitCode);
    tools::addDemoCommand(app, exitCode);
    tools::addListCommand(app, exitCode);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? tools::kExitSuccess : tools::kExitUsage;
    } catch (const std::exception& e) {
        std::cerr << "quenvar: " << e.what() << "\n";
        return tools::kExitFailure;
    }
    return exitCode;
}
