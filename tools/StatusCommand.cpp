// quenvar status: the printer's decoded status in words, or as JSON.
#include <iostream>
#include <memory>

#include "Commands.h"
#include "ExitCodes.h"
#include "PortOptions.h"
#include "StatusText.h"
#include "quenvar.h"

namespace tools {

namespace {

struct StatusSettings {
    PortOptions port;
    bool json = false;
};

int runStatus(const StatusSettings& settings) {
    OpenedPort port(settings.port);
    if (!port.isOpen()) {
        std::cerr << "quenvar: " << notOpenedMessage(settings.port) << "\n";
        return kExitNotOpened;
    }
    VelmarPrinterStatus_2 status{};
    if (!GetParsedStatusEx(port.handle(), &status, 2)) {
        std::cerr << "quenvar: the printer's status could not be read from " << settings.port.portName << "\n";
        return kExitIoFailure;
    }
    unsigned int online = 0;
    const bool onlineKnown = GetOnlineStatus(port.handle(), &online) != 0;

    if (settings.json) {
        nlohmann::json j = statusJson(status);
        j["port"] = settings.port.portName;
        j["online"] = onlineKnown ? nlohmann::json(online != 0) : nlohmann::json(nullptr);
        std::cout << j.dump(2) << "\n";
    } else {
        std::cout << "printer:     " << settings.port.portName << "\n"
                  << "online:      " << (onlineKnown ? (online ? "yes" : "no") : "unknown (query failed)") << "\n"
                  << describeStatus(status);
    }
    return kExitSuccess;
}

}  // namespace

void addStatusCommand(CLI::App& app, int& exitCode) {
    auto settings = std::make_shared<StatusSettings>();
    CLI::App* command = app.add_subcommand("status", "Show the printer's status: every condition in plain words");
    settings->port.addTo(command);
    command->add_flag("--json", settings->json, "print one JSON object instead");
    command->callback([settings, &exitCode] { exitCode = runStatus(*settings); });
}

}  // namespace tools
