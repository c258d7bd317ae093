// Each transport's rows. A new transport adds its function here and a call in
// main.cpp.
#pragma once

#include <string>
#include <vector>

#include "Harness.h"

namespace bench {

// The network port against plain sockets, each side on its own virtual printer.
void AddNetworkRows(Suite& suite);

// The Java API's Printer against the C interface, when the build has the Java
// bridge: its JVM runs JavaJobDriver.java.
void AddJavaRows(Suite& suite);

// Child process of the resident memory row: opens one port per address with
// `settings`, prints "<resident before> <resident after>" in bytes. Exit status
// 0, or 1 when a port could not be opened.
int RunResidentProbe(const std::string& settings, const std::vector<std::string>& addresses);

}  // namespace bench
