// Small helpers shared by the network port's tests.
#pragma once

#include <chrono>
#include <string>

#include "ScriptedPeer.h"
#include "quenvar.h"
#include "tests/support/PortCalls.h"

namespace tcptest {
using testsupport::Begin;
using testsupport::End;
using testsupport::MillisecondsOf;
using testsupport::OpenedPort;
using testsupport::Outcome;

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

}  // namespace tcptest
