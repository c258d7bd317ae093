// What a program without the library would do on the same wire: plain
// blocking sockets. The baselines of the network rows are built from these.
#pragma once

#include <cstddef>
#include <string>

namespace bench {

// A blocking TCP connection to `address`:`port`, or -1.
int PlainConnect(const std::string& address, unsigned short port);

// Sets on `fd` the options the network port sets on its data connection with
// empty settings: no Nagle delay, send and receive limits of `timeoutMs`,
// keep-alive probing after 1 s every 1 s, a 2 MiB receive buffer. 1 or 0.
int SetPortOptions(int fd, unsigned int timeoutMs);

// Sends all `size` bytes in calls of at most `chunk` bytes. 1 or 0.
int SendAll(int fd, const unsigned char* data, std::size_t size, std::size_t chunk);

// One send of at most `size` bytes, reached the way any port library is at
// the least: through an exported function in another object file that checks
// its arguments and forwards to a virtual operation of a transport object,
// which sends. The count sent, or -1. For measuring what that layering alone
// costs next to a plain send.
long LayeredSend(int fd, const unsigned char* data, std::size_t size);

// Receives exactly `size` bytes. 1 or 0.
int ReceiveExactly(int fd, unsigned char* buffer, std::size_t size);

// Reads the automatic status frame a printer opens its data connection with
// (status block and extension). 1 or 0.
int ReadOpeningStatus(int fd);

// The discovery request and one reply from `address`, UDP port 22222, waiting
// at most `timeoutMs`. 1 when a reply came.
int DiscoveryRoundTrip(const std::string& address, unsigned int timeoutMs);

// The process's resident memory in bytes (from /proc/self/statm).
std::size_t ResidentBytes();

// Seconds on the monotonic clock, and CPU seconds of the calling thread.
double WallSeconds();
double ThreadCpuSeconds();

}  // namespace bench
