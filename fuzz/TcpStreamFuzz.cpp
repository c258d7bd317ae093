// What a network printer sends on its data connection, fuzzed: the printer
// opens with a status frame and then sends the input; the port must take it
// apart without reading past a frame, losing its footing or hanging. The
// first input byte picks the read size and whether the status is taken first.
//
// The connection is a stream socket pair: connect() to the printer's data
// port is answered here (the library is linked into this program) by putting
// one end of a pair in place of the port's socket, with the printer's bytes
// already written to the other. The port reads, polls, shuts down and closes
// a real socket, with no second thread and no network: fast enough to try
// millions of inputs. A reconnection is refused, as by a printer gone.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "quenvar.h"

namespace {

const char* const kPrinterAddress = "127.0.0.9";

// The printer's side of this input's connection.
struct Printer {
    const uint8_t* data = nullptr;  // what it says after its opening status
    size_t size = 0;
    int end = -1;            // its end of the connection, once the port connected
    bool connected = false;  // it takes one connection per input
};
Printer g_printer;

void sendAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0) return;
        data += sent;
        size -= static_cast<size_t>(sent);
    }
}

bool toPrinter(const sockaddr* to, socklen_t length) {
    if (to == nullptr || length < sizeof(sockaddr_in) || to->sa_family != AF_INET) return false;
    const auto* in = reinterpret_cast<const sockaddr_in*>(to);
    return in->sin_port == htons(9100) && in->sin_addr.s_addr == inet_addr(kPrinterAddress);
}

}  // namespace

extern "C" int connect(int fd, const sockaddr* to, socklen_t length) {
    if (!toPrinter(to, length)) return static_cast<int>(syscall(SYS_connect, fd, to, length));
    if (g_printer.connected) {
        errno = ECONNREFUSED;
        return -1;
    }
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return -1;
    // The port's descriptor becomes the host's end (blocking, as a connected
    // socket the port switches back to blocking would be).
    if (dup3(pair[0], fd, O_CLOEXEC) < 0) {
        close(pair[0]);
        close(pair[1]);
        return -1;
    }
    close(pair[0]);
    static const uint8_t opening[] = {0x23, 0x80, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x00};
    sendAll(pair[1], opening, sizeof opening);
    sendAll(pair[1], g_printer.data, g_printer.size);
    shutdown(pair[1], SHUT_WR);
    g_printer.end = pair[1];
    g_printer.connected = true;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const unsigned int readSize = 1 + data[0] % 64;
    g_printer = Printer{data + 1, size - 1, -1, false};

    // "9100": status on the data connection; "a" and "n": no keep-alive and
    // no TCP_NODELAY, options a socket pair does not have.
    void* port = OpenPort((std::string("TCP:") + kPrinterAddress).c_str(), "9100an", 50);
    if (port != nullptr) {
        // Bit 7 of the first byte: take the status first (the drain reads
        // whatever waits as status frames), else read the stream as data.
        VelmarPrinterStatus_2 status;
        if ((data[0] & 0x80) && GetParsedStatusEx(port, &status, 2) == 1 && status.rawLength > sizeof status.raw)
            __builtin_trap();
        unsigned char buffer[64];
        unsigned int read = 0;
        // Each successful read moves at least one byte or one frame, so the
        // input bounds the loop; the cap only guards against a regression.
        for (size_t reads = 0; reads < size + 16; ++reads) {
            if (ReadPort(port, buffer, readSize, &read) == 0) break;
            if (read > readSize) __builtin_trap();
        }
        ClosePort(port);
    }
    if (g_printer.end >= 0) close(g_printer.end);
    return 0;
}
