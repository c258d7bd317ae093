// quenvar read: show what the printer sends, as a hex dump.
#include <cstdio>
#include <iostream>
#include <memory>
#include <vector>

#include "Commands.h"
#include "ExitCodes.h"
#include "PortOptions.h"
#include "quenvar.h"

namespace tools {

namespace {

struct ReadSettings {
    PortOptions port;
    unsigned max = 256;
};

void hexDump(const std::vector<unsigned char>& bytes) {
    for (std::size_t row = 0; row < bytes.size(); row += 16) {
        std::printf("%08zx  ", row);
        for (std::size_t i = row; i < row + 16; ++i) {
            if (i < bytes.size())
                std::printf("%02x ", bytes[i]);
            else
                std::printf("   ");
        }
        std::printf(" |");
        for (std::size_t i = row; i < row + 16 && i < bytes.size(); ++i)
            std::putchar(bytes[i] >= 0x20 && bytes[i] < 0x7F ? bytes[i] : '.');
        std::printf("|\n");
    }
}

int runRead(const ReadSettings& settings) {
    OpenedPort port(settings.port);
    if (!port.isOpen()) {
        std::cerr << "quenvar: " << notOpenedMessage(settings.port) << "\n";
        return kExitNotOpened;
    }
    // Read until the printer has nothing more to say within the time limit.
    std::vector<unsigned char> received;
    std::vector<unsigned char> buffer(settings.max);
    while (received.size() < settings.max) {
        unsigned int read = 0;
        const unsigned int room = static_cast<unsigned int>(settings.max - received.size());
        if (!ReadPort(port.handle(), buffer.data(), room, &read) || read == 0) break;
        received.insert(received.end(), buffer.begin(), buffer.begin() + read);
    }
    if (received.empty()) {
        std::cout << "nothing received within " << settings.port.timeoutMs << " ms\n";
    } else {
        hexDump(received);
    }
    std::fflush(stdout);
    return kExitSuccess;
}

}  // namespace

void addReadCommand(CLI::App& app, int& exitCode) {
    auto settings = std::make_shared<ReadSettings>();
    CLI::App* command = app.add_subcommand("read", "Show what the printer sends, as a hex dump");
    settings->port.addTo(command);
    command->add_option("--max,-n", settings->max, "read at most this many bytes")
        ->capture_default_str()
        ->check(CLI::Range(1u, 1u << 24));
    command->callback([settings, &exitCode] { exitCode = runRead(*settings); });
}

}  // namespace tools
