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

int listen_on(const std::string& address) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(9100);
    at.sin_addr.s_addr = inet_addr(address.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(fd, 64) != 0) {
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
        dataListener_ = listen_on(candidate);
        if (dataListener_ >= 0) address_ = candidate;
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
    for (int fd : {dataListener_, wake_[0], wake_[1]})
        if (fd >= 0) close(fd);
}

void ScriptedPeer::run() {
    while (!stop_) {
        std::vector<pollfd> fds;
        fds.push_back({wake_[0], POLLIN, 0});
        fds.push_back({dataListener_, POLLIN, 0});
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
        const std::size_t at = 2;
        if (fds[1].revents) acceptData();
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
    changed_.notify_all();
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
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

}  // namespace tcptest
