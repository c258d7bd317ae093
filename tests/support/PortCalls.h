// The C interface as every transport's tests call it: a port closed when the
// test leaves its scope, the three status calls with their result and record,
// and a stopwatch for "ends within its bound" checks.
#pragma once

#include <chrono>
#include <string>

#include "quenvar.h"

namespace testsupport {

// Closes the port when the test leaves its scope.
class OpenedPort {
public:
    OpenedPort(const std::string& name, const std::string& settings, unsigned int timeoutMs)
        : port_(OpenPort(name.c_str(), settings.c_str(), timeoutMs)) {}
    ~OpenedPort() { ClosePort(port_); }
    OpenedPort(const OpenedPort&) = delete;
    OpenedPort& operator=(const OpenedPort&) = delete;
    void* get() const { return port_; }
    explicit operator bool() const { return port_ != nullptr; }

private:
    void* port_;
};

// A status call's result and the record it filled (version 2).
struct Outcome {
    int result;
    VelmarPrinterStatus_2 status;
};
inline Outcome Status(void* port) {
    Outcome o{};
    o.result = GetParsedStatusEx(port, &o.status, 2);
    return o;
}
inline Outcome Begin(void* port) {
    Outcome o{};
    o.result = BeginCheckedBlockEx(port, &o.status, 2);
    return o;
}
inline Outcome End(void* port) {
    Outcome o{};
    o.result = EndCheckedBlockEx(port, &o.status, 2);
    return o;
}

// Milliseconds `action` took (for bounds only, with generous margins).
template <class Action>
long long MillisecondsOf(Action action) {
    const auto start = std::chrono::steady_clock::now();
    action();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace testsupport
