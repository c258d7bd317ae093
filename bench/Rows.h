// Each transport's rows. A new transport adds its function here and a call in
// main.cpp.
#pragma once

#include <string>
#include <vector>

#include "Harness.h"

namespace bench {

// The network port against plain sockets, each side on its own virtual printer.
void AddNetworkRows(Suite& suite);

// The quenvar command against a plain program, both as processes.
void AddToolRows(Suite& suite);

// Child process of the tool rows' baseline: sends `file` to the printer at
// `address` with plain sockets, as quenvar print --no-check does with the
// library. Exit status 0, or 1 on any failure.
int RunPlainSend(const std::string& address, const std::string& file);

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
