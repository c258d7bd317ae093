#include "emulator/NetworkPrinter.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <stdexcept>

namespace emulator {

namespace {

constexpr uint16_t g_dataPort = 9100;
constexpr uint16_t g_statusPort = 9101;
constexpr uint16_t g_discoveryPort = 22222;
constexpr uint8_t g_statusRequest = 0x33;
// A status-port client that sends no request within this time is dropped, so
// a stray connection cannot pin a descriptor for ever.
constexpr auto g_statusClientLimit = std::chrono::seconds(5);

void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

sockaddr_in make_address(const std::string& address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1)
        throw std::runtime_error("not an IPv4 address: " + address);
    return sa;
}

int open_listener(const std::string& address, uint16_t port) {
    sockaddr_in sa = make_address(address, port);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    // Lets a restarted printer listen again while old connections linger in
    // TIME_WAIT; Linux still refuses a second listener on the same address.
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 16) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int open_udp(const std::string& address, uint16_t port) {
    sockaddr_in sa = make_address(address, port);
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

NetworkPrinter::NetworkPrinter() : NetworkPrinter(Options{}) {}

NetworkPrinter::NetworkPrinter(Options options, std::shared_ptr<PrinterModel> model)
    : StreamFrontEnd(std::move(model)), options_(std::move(options)), answerDiscovery_(options_.answerDiscovery) {
    this->model().setModelName(options_.modelName);
    this->model().setPrintSpeed(options_.printSpeedBps);
}

NetworkPrinter::~NetworkPrinter() { stop(); }

std::string NetworkPrinter::address() const { return address_; }

std::string NetworkPrinter::portName() const { return "TCP:" + address_; }

bool NetworkPrinter::bindAll(const std::string& address) {
    udp_ = open_udp(address, g_discoveryPort);
    if (udp_ >= 0) dataListener_ = open_listener(address, g_dataPort);
    if (dataListener_ >= 0) statusListener_ = open_listener(address, g_statusPort);
    if (statusListener_ >= 0) return true;
    closeSockets();
    return false;
}

void NetworkPrinter::closeSockets() {
    close_fd(dataListener_);
    close_fd(statusListener_);
    close_fd(udp_);
    for (StatusClient& client : statusClients_)
        close_fd(client.fd);
    statusClients_.clear();
}

void NetworkPrinter::start() {
    if (threadRunning()) throw std::runtime_error("virtual printer already started");
    stop();  // a thread that ended by itself is joined first
    // A restarted printer comes back on the address it had, like a printer
    // switched off and on again.
    std::string wanted = address_.empty() ? options_.address : address_;
    if (!wanted.empty()) {
        if (!bindAll(wanted)) throw std::runtime_error("cannot listen on " + wanted + ": " + std::strerror(errno));
        address_ = wanted;
    } else {
        std::random_device seed;
        std::mt19937 random(seed());
        std::uniform_int_distribution<int> any(0, 255), host(2, 254);
        for (int attempt = 0; attempt < 500 && address_.empty(); ++attempt) {
            std::string candidate = "127." + std::to_string(any(random)) + "." + std::to_string(any(random)) + "." +
                                    std::to_string(host(random));
            if (bindAll(candidate)) address_ = candidate;
        }
        if (address_.empty()) throw std::runtime_error("no free loopback address for the virtual printer");
    }
    try {
        startThread();
    } catch (...) {
        closeSockets();
        throw;
    }
}

void NetworkPrinter::stop() {
    stopThread();
    closeSockets();
}

// ---- Settings and records ----

void NetworkPrinter::setRefuseConnections(bool on) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        refuse_ = on;
    }
    // The thread opens and closes the listeners: wait for it, so a connect
    // right after this call sees the new state.
    settle();
}

bool NetworkPrinter::refuseConnections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return refuse_;
}

void NetworkPrinter::setAnswerDiscovery(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    answerDiscovery_ = on;
}

void NetworkPrinter::setDiscoveryReply(std::optional<std::string> bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    discoveryReplyOverride_ = std::move(bytes);
}

void NetworkPrinter::setStatusPortEscpos(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    statusPortEscpos_ = on;
}

void NetworkPrinter::setStatusPortReply(std::optional<std::string> bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    statusPortReplyOverride_ = std::move(bytes);
}

std::vector<std::string> NetworkPrinter::discoveryRequests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return discoveryRequests_;
}

unsigned NetworkPrinter::statusPortRequests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return statusRequests_;
}

// ---- Status frames ----

std::string NetworkPrinter::statusFrame() { return model().velmarStatusBlock() + std::string(2, '\0'); }

std::string NetworkPrinter::statusFrameWithExtension(const std::string& identifier, const std::string& payload,
                                                     int declaredPayloadLength) {
    return EncodeExtensionFrame(model().velmarStatusBlock(), identifier, payload, declaredPayloadLength);
}

void NetworkPrinter::sendExtensionData(const std::string& payload, const std::string& identifier) {
    model().sendRaw(statusFrameWithExtension(identifier, payload));
}

// ---- On the printer's thread ----

std::string NetworkPrinter::statusReport() { return options_.automaticStatus ? statusFrame() : std::string(); }

// Refusing connections means not listening at all, so connects fail at once.
void NetworkPrinter::beforePoll(Clock::time_point) {
    bool refuse = refuseConnections();
    if (refuse && dataListener_ >= 0) {
        close_fd(dataListener_);
        close_fd(statusListener_);
    } else if (!refuse && dataListener_ < 0) {
        dataListener_ = open_listener(address_, g_dataPort);
        statusListener_ = open_listener(address_, g_statusPort);
    }
}

void NetworkPrinter::addDescriptors(std::vector<pollfd>& fds) {
    fds.push_back({udp_, POLLIN, 0});
    fds.push_back({dataListener_, POLLIN, 0});
    fds.push_back({statusListener_, POLLIN, 0});
    for (const StatusClient& client : statusClients_)
        fds.push_back({client.fd, POLLIN, 0});
}

void NetworkPrinter::serveDescriptors(const pollfd* fds, std::size_t count, Clock::time_point now) {
    constexpr std::size_t firstClient = 3;
    if (fds[0].revents & POLLIN) serveDiscovery();
    if (dataListener_ >= 0 && (fds[1].revents & POLLIN)) acceptData(now);

    for (std::size_t i = 0; i + firstClient < count; ++i)
        serveStatusClient(statusClients_[i], fds[firstClient + i].revents, now);
    std::vector<StatusClient> open;
    for (const StatusClient& client : statusClients_)
        if (client.fd >= 0) open.push_back(client);
    statusClients_.swap(open);

    if (statusListener_ >= 0 && (fds[2].revents & POLLIN)) {
        int fd = ::accept4(statusListener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) statusClients_.push_back({fd, now + g_statusClientLimit});
    }
}

void NetworkPrinter::serveDiscovery() {
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    ssize_t n = ::recvfrom(udp_, buffer_, sizeof buffer_, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 0) return;
    auto reply = discoveryReply(std::string(buffer_, static_cast<std::size_t>(n)));
    if (reply)
        ::sendto(udp_, reply->data(), reply->size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), fromLength);
}

// The printer serves one host at a time; a new connection replaces the old
// one, as after a host that lost its connection and came back.
void NetworkPrinter::acceptData(Clock::time_point now) {
    int fd = ::accept4(dataListener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    attachHost(fd, now);
}

void NetworkPrinter::serveStatusClient(StatusClient& client, short revents, Clock::time_point now) {
    bool done = now >= client.deadline;
    if (!done && (revents & (POLLIN | POLLHUP | POLLERR))) {
        ssize_t n = ::recv(client.fd, buffer_, sizeof buffer_, 0);
        if (n <= 0) {
            done = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
        } else if (std::memchr(buffer_, g_statusRequest, static_cast<std::size_t>(n))) {
            // A silent printer keeps the status connection open without a word.
            auto reply = statusPortReply();
            if (reply) {
                ::send(client.fd, reply->data(), reply->size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                done = true;
            }
        }
    }
    if (done) close_fd(client.fd);
}

std::optional<std::string> NetworkPrinter::discoveryReply(const std::string& request) {
    const bool silent = model().silent();
    const std::string name = model().modelName();
    std::lock_guard<std::mutex> lock(mutex_);
    discoveryRequests_.push_back(request);
    if (!IsDiscoveryRequest(request) || !answerDiscovery_ || silent) return std::nullopt;
    if (discoveryReplyOverride_) return discoveryReplyOverride_;
    return EncodeDiscoveryReply(name);
}

std::optional<std::string> NetworkPrinter::statusPortReply() {
    const bool silent = model().silent();
    const PrinterStatus status = model().status();
    std::lock_guard<std::mutex> lock(mutex_);
    ++statusRequests_;
    if (silent) return std::nullopt;
    if (statusPortReplyOverride_) return statusPortReplyOverride_;
    return statusPortEscpos_ ? EncodeEscposAutomaticStatus(status) : EncodeVelmarStatus(status);
}

}  // namespace emulator
