// A virtual printer brought up inside another process: the quenvar command, a
// JVM or a Python interpreter started by a test with
//   LD_PRELOAD=<path>/libquenvar_preload_printer.so
//   QUENVAR_TEST_PRINTER=<kind>:<options>
// When this library is loaded it starts the printer of that kind in the
// process (registering its fake device with the interposer), so the unchanged
// program finds the emulated device exactly as a test binary does. The printer
// stops when the process exits. Without QUENVAR_TEST_PRINTER it does nothing.
// Several printers, each "<kind>:<options>", are separated by ";" (e.g. three
// USB printers on one bus).
//
// Each kind is one start function, defined in the kind's own file and listed
// in the table below. Its options text is the kind's own (for example a device
// name, a file to write printed data to, a fault to start with).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

// Starts a printer of one kind from its options; the returned object keeps it
// alive. Throws (or returns null) when the options make no sense.
using PreloadStart = std::shared_ptr<void> (*)(const std::string& options);

// Start functions of the kinds, each defined in its kind's file. Declared weak:
// a kind whose file is not part of this library is a null reference and is
// reported as unknown. A new kind adds its declaration here, e.g.
//   std::shared_ptr<void> StartParallelPrinter(const std::string& options) __attribute__((weak));
// and a line to the table below.
std::shared_ptr<void> StartUsbVendorPrinter(const std::string& options) __attribute__((weak));
std::shared_ptr<void> StartUsbClassPrinter(const std::string& options) __attribute__((weak));
std::shared_ptr<void> StartParallelPrinter(const std::string& options) __attribute__((weak));

}  // namespace testsupport

namespace {

struct PreloadKind {
    const char* name;
    testsupport::PreloadStart start;
};

// Kinds, by the name before the colon, e.g. {"parallel", &testsupport::StartParallelPrinter}.
const PreloadKind kKinds[] = {
    {"none", nullptr},  // keeps the table non-empty; never starts anything
    {"usbven", &testsupport::StartUsbVendorPrinter},
    {"usbprn", &testsupport::StartUsbClassPrinter},
    {"parallel", &testsupport::StartParallelPrinter},
};

std::vector<std::shared_ptr<void>>* g_printers = nullptr;

// Starts the printer of one "<kind>:<options>"; ends the process when it cannot.
void start_one(const std::string& setting) {
    const std::size_t colon = setting.find(':');
    const std::string kind = setting.substr(0, colon);
    const std::string options = colon == std::string::npos ? std::string() : setting.substr(colon + 1);
    for (const PreloadKind& k : kKinds) {
        if (kind != k.name || k.start == nullptr) continue;
        try {
            std::shared_ptr<void> printer = k.start(options);
            if (printer) {
                g_printers->push_back(std::move(printer));
                return;
            }
        } catch (const std::exception& e) {
            std::fprintf(stderr, "preloaded printer %s: %s\n", setting.c_str(), e.what());
        }
        std::_Exit(97);
    }
    std::fprintf(stderr, "preloaded printer: unknown kind in QUENVAR_TEST_PRINTER: %s\n", setting.c_str());
    std::_Exit(97);
}

__attribute__((constructor)) void start_preloaded_printer() {
    const char* setting = std::getenv("QUENVAR_TEST_PRINTER");
    if (setting == nullptr || *setting == '\0') return;
    g_printers = new std::vector<std::shared_ptr<void>>;
    const std::string all = setting;
    std::size_t start = 0;
    while (start <= all.size()) {
        std::size_t end = all.find(';', start);
        if (end == std::string::npos) end = all.size();
        if (end > start) start_one(all.substr(start, end - start));
        start = end + 1;
    }
}

__attribute__((destructor)) void stop_preloaded_printer() {
    delete g_printers;
    g_printers = nullptr;
}

}  // namespace
