// Small helpers shared by the serial port's tests.
#pragma once

#include <chrono>
#include <string>

#include "ScriptedLine.h"
#include "quenvar.h"
#include "tests/support/PortCalls.h"

namespace serialtest {
using testsupport::Begin;
using testsupport::End;
using testsupport::MillisecondsOf;
using testsupport::OpenedPort;
using testsupport::Outcome;
using testsupport::Status;

constexpr const char* kSettings = "9600,n,8,1,n";

// ReadPort with a buffer of `size`; `result` gets the function's result.
Bytes Read(void* port, unsigned int size, int* result);

// The data of every write the port made on `line`, in order.
Bytes Written(testsupport::SerialLine& line);

}  // namespace serialtest
