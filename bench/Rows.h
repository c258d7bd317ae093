// Each transport's rows. A new transport adds its function here and a call in
// main.cpp.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Harness.h"

namespace bench {

// The network port against plain sockets, each side on its own virtual printer.
void AddNetworkRows(Suite& suite);

// The stress run's jobs per second against the ideal, when the build has the
// reliability runs (tests/reliability).
void AddStressRows(Suite& suite);

// The serial port against the same system calls by hand, each side on a
// virtual serial printer behind the test rig's serial line.
void AddSerialRows(Suite& suite);

// The quenvar command against a plain program, both as processes.
void AddToolRows(Suite& suite);

// Child process of the tool rows' baseline: sends `file` to the printer at
// `address` with plain sockets, as quenvar print --no-check does with the
// library. Exit status 0, or 1 on any failure.
int RunPlainSend(const std::string& address, const std::string& file);

// The USB vendor route against the same USB library calls by hand, on
// virtual printers in the emulated usbfs of the test rig (builds with tests).
void AddUsbRows(Suite& suite);
// A virtual printer of the vendor route with serial number `serial`, plugged
// into this process's USB host for as long as the result is kept.
std::shared_ptr<void> PlugUsbVendorPrinter(const std::string& serial);

// The Java API's Printer against the C interface, when the build has the Java
// bridge: its JVM runs JavaJobDriver.java.
void AddJavaRows(Suite& suite);

// The parallel port against the same writes by hand on the emulated device.
void AddParallelRows(Suite& suite);

// The Python package's Printer against the C interface, when the build has
// the package: its interpreter runs PythonJobDriver.py.
void AddPythonRows(Suite& suite);

// Child process of the resident memory row: opens one port per address with
// `settings`, prints "<resident before> <resident after>" in bytes. Exit status
// 0, or 1 when a port could not be opened.
int RunResidentProbe(const std::string& settings, const std::vector<std::string>& addresses);

}  // namespace bench
