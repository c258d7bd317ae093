// quenvar demo: the library's whole point in one command, with no printer
// attached. A virtual printer comes up on a free loopback address; the demo
// takes its status, prints a receipt the printer confirms, then lets the
// printer run out of paper and shows how the next job's failure is reported.
#include <exception>
#include <iostream>
#include <memory>
#include <string>

#include "CheckedPrint.h"
#include "Commands.h"
#include "PortOptions.h"
#include "StatusText.h"
#include "emulator/NetworkPrinter.h"
#include "quenvar.h"

namespace tools {

namespace {

constexpr unsigned kDemoTimeoutMs = 2000;

// A short receipt in ESC/POS: initialise, centred bold title, items, feed, cut.
std::string sampleReceipt() {
    std::string r;
    r += "\x1B\x40";      // initialise
    r += "\x1B\x61\x01";  // centre
    r += "\x1B\x45\x01QUENVAR CAFE\n\x1B\x45";
    r += std::string(1, '\0');  // bold off
    r += "\x1B\x61";
    r += std::string(1, '\0');  // left
    r += "Espresso              2.40\n";
    r += "Croissant             1.90\n";
    r += "--------------------------\n";
    r += "TOTAL                 4.30\n";
    r += "\x1B\x64\x03";  // feed three lines
    r += "\x1D\x56\x42";  // partial cut after feeding
    r += std::string(1, '\0');
    return r;
}

bool check(bool ok, const std::string& what) {
    std::cout << (ok ? "   ok: " : "   FAILED: ") << what << "\n";
    return ok;
}

int runDemo() {
    emulator::NetworkPrinter printer;
    printer.start();
    PortOptions options;
    options.portName = printer.portName();
    options.timeoutMs = kDemoTimeoutMs;
    std::cout << "A virtual printer is listening on " << printer.address() << ".\n\n";
    bool passed = true;

    std::cout << "1. Open " << options.portName << "\n";
    OpenedPort port(options);
    if (!check(port.isOpen(), "port open")) return kExitFailure;

    std::cout << "\n2. Printer status\n";
    VelmarPrinterStatus_2 status{};
    unsigned int online = 0;
    passed &= check(GetParsedStatusEx(port.handle(), &status, 2) == 1, "status read");
    passed &= check(GetOnlineStatus(port.handle(), &online) == 1 && online == 1, "printer online");
    std::cout << describeStatus(status);

    const std::string receipt = sampleReceipt();
    std::cout << "\n3. Print a sample receipt (" << receipt.size() << " bytes) in a checked block\n";
    JobOutcome first = printJob(port.handle(), receipt, true, options.timeoutMs);
    std::cout << "   " << first.message << "\n";
    passed &= check(first.code == kExitSuccess, "the printer confirmed the job");
    passed &= check(printer.model().printedData() == receipt, "every byte arrived exactly once, in order");

    std::cout << "\n4. The printer runs out of paper; print a second receipt\n";
    printer.model().setPaperEmpty(true);
    JobOutcome second = printJob(port.handle(), receipt, true, options.timeoutMs);
    std::cout << "   " << second.message << "\n";
    passed &= check(second.code == kExitNotConfirmed, "the job was not confirmed (exit code 4 in quenvar print)");
    passed &= check(second.status.receiptPaperEmpty == 1 && second.status.offline == 1,
                    "the status reports the printer offline with paper out");
    passed &= check(printer.model().printedData() == receipt, "nothing of the second job was printed");

    std::cout << "\n" << (passed ? "Demo passed." : "Demo FAILED.") << "\n";
    return passed ? kExitSuccess : kExitFailure;
}

}  // namespace

void addDemoCommand(CLI::App& app, int& exitCode) {
    CLI::App* command = app.add_subcommand(
        "demo", "Print a receipt on a built-in virtual printer and show a confirmed job and a paper-out failure");
    command->callback([&exitCode] {
        try {
            exitCode = runDemo();
        } catch (const std::exception& e) {
            std::cerr << "quenvar: demo could not run: " << e.what() << "\n";
            exitCode = kExitFailure;
        }
    });
}

}  // namespace tools
