#include "emulator/NetworkPrinter.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <stdexcept>
#include <vector>

namespace emulator {

namespace {

constexpr uint16_t g_dataPort = 9100;
constexpr uint16_t g_statusPort = 9101;
constexpr uint16_t g_discoveryPort = 22222;
// A status-port client that sends no request within this time is dropped, so
// a stray connection cannot pin a descriptor for ever.
constexpr auto g_statusClientLimit = std::chrono::seconds(5);

using Clock = std::chrono::steady_clock;

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

struct StatusClient {
    int fd;
    Clock::time_point deadline;
};

}  // namespace

// The front-end's sockets and what it still has to send; used by the
// printer's thread only, apart from set-up in start() and tear-down in stop().
struct NetworkPrinter::Impl {
    Impl(PrinterModel& printerModel, const Options& printerOptions) : model(printerModel), options(printerOptions) {}
    ~Impl() {
        close_fd(dataListener);
        close_fd(statusListener);
        close_fd(udp);
        close_fd(data);
        for (StatusClient& client : statusClients)
            close_fd(client.fd);
    }

    void followRefusal(const std::string& address);
    int pollTimeout(Clock::time_point now);
    void serveDiscovery();
    void acceptData(Clock::time_point now);
    void acceptStatusClient(Clock::time_point now);
    void readData(Clock::time_point now);
    void serveStatusClient(StatusClient& client, short revents, Clock::time_point now);
    void speak(Clock::time_point now);
    void flush(Clock::time_point now);
    void closeData();

    PrinterModel& model;
    const Options& options;
    int dataListener = -1;
    int statusListener = -1;
    int udp = -1;
    int data = -1;  // the current data connection
    std::vector<StatusClient> statusClients;
    std::string outgoing;          // bytes waiting to go out on the data connection
    std::string lastFrame;         // last automatic status frame sent
    Clock::time_point nextSend{};  // when split output may send its next piece
    char buffer[4096];
};

// Refusing connections means not listening at all, so connects fail at once.
void NetworkPrinter::Impl::followRefusal(const std::string& address) {
    bool refuse = model.refuseConnections();
    if (refuse && dataListener >= 0) {
        close_fd(dataListener);
        close_fd(statusListener);
    } else if (!refuse && dataListener < 0) {
        dataListener = open_listener(address, g_dataPort);
        statusListener = open_listener(address, g_statusPort);
    }
    model.reportListening(dataListener >= 0);
}

int NetworkPrinter::Impl::pollTimeout(Clock::time_point now) {
    int timeoutMs = model.printing() ? 5 : 200;
    if (!outgoing.empty() && data >= 0 && now < nextSend) {
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nextSend - now).count() + 1;
        timeoutMs = std::min<int>(timeoutMs, static_cast<int>(wait));
    }
    return timeoutMs;
}

void NetworkPrinter::Impl::serveDiscovery() {
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    ssize_t n = ::recvfrom(udp, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 0) return;
    auto reply = model.discoveryReply(std::string(buffer, static_cast<std::size_t>(n)));
    if (reply)
        ::sendto(udp, reply->data(), reply->size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), fromLength);
}

void NetworkPrinter::Impl::acceptData(Clock::time_point now) {
    int fd = ::accept4(dataListener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    // The printer serves one host at a time; a new connection replaces the old
    // one, as after a host that lost its connection and came back.
    closeData();
    data = fd;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    model.hostConnected();
    lastFrame.clear();
    nextSend = now;
    if (options.automaticStatus && !model.silent()) {
        lastFrame = model.statusFrame();
        outgoing = lastFrame;
    }
}

void NetworkPrinter::Impl::acceptStatusClient(Clock::time_point now) {
    int fd = ::accept4(statusListener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) statusClients.push_back({fd, now + g_statusClientLimit});
}

void NetworkPrinter::Impl::readData(Clock::time_point now) {
    ssize_t n = ::recv(data, buffer, sizeof buffer, 0);
    if (n > 0) {
        bool closeNow = false;
        std::size_t taken = model.admitBytes(static_cast<std::size_t>(n), closeNow);
        model.consume(buffer, taken);
        if (closeNow) closeData();
    } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        // The host closed its side: say what is left, then close ours.
        outgoing += model.takeOutput();
        nextSend = now;
        flush(now);
        closeData();
    }
}

void NetworkPrinter::Impl::serveStatusClient(StatusClient& client, short revents, Clock::time_point now) {
    bool done = now >= client.deadline;
    if (!done && (revents & (POLLIN | POLLHUP | POLLERR))) {
        ssize_t n = ::recv(client.fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            done = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
        } else if (std::memchr(buffer, 0x33, static_cast<std::size_t>(n))) {
            // A silent printer keeps the status connection open without a word.
            auto reply = model.statusPortReply();
            if (reply) {
                ::send(client.fd, reply->data(), reply->size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                done = true;
            }
        }
    }
    if (done) close_fd(client.fd);
}

// Collects what the printer has to say on the data connection: answers and
// raw bytes from the model, then a status frame if the status changed.
void NetworkPrinter::Impl::speak(Clock::time_point now) {
    // A printer gone silent does not finish what it was saying either.
    if (model.silent()) outgoing.clear();
    std::string said = model.takeOutput();
    if (data < 0) return;
    outgoing += said;
    if (options.automaticStatus && !model.silent()) {
        std::string frame = model.statusFrame();
        if (frame != lastFrame) {
            outgoing += frame;
            lastFrame = frame;
        }
    }
    flush(now);
}

// Sends what it can without blocking; split output sends one piece per pause.
void NetworkPrinter::Impl::flush(Clock::time_point now) {
    if (data < 0 || outgoing.empty() || now < nextSend) return;
    std::size_t chunk = model.splitChunk();
    std::size_t size = chunk ? std::min(chunk, outgoing.size()) : outgoing.size();
    ssize_t sent = ::send(data, outgoing.data(), size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
        outgoing.erase(0, static_cast<std::size_t>(sent));
        if (chunk) nextSend = now + model.splitPause();
    } else if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        closeData();
    }
}

void NetworkPrinter::Impl::closeData() {
    if (data < 0) return;
    close_fd(data);
    outgoing.clear();
    model.hostDisconnected();
}

NetworkPrinter::NetworkPrinter() : NetworkPrinter(Options{}) {}

NetworkPrinter::NetworkPrinter(Options options) : options_(std::move(options)) {
    model_.setModelName(options_.modelName);
    model_.setAnswerDiscovery(options_.answerDiscovery);
    model_.setPrintSpeed(options_.printSpeedBps);
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    model_.setChangeListener([this] { wake(); });
}

NetworkPrinter::~NetworkPrinter() {
    stop();
    model_.setChangeListener(nullptr);
    close_fd(wakeFd_);
}

PrinterModel& NetworkPrinter::model() { return model_; }

std::string NetworkPrinter::address() const { return address_; }

std::string NetworkPrinter::portName() const { return "TCP:" + address_; }

void NetworkPrinter::wake() {
    if (wakeFd_ < 0) return;
    uint64_t one = 1;
    ssize_t ignored = ::write(wakeFd_, &one, sizeof one);
    (void)ignored;
}

void NetworkPrinter::start() {
    if (thread_.joinable()) throw std::runtime_error("virtual printer already started");
    if (wakeFd_ < 0) throw std::runtime_error("cannot create the wake-up descriptor");
    auto impl = std::make_unique<Impl>(model_, options_);
    auto bind_all = [&](const std::string& address) {
        impl->udp = open_udp(address, g_discoveryPort);
        if (impl->udp >= 0) impl->dataListener = open_listener(address, g_dataPort);
        if (impl->dataListener >= 0) impl->statusListener = open_listener(address, g_statusPort);
        if (impl->statusListener >= 0) return true;
        close_fd(impl->udp);
        close_fd(impl->dataListener);
        return false;
    };
    // A restarted printer comes back on the address it had, like a printer
    // switched off and on again.
    std::string wanted = address_.empty() ? options_.address : address_;
    if (!wanted.empty()) {
        if (!bind_all(wanted)) throw std::runtime_error("cannot listen on " + wanted + ": " + std::strerror(errno));
        address_ = wanted;
    } else {
        std::random_device seed;
        std::mt19937 random(seed());
        std::uniform_int_distribution<int> any(0, 255), host(2, 254);
        bool bound = false;
        for (int attempt = 0; attempt < 500 && !bound; ++attempt) {
            std::string candidate = "127." + std::to_string(any(random)) + "." + std::to_string(any(random)) + "." +
                                    std::to_string(host(random));
            if (bind_all(candidate)) {
                address_ = candidate;
                bound = true;
            }
        }
        if (!bound) throw std::runtime_error("no free loopback address for the virtual printer");
    }
    impl_ = std::move(impl);
    model_.reportListening(true);
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
}

void NetworkPrinter::stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    wake();
    thread_.join();
    model_.reportListening(std::nullopt);
    if (impl_ && impl_->data >= 0) model_.hostDisconnected();
    impl_.reset();
}

void NetworkPrinter::run() {
    Impl& s = *impl_;
    while (!stopping_) {
        s.followRefusal(address_);
        Clock::time_point now = Clock::now();

        // Fixed slots first; negative descriptors are skipped by poll.
        std::vector<pollfd> fds;
        fds.push_back({wakeFd_, POLLIN, 0});
        fds.push_back({s.udp, POLLIN, 0});
        fds.push_back({s.dataListener, POLLIN, 0});
        fds.push_back({s.statusListener, POLLIN, 0});
        short dataEvents = POLLIN;
        if (!s.outgoing.empty() && now >= s.nextSend) dataEvents |= POLLOUT;
        fds.push_back({s.data, dataEvents, 0});
        for (const StatusClient& client : s.statusClients)
            fds.push_back({client.fd, POLLIN, 0});
        constexpr std::size_t firstClient = 5;

        if (::poll(fds.data(), fds.size(), s.pollTimeout(now)) < 0 && errno != EINTR) break;
        if (stopping_) break;
        now = Clock::now();

        if (fds[0].revents & POLLIN) {
            uint64_t count;
            ssize_t ignored = ::read(wakeFd_, &count, sizeof count);
            (void)ignored;
        }
        if (fds[1].revents & POLLIN) s.serveDiscovery();
        if (s.dataListener >= 0 && (fds[2].revents & POLLIN)) s.acceptData(now);
        if (s.data >= 0 && fds[4].fd == s.data && (fds[4].revents & (POLLIN | POLLHUP | POLLERR))) s.readData(now);

        const std::size_t polledClients = fds.size() - firstClient;
        for (std::size_t i = 0; i < polledClients; ++i)
            s.serveStatusClient(s.statusClients[i], fds[firstClient + i].revents, now);
        std::vector<StatusClient> open;
        for (const StatusClient& client : s.statusClients)
            if (client.fd >= 0) open.push_back(client);
        s.statusClients.swap(open);
        if (s.statusListener >= 0 && (fds[3].revents & POLLIN)) s.acceptStatusClient(now);

        if (model_.takeDropRequest()) s.closeData();
        model_.advance(now);
        s.speak(now);
    }
}

}  // namespace emulator
