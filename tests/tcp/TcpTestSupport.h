// Small helpers shared by the network port's tests.
#pragma once

#include <chrono>
#include <string>

#include "ScriptedPeer.h"
#include "quenvar.h"

namespace tcptest {

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

// The completion commands as the printer sees them, and its answers.
extern const Bytes kPreamble, kJobBegin, kJobBeginPoll, kJobAcknowledge, kJobEnd, kJobEndPoll;
Bytes JobBeginAnswer(unsigned char value);
Bytes JobEndAnswer(unsigned char byte3, unsigned char value);

// Times `needle` occurs in `haystack`.
std::size_t Count(const Bytes& haystack, const Bytes& needle);

// ReadPort with a buffer of `size`; `result` gets the function's result.
Bytes Read(void* port, unsigned int size, int* result);

// GetParsedStatusEx with version 2; `result` gets the function's result.
VelmarPrinterStatus_2 Status(void* port, int* result);

// The value of an integer socket option on this process's connection to
// `address`:`port` (found among the open descriptors), or -1 when there is
// no such connection.
int OptionOfConnectionTo(const std::string& address, unsigned short port, int level, int name);
// Bytes received on that connection and not yet taken by the port, or -1.
int WaitingOnConnectionTo(const std::string& address, unsigned short port);

// Gives bytes a peer just sent time to reach the port's socket.
void Settle();

// Milliseconds `action` took (for "does not hang" bounds only).
template <class Action>
long long MillisecondsOf(Action action) {
    const auto start = std::chrono::steady_clock::now();
    action();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace tcptest
