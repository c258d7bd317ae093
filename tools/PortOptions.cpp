#include "PortOptions.h"

#include "quenvar.h"

namespace tools {

void PortOptions::addTo(CLI::App* command) {
    command
        ->add_option(
            "PORT", portName,
            "printer port: tcp:ADDRESS, /dev/ttyS0, /dev/parport0, usbven:ID[;sn:SERIAL], usbprn:ID[;sn:SERIAL]")
        ->required();
    command->add_option("--settings,-s", settings,
                        "transport settings (network: n, a, 9100, 9101; serial: line settings)");
    command->add_option("--timeout,-t", timeoutMs, "time limit in milliseconds for each exchange")
        ->capture_default_str();
}

OpenedPort::OpenedPort(const PortOptions& options)
    : handle_(OpenPort(options.portName.c_str(), options.settings.c_str(), options.timeoutMs)) {}

OpenedPort::~OpenedPort() { ClosePort(handle_); }

std::string notOpenedMessage(const PortOptions& options) {
    return "could not open " + options.portName +
           ": no transport takes this name, or the printer is not there "
           "(switched off, wrong address or device, refused, or no answer within " +
           std::to_string(options.timeoutMs) + " ms)";
}

}  // namespace tools
