// The "parallel" kind of preloaded printer (see PreloadedPrinter.cpp):
//   QUENVAR_TEST_PRINTER=parallel:<device name>[,no-automatic-status][,printed=<file>]
// brings up a virtual parallel printer answering to the device name (for
// example /dev/parport0). With printed=, what it printed is written to the
// file when the process ends.
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

#include "tests/support/EmulatedParallelPort.h"

namespace testsupport {

namespace {

struct PreloadedParallel {
    PreloadedParallel(emulator::ParallelPrinter::Options options, const std::string& name, std::string printed)
        : port(options, name), printedFile(std::move(printed)) {}
    ~PreloadedParallel() {
        if (!printedFile.empty()) std::ofstream(printedFile, std::ios::binary) << port.model().printedData();
    }
    EmulatedParallelPort port;
    std::string printedFile;
};

}  // namespace

std::shared_ptr<void> StartParallelPrinter(const std::string& options) {
    std::istringstream fields(options);
    std::string name, field, printed;
    std::getline(fields, name, ',');
    if (name.rfind("/dev/parport", 0) != 0) throw std::invalid_argument("not a parallel port name: " + name);
    emulator::ParallelPrinter::Options printer;
    while (std::getline(fields, field, ',')) {
        if (field == "no-automatic-status")
            printer.automaticStatus = false;
        else if (field.rfind("printed=", 0) == 0)
            printed = field.substr(8);
        else
            throw std::invalid_argument("unknown option " + field);
    }
    return std::make_shared<PreloadedParallel>(printer, name, printed);
}

}  // namespace testsupport
