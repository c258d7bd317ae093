// Helpers shared by the USB port tests: virtual printers plugged into the
// test process's USB host, and ports opened on them.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "emulator/UsbClassPrinter.h"
#include "emulator/UsbVendorPrinter.h"
#include "quenvar.h"
#include "tests/support/FakeUsb.h"
#include "tests/support/PortCalls.h"

namespace usbtest {
using testsupport::MillisecondsOf;
using testsupport::OpenedPort;

// A virtual printer of either route, plugged in while the object lives.
template <class Printer>
struct Plugged {
    explicit Plugged(emulator::UsbPrinterOptions options = {}, unsigned bus = 1)
        : printer(std::make_shared<Printer>(std::move(options))),
          plug(testsupport::UsbHost::Instance().plug(printer, bus)) {}
    Plugged(std::shared_ptr<Printer> made, unsigned bus = 1)
        : printer(std::move(made)), plug(testsupport::UsbHost::Instance().plug(printer, bus)) {}
    emulator::PrinterModel& model() { return printer->model(); }
    std::vector<std::string> names() const { return plug->log().names(); }

    std::shared_ptr<Printer> printer;
    std::unique_ptr<testsupport::UsbPlug> plug;
};
using Vendor = Plugged<emulator::UsbVendorPrinter>;
using Class = Plugged<emulator::UsbClassPrinter>;

// Options with a serial number of the test's own, so that no two printers of
// one test are alike unless the test wants them to be.
emulator::UsbPrinterOptions WithSerial(const std::u16string& serial, const std::string& model = "QV-U100");

// GetParsedStatusEx, BeginCheckedBlockEx, EndCheckedBlockEx with version 2;
// `result` gets the function's result.
VelmarPrinterStatus_2 Status(void* port, int* result);
VelmarPrinterStatus_2 Begin(void* port, int* result);
VelmarPrinterStatus_2 End(void* port, int* result);

// Writes all of `data` in WritePort calls; false when a call fails or takes nothing.
bool WriteAll(void* port, const std::string& data);

// How often `name` occurs in `names`.
std::size_t Count(const std::vector<std::string>& names, const std::string& name);

// The data of every bulk OUT transfer, in order, as one string.
std::string SentOut(const testsupport::UsbPlug& plug);

}  // namespace usbtest
