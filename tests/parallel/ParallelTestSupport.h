// Small helpers shared by the parallel port's tests.
#pragma once

#include <chrono>
#include <string>

#include "quenvar.h"
#include "tests/support/EmulatedParallelPort.h"
#include "tests/support/PortCalls.h"

namespace partest {
using testsupport::Begin;
using testsupport::End;
using testsupport::MillisecondsOf;
using testsupport::OpenedPort;
using testsupport::Outcome;

using testsupport::EmulatedParallelPort;

// What the port sends, as the printer receives it.
inline const std::string kPreamble("\x1B\x1D\x03\x04\x00\x00", 6);
inline const std::string kJobBegin("\x1B\x1D\x03\x02\x00\x00", 6);
inline const std::string kJobBeginPoll("\x1B\x1D\x03\x00\x00\x00", 6);
inline const std::string kJobAcknowledge("\x1B\x1D\x03\x03\x00\x00", 6);
inline const std::string kJobEnd("\x1B\x1D\x03\x01\x01\x01", 6);
inline const std::string kJobEndPoll("\x1B\x1D\x03\x00\x01\x01", 6);
inline const std::string kAutomaticStatusOn("\x1D\x61\x02", 3);
inline std::string RealTimeRequest(char n) { return std::string("\x10\x04", 2) + n; }

// Every byte the printer received, once it has at least `count` (the port
// may return before the printer has read its last command).
inline std::string Received(EmulatedParallelPort& printer, std::size_t count) {
    printer.model().waitReceived(count, std::chrono::seconds(5));
    return printer.model().allReceived();
}

// GetParsedStatusEx with version 2; `result` gets the function's result.
inline VelmarPrinterStatus_2 Status(void* port, int* result) {
    VelmarPrinterStatus_2 status{};
    *result = GetParsedStatusEx(port, &status, 2);
    return status;
}

}  // namespace partest
