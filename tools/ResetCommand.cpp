// quenvar reset: reset the printer or its connection, where the transport can.
#include <iostream>
#include <memory>

#include "Commands.h"
#include "ExitCodes.h"
#include "PortOptions.h"
#include "quenvar.h"

namespace tools {

namespace {

int runReset(const PortOptions& options) {
    OpenedPort port(options);
    if (!port.isOpen()) {
        std::cerr << "quenvar: " << notOpenedMessage(options) << "\n";
        return kExitNotOpened;
    }
    if (!ResetDevice(port.handle())) {
        std::cerr << "quenvar: reset failed (network printers cannot be reset through their port)\n";
        return kExitIoFailure;
    }
    std::cout << "printer reset\n";
    return kExitSuccess;
}

}  // namespace

void addResetCommand(CLI::App& app, int& exitCode) {
    auto options = std::make_shared<PortOptions>();
    CLI::App* command = app.add_subcommand("reset", "Reset the printer or its connection");
    options->addTo(command);
    command->callback([options, &exitCode] { exitCode = runReset(*options); });
}

}  // namespace tools
