// What a network printer sends on its data connection, fuzzed: a peer on a
// loopback address plays the printer, opens with a status frame and then
// sends the input; the port must take it apart without reading past a frame,
// losing its footing or hanging. The first input byte picks the read size and whether the status is
// taken first.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <thread>

#include "quenvar.h"

namespace {

// A listening socket on port 9100 of a free 127.x.y.z, made once per process.
struct FakePrinterAddress {
    int listener = -1;
    std::string address;

    FakePrinterAddress() {
        std::random_device seed;
        std::mt19937 random(seed());
        for (int attempt = 0; attempt < 200 && listener < 0; ++attempt) {
            const std::string candidate = "127." + std::to_string(random() % 256) + "." +
                                          std::to_string(random() % 256) + "." + std::to_string(2 + random() % 253);
            // Non-blocking, so that clearing the backlog never waits.
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            sockaddr_in at{};
            at.sin_family = AF_INET;
            at.sin_port = htons(9100);
            at.sin_addr.s_addr = inet_addr(candidate.c_str());
            const int one = 1;
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            if (bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 && listen(fd, 4) == 0) {
                listener = fd;
                address = candidate;
            } else {
                close(fd);
            }
        }
        if (listener < 0) std::perror("no free loopback address for port 9100");
    }
};

void sendAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0) return;
        data += sent;
        size -= static_cast<size_t>(sent);
    }
}

// The printer: opening status, the input, then it closes its side and waits
// for the host to close.
void playPrinter(int listener, const uint8_t* data, size_t size) {
    pollfd ready{listener, POLLIN, 0};
    if (poll(&ready, 1, 2000) != 1) return;
    const int connection = accept(listener, nullptr, nullptr);
    if (connection < 0) return;
    static const uint8_t opening[] = {0x23, 0x80, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x00};
    sendAll(connection, opening, sizeof opening);
    sendAll(connection, data, size);
    shutdown(connection, SHUT_WR);
    char sink[256];
    while (recv(connection, sink, sizeof sink, 0) > 0) {}
    close(connection);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static FakePrinterAddress printer;
    if (printer.listener < 0 || size == 0) return 0;
    const unsigned int readSize = 1 + data[0] % 64;
    std::thread peer(playPrinter, printer.listener, data + 1, size - 1);

    // "9100": status comes on the data connection; "a": no keep-alive set-up.
    void* port = OpenPort(("TCP:" + printer.address).c_str(), "9100a", 50);
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
    peer.join();
    // Connections the port opened again after the printer closed its side
    // wait in the backlog; they must not meet the next input.
    for (int stale; (stale = accept(printer.listener, nullptr, nullptr)) >= 0;)
        close(stale);
    return 0;
}
