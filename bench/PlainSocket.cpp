#include "PlainSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace bench {

namespace {

sockaddr_in address_of(const std::string& address, unsigned short port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &to.sin_addr);
    return to;
}

class Transport {
public:
    virtual ~Transport() = default;
    virtual long write(int fd, const unsigned char* data, std::size_t size) = 0;
};

class SocketTransport final : public Transport {
public:
    long write(int fd, const unsigned char* data, std::size_t size) override {
        ssize_t sent;
        do {
            sent = send(fd, data, size, MSG_NOSIGNAL);
        } while (sent < 0 && errno == EINTR);
        return static_cast<long>(sent);
    }
};

SocketTransport g_socketTransport;
// Read through a volatile pointer so that the call stays virtual, as a call
// on a port handle is.
Transport* volatile g_transport = &g_socketTransport;

double seconds_of(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace

int PlainConnect(const std::string& address, unsigned short port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const sockaddr_in to = address_of(address, port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int SetPortOptions(int fd, unsigned int timeoutMs) {
    const int one = 1, idle = 1, interval = 1, buffer = 0x200000;
    const timeval limit{static_cast<time_t>(timeoutMs / 1000), static_cast<suseconds_t>((timeoutMs % 1000) * 1000)};
    return setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0 &&
                   setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0 &&
                   setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0 &&
                   setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) == 0 &&
                   setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) == 0 &&
                   setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one) == 0 &&
                   setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer) == 0
               ? 1
               : 0;
}

int SendAll(int fd, const unsigned char* data, std::size_t size, std::size_t chunk) {
    std::size_t offset = 0;
    while (offset < size) {
        const std::size_t want = size - offset < chunk ? size - offset : chunk;
        const ssize_t sent = send(fd, data + offset, want, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return 0;
        offset += static_cast<std::size_t>(sent);
    }
    return 1;
}

long LayeredSend(int fd, const unsigned char* data, std::size_t size) {
    if (fd < 0 || (data == nullptr && size > 0)) return -1;
    try {
        return g_transport->write(fd, data, size);
    } catch (...) {
        return -1;
    }
}

int ReceiveExactly(int fd, unsigned char* buffer, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = recv(fd, buffer + got, size - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        got += static_cast<std::size_t>(n);
    }
    return 1;
}

int ReadOpeningStatus(int fd) {
    // The virtual printer's frame: a 9-byte status block (header 0x23) and
    // an empty extension, 00 00.
    unsigned char frame[11];
    return ReceiveExactly(fd, frame, sizeof frame);
}

int DiscoveryRoundTrip(const std::string& address, unsigned int timeoutMs) {
    static const unsigned char request[28] = {0x51, 0x56, 0x4C, 0x5F, 0x42, 0x43, 0x41, 0x53, 0x54, 0x00,
                                              0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x52, 0x51, 0x31, 0x2E,
                                              0x30, 0x2E, 0x30, 0x00, 0x00, 0x1C, 0x64, 0x31};
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    const sockaddr_in to = address_of(address, 22222);
    unsigned char reply[512];
    int replied = 0;
    if (sendto(fd, request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
        static_cast<ssize_t>(sizeof request)) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeoutMs)) == 1 && recv(fd, reply, sizeof reply, 0) > 0) replied = 1;
    }
    close(fd);
    return replied;
}

std::size_t ResidentBytes() {
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr) return 0;
    unsigned long size = 0, resident = 0;
    const int fields = std::fscanf(statm, "%lu %lu", &size, &resident);
    std::fclose(statm);
    return fields == 2 ? resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE)) : 0;
}

double WallSeconds() { return seconds_of(CLOCK_MONOTONIC); }
double ThreadCpuSeconds() { return seconds_of(CLOCK_THREAD_CPUTIME_ID); }

}  // namespace bench
