// Small helpers shared by the serial port's tests.
#pragma once

#include <chrono>
#include <string>

#include "ScriptedLine.h"
#include "quenvar.h"

namespace serialtest {

constexpr const char* kSettings = "9600,n,8,1,n";

// Closes the port when the test leaves its scope.
class OpenedPort {
public:
    OpenedPort(const std::string& name, const char* settings, unsigned int timeoutMs)
        : port_(OpenPort(name.c_str(), settings, timeoutMs)) {}
    ~OpenedPort() { ClosePort(port_); }
    OpenedPort(const OpenedPort&) = delete;
    OpenedPort& operator=(const OpenedPort&) = delete;
    void* get() const { return port_; }
    explicit operator bool() const { return port_ != nullptr; }

private:
    void* port_;
};

// ReadPort with a buffer of `size`; `result` gets the function's result.
Bytes Read(void* port, unsigned int size, int* result);

// A status operation's result and record (version 2).
struct Outcome {
    int result;
    VelmarPrinterStatus_2 status;
};
Outcome Status(void* port);
Outcome Begin(void* port);
Outcome End(void* port);

// The data of every write the port made on `line`, in order.
Bytes Written(testsupport::SerialLine& line);

// Milliseconds `action` took (for bounds only, with generous margins).
template <class Action>
long long MillisecondsOf(Action action) {
    const auto start = std::chrono::steady_clock::now();
    action();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace serialtest
