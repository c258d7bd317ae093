#include "ScriptedPeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>
#include <stdexcept>

namespace tcptest {

namespace {

int listen_on(const std::string& address, uint16_t port, int type) {
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(port);
    at.sin_addr.s_addr = inet_addr(address.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        (type == SOCK_STREAM && listen(fd, 64) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

void send_all(int fd, const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t sent = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent <= 0) return;
        done += static_cast<std::size_t>(sent);
    }
}

}  // namespace

ScriptedPeer::ScriptedPeer(Script script) : script_(std::move(script)) {
    if (pipe2(wake_, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    // Any address of 127/8 is ours on Linux; a random one is very likely
    // free, and binding proves it.
    std::mt19937 random(std::random_device{}() ^ static_cast<unsigned>(getpid()));
    for (int attempt = 0; attempt < 200 && address_.empty(); ++attempt) {
        const std::string candidate = "127." + std::to_string(1 + random() % 254) + "." +
                                      std::to_string(random() % 256) + "." + std::to_string(1 + random() % 254);
        if (bindAll(candidate)) address_ = candidate;
    }
    if (address_.empty()) throw std::runtime_error("no free loopback address");
    thread_ = std::thread([this] { run(); });
}

ScriptedPeer::~ScriptedPeer() {
    stop_ = true;
    const char byte = 0;
    (void)!write(wake_[1], &byte, 1);
    thread_.join();
    for (Connection& c : connections_)
        if (c.open) close(c.fd);
    for (int fd : {dataListener_, statusListener_, udp_, wake_[0], wake_[1]})
        if (fd >= 0) close(fd);
}

bool ScriptedPeer::bindAll(const std::string& address) {
    int data = -1, status = -1, udp = -1;
    // The data port is always taken, even when nothing may listen there, so
    // that no other test claims the address.
    data = listen_on(address, 9100, SOCK_STREAM);
    if (data >= 0 && script_.statusPortReply) status = listen_on(address, 9101, SOCK_STREAM);
    if (data >= 0 && script_.discovery) udp = listen_on(address, 22222, SOCK_DGRAM);
    const bool ok = data >= 0 && (!script_.statusPortReply || status >= 0) && (!script_.discovery || udp >= 0);
    if (!ok) {
        for (int fd : {data, status, udp})
            if (fd >= 0) close(fd);
        return false;
    }
    if (!script_.listenData) {
        // Bound but not listening: a connect is refused.
        close(data);
        data = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(9100);
        at.sin_addr.s_addr = inet_addr(address.c_str());
        if (bind(data, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
            close(data);
            for (int fd : {status, udp})
                if (fd >= 0) close(fd);
            return false;
        }
    }
    dataListener_ = data;
    statusListener_ = status;
    udp_ = udp;
    return true;
}

void ScriptedPeer::run() {
    while (!stop_) {
        std::vector<pollfd> fds;
        fds.push_back({wake_[0], POLLIN, 0});
        if (script_.listenData) fds.push_back({dataListener_, POLLIN, 0});
        if (statusListener_ >= 0) fds.push_back({statusListener_, POLLIN, 0});
        if (udp_ >= 0) fds.push_back({udp_, POLLIN, 0});
        std::vector<std::size_t> indices;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (std::size_t i = 0; i < connections_.size(); ++i) {
                if (!connections_[i].open) continue;
                fds.push_back({connections_[i].fd, POLLIN, 0});
                indices.push_back(i);
            }
        }
        if (poll(fds.data(), fds.size(), 100) <= 0) continue;
        std::size_t at = 1;
        if (script_.listenData && fds[at++].revents) acceptData();
        if (statusListener_ >= 0 && fds[at++].revents) serveStatusPort();
        if (udp_ >= 0 && fds[at++].revents) answerDiscovery();
        for (std::size_t i = 0; i < indices.size(); ++i)
            if (fds[at + i].revents) readConnection(indices[i]);
    }
}

void ScriptedPeer::acceptData() {
    const int fd = accept4(dataListener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::lock_guard<std::mutex> lock(mutex_);
    // Known before the greeting goes out: a port that has read the greeting
    // may at once ask the peer to act on this connection.
    connections_.push_back({fd, {}, true});
    send_all(fd, script_.greeting);
    if (script_.maxConnections != 0 && connections_.size() >= script_.maxConnections) {
        // Stop listening but keep the address: later connects are refused.
        script_.listenData = false;
        close(dataListener_);
        dataListener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int reuse = 1;
        setsockopt(dataListener_, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(9100);
        at.sin_addr.s_addr = inet_addr(address_.c_str());
        (void)bind(dataListener_, reinterpret_cast<sockaddr*>(&at), sizeof at);
    }
    changed_.notify_all();
}

void ScriptedPeer::serveStatusPort() {
    const int fd = accept4(statusListener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    pollfd p{fd, POLLIN, 0};
    unsigned char request = 0;
    if (poll(&p, 1, 2000) == 1 && recv(fd, &request, 1, 0) == 1) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++statusRequests_;
            changed_.notify_all();
        }
        send_all(fd, script_.statusPortReply());
    }
    close(fd);
}

void ScriptedPeer::answerDiscovery() {
    unsigned char buffer[2048];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t got = recvfrom(udp_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (got < 0) return;
    const Bytes request(buffer, buffer + got);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        discoveryRequests_.push_back(request);
        changed_.notify_all();
    }
    if (const std::optional<Bytes> reply = script_.discovery(request))
        sendto(udp_, reply->data(), reply->size(), 0, reinterpret_cast<sockaddr*>(&from), length);
}

void ScriptedPeer::readConnection(std::size_t index) {
    unsigned char buffer[4096];
    int fd;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        fd = connections_[index].fd;
    }
    const ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
    Bytes snapshot;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Connection& c = connections_[index];
        if (got <= 0) {
            // The port closed its side: close ours, as a printer does.
            close(c.fd);
            c.open = false;
            changed_.notify_all();
            return;
        }
        c.received.insert(c.received.end(), buffer, buffer + got);
        snapshot = c.received;
        changed_.notify_all();
    }
    if (script_.reaction) send_all(fd, script_.reaction(index, snapshot));
}

bool ScriptedPeer::send(std::size_t connection, const Bytes& bytes) {
    int fd = -1;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_for(lock, std::chrono::seconds(5), [&] { return connections_.size() > connection; }))
            return false;
        if (!connections_[connection].open) return false;
        fd = connections_[connection].fd;
    }
    send_all(fd, bytes);
    return true;
}

void ScriptedPeer::closeConnection(std::size_t connection) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(5), [&] { return connections_.size() > connection; });
    if (connection >= connections_.size() || !connections_[connection].open) return;
    // shutdown wakes the peer thread's poll; it closes the descriptor itself.
    shutdown(connections_[connection].fd, SHUT_RDWR);
}

Bytes ScriptedPeer::received(std::size_t connection) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connection < connections_.size() ? connections_[connection].received : Bytes{};
}

std::size_t ScriptedPeer::connectionCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_.size();
}

std::vector<Bytes> ScriptedPeer::discoveryRequests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return discoveryRequests_;
}

unsigned ScriptedPeer::statusPortRequests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return statusRequests_;
}

bool ScriptedPeer::waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds bound) const {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

Bytes StatusFrame(unsigned length, unsigned char status1, unsigned char status4, const Bytes& extension) {
    Bytes frame(length, 0x00);
    frame[0] = length == 7 ? 0x0F : static_cast<unsigned char>(0x21 + 2 * (length - 8));
    frame[1] = 0x80;  // an extension length follows
    frame[2] = status1;
    frame[5] = status4;
    frame.push_back(static_cast<unsigned char>(extension.size() >> 8));
    frame.push_back(static_cast<unsigned char>(extension.size() & 0xFF));
    frame.insert(frame.end(), extension.begin(), extension.end());
    return frame;
}

Bytes ExtensionBlock(const std::string& identifier, unsigned gap, unsigned declaredLength, const Bytes& payload) {
    Bytes block(identifier.begin(), identifier.end());
    block.insert(block.end(), gap, 0x00);
    block.push_back(static_cast<unsigned char>(declaredLength >> 8));
    block.push_back(static_cast<unsigned char>(declaredLength & 0xFF));
    block.insert(block.end(), payload.begin(), payload.end());
    return block;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

}  // namespace tcptest
