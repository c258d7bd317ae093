// A bare-sockets host for talking to the virtual printer in tests, so that the
// printer's wire behaviour is checked without the library in between.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace rawhost {

inline sockaddr_in address_of(const std::string& address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    return sa;
}

// A TCP connection; fd is -1 when the connect failed.
class Connection {
public:
    Connection(const std::string& address, uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa = address_of(address, port);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            error_ = errno;
            ::close(fd_);
            fd_ = -1;
            return;
        }
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~Connection() {
        if (fd_ >= 0) ::close(fd_);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool connected() const { return fd_ >= 0; }
    int error() const { return error_; }

    void send(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return;
            done += static_cast<std::size_t>(n);
        }
    }

    // Receives until `count` bytes arrived, the peer closed, or `bound` passed.
    std::string receive(std::size_t count, std::chrono::milliseconds bound = std::chrono::seconds(5)) {
        std::string got;
        auto deadline = std::chrono::steady_clock::now() + bound;
        while (got.size() < count) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            char buffer[1024];
            std::size_t want = count - got.size() < sizeof buffer ? count - got.size() : sizeof buffer;
            ssize_t n = ::recv(fd_, buffer, want, 0);
            if (n <= 0) {
                closedByPeer_ = true;
                break;
            }
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }

    // True when the peer closed the connection within `bound` (data before it is discarded).
    bool closedWithin(std::chrono::milliseconds bound) {
        while (!closedByPeer_) {
            std::string more = receive(4096, bound);
            if (more.empty()) break;
        }
        return closedByPeer_;
    }

private:
    int fd_ = -1;
    int error_ = 0;
    bool closedByPeer_ = false;
};

// Sends one datagram and waits for one reply; empty when none came within `bound`.
inline std::string exchange_datagram(const std::string& address, uint16_t port, const std::string& request,
                                     std::chrono::milliseconds bound) {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa = address_of(address, port);
    ::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    std::string reply;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(bound.count())) == 1) {
        char buffer[1024];
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) reply.assign(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return reply;
}

inline std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values)
        out += static_cast<char>(v);
    return out;
}

}  // namespace rawhost
