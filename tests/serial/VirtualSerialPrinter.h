// The virtual serial printer under a serial test name: its pseudo-terminal
// opened through the test rig, whose DSR follows the printer.
#pragma once

#include <memory>
#include <string>

#include "emulator/SerialPrinter.h"
#include "tests/support/SerialLine.h"

namespace serialtest {

class VirtualSerialPrinter {
public:
    explicit VirtualSerialPrinter(emulator::SerialPrinter::Options options = {}) : printer_(options) {
        printer_.start();
        line_ = std::make_unique<testsupport::SerialLineRegistration>(printer_.devicePath(),
                                                                      [this] { return printer_.dataSetReady(); });
    }
    ~VirtualSerialPrinter() {
        line_.reset();
        printer_.stop();
    }
    VirtualSerialPrinter(const VirtualSerialPrinter&) = delete;
    VirtualSerialPrinter& operator=(const VirtualSerialPrinter&) = delete;

    const std::string& name() const { return line_->name(); }
    emulator::SerialPrinter& printer() { return printer_; }
    emulator::PrinterModel& model() { return printer_.model(); }
    testsupport::SerialLine& line() { return line_->line(); }

private:
    emulator::SerialPrinter printer_;
    std::unique_ptr<testsupport::SerialLineRegistration> line_;
};

}  // namespace serialtest
