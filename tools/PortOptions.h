// What every printer-facing subcommand takes: the port name, the settings
// string and the time limit, and the open port they lead to.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace tools {

struct PortOptions {
    std::string portName;  // e.g. "tcp:192.0.2.10"
    std::string settings;  // transport settings, "" by default
    unsigned timeoutMs = 3000;

    // Adds PORT, --settings and --timeout to `command`.
    void addTo(CLI::App* command);
};

// An open port, closed when it goes out of scope.
class OpenedPort {
public:
    explicit OpenedPort(const PortOptions& options);
    ~OpenedPort();
    OpenedPort(const OpenedPort&) = delete;
    OpenedPort& operator=(const OpenedPort&) = delete;

    bool isOpen() const { return handle_ != nullptr; }
    void* handle() const { return handle_; }

private:
    void* handle_;
};

// The message for a port that did not open, naming what usually causes it.
std::string notOpenedMessage(const PortOptions& options);

}  // namespace tools
