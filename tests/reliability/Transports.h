// Each transport's share of the reliability runs: its fault-matrix tables and
// its stress printers. A transport that lands adds its rig file, its lines
// here and in TransportList.cpp, and the file to CMakeLists.txt.
#pragma once

#include <vector>

#include "FaultMatrix.h"
#include "Stress.h"

namespace reliability {

// The network port, with status on the data connection and on port 9101.
std::vector<TransportTable> NetworkMatrixTables();
StressTransport NetworkStressTransport();

// The serial port on the serial test rig.
std::vector<TransportTable> SerialMatrixTables();
StressTransport SerialStressTransport();

// Both USB routes on the emulated USB host.
std::vector<TransportTable> UsbMatrixTables();
std::vector<StressTransport> UsbStressTransports();

// The parallel port on the emulated parallel port device.
std::vector<TransportTable> ParallelMatrixTables();
StressTransport ParallelStressTransport();

// Every transport in this build.
std::vector<TransportTable> AllMatrixTables();
std::vector<StressTransport> AllStressTransports();

}  // namespace reliability
