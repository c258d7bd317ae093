// quenvar print: send a file as one print job and report whether the printer
// confirmed it.
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>

#include "CheckedPrint.h"
#include "Commands.h"
#include "PortOptions.h"
#include "ProgressBar.h"

namespace tools {

namespace {

struct PrintSettings {
    PortOptions port;
    std::string file = "-";
    bool noCheck = false;
};

bool readJob(const std::string& file, std::string* data) {
    if (file == "-") {
        std::ostringstream all;
        all << std::cin.rdbuf();
        *data = all.str();
        return true;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    data->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

int runPrint(const PrintSettings& settings) {
    std::string data;
    if (!readJob(settings.file, &data)) {
        std::cerr << "quenvar: cannot read " << settings.file << "\n";
        return kExitUsage;
    }
    OpenedPort port(settings.port);
    if (!port.isOpen()) {
        std::cerr << "quenvar: " << notOpenedMessage(settings.port) << "\n";
        return kExitNotOpened;
    }
    JobOutcome outcome;
    {
        ProgressBar bar(data.size());
        outcome = printJob(port.handle(), data, !settings.noCheck, settings.port.timeoutMs,
                           [&bar](uint64_t sent, uint64_t) { bar.update(sent); });
    }
    (outcome.code == kExitSuccess ? std::cout : std::cerr)
        << (outcome.code == kExitSuccess ? "" : "quenvar: ") << outcome.message << "\n";
    return outcome.code;
}

}  // namespace

void addPrintCommand(CLI::App& app, int& exitCode) {
    auto settings = std::make_shared<PrintSettings>();
    CLI::App* command = app.add_subcommand(
        "print", "Send FILE (or standard input) as one print job and wait for the printer to confirm it");
    settings->port.addTo(command);
    command->add_option("FILE", settings->file, "printer command bytes to send; - for standard input")
        ->capture_default_str();
    command->add_flag("--no-check", settings->noCheck, "send without a checked block (no confirmation)");
    command->callback([settings, &exitCode] { exitCode = runPrint(*settings); });
}

}  // namespace tools
