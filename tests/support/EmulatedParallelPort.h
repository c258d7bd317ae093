// A virtual parallel printer behind an emulated parallel port device of its
// own name: what a test, the preloaded printer and the benchmarks bring up
// instead of a printer on /dev/parport0. Users link quenvar_test_support and
// quenvar_emulator.
#pragma once

#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>

#include "emulator/ParallelPrinter.h"
#include "tests/support/ParallelPortDevice.h"

namespace testsupport {

class EmulatedParallelPort {
public:
    // name: the device path to answer to; empty picks one no other printer
    // of any test process uses ("/dev/parport-qv-<process>-<n>").
    explicit EmulatedParallelPort(emulator::ParallelPrinter::Options options = {}, std::string name = "")
        : printer_(options),
          device_(std::make_shared<ParallelPortDevice>(
              ParallelPeripheral{[this](int printerEnd) { printer_.attach(printerEnd); },
                                 [this] { return printer_.statusLines(); }, nullptr})),
          name_(name.empty() ? uniqueName() : std::move(name)),
          registration_(name_, device_) {}
    EmulatedParallelPort(const EmulatedParallelPort&) = delete;
    EmulatedParallelPort& operator=(const EmulatedParallelPort&) = delete;

    const std::string& portName() const { return name_; }
    emulator::ParallelPrinter& printer() { return printer_; }
    emulator::PrinterModel& model() { return printer_.model(); }
    ParallelPortDevice& device() { return *device_; }

private:
    static std::string uniqueName() {
        static std::atomic<unsigned> next{0};
        return "/dev/parport-qv-" + std::to_string(getpid()) + "-" + std::to_string(next++);
    }

    emulator::ParallelPrinter printer_;
    std::shared_ptr<ParallelPortDevice> device_;
    std::string name_;
    DeviceRegistration registration_;
};

}  // namespace testsupport
