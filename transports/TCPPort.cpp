// The network printer port. See TCPPort.h for the shape of the protocol.
#include "transports/TCPPort.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "core/CompletionCommands.h"
#include "core/NetworkDiscovery.h"
#include "core/StatusDecoders.h"

using quenvar::Deadline;

namespace {

constexpr uint16_t kDataPort = quenvar::DataConnectionPort;
constexpr uint16_t kStatusPort = quenvar::StatusRequestPort;

constexpr unsigned int kHeadLength = quenvar::VelmarAsbHeadLength;  // every read begins with a head's worth
constexpr unsigned int kMaxReceive = 0x7FFFFFFF;                    // largest count one send/receive reports
constexpr unsigned int kReadChunk = 0x10000;                        // most one read receives at once
constexpr unsigned int kRawMax = 63;                                // status bytes one exchange keeps in a record
constexpr unsigned int kDrainChunk = 512;                           // what one receive of a status drain takes at most
constexpr unsigned int kPort9101Receive = 256;                      // the status port's answer, one receive
constexpr unsigned int kCloseScratch = 100;                         // what one receive discards while closing
// The most of the printer's data the port keeps for the application to read.
// A printer that floods its connection must not exhaust the caller's memory:
// a status drain leaves the rest with the connection, and what a receive
// brings beyond it is dropped.
constexpr unsigned int kMostUnread = 0x10000;

constexpr int kKeepAliveIdleSeconds = 1;
constexpr int kKeepAliveIntervalSeconds = 1;
constexpr int kReceiveBufferBytes = 0x200000;

constexpr unsigned char kStatusRequest = 0x33;  // "3", asks port 9101 for the status

// Every pause of the checked-block polling.
constexpr unsigned int kPollPauseMs = 100;
// How long the rest of a frame head or an answer that arrived in pieces may
// take before the bytes held back count as data.
constexpr unsigned int kSplitHeadWaitMs = 50;
// How long closing, or a drain of what the printer sent, may take when the
// port has no time limit of its own (timeoutMs 0).
constexpr unsigned int kUnlimitedCloseWaitMs = 1000;

// fd: in, a non-blocking TCP socket. to: in, where to connect. Connects by
// `deadline` (a never-ending one leaves the bound to the system's own connect
// limit), then asks the socket whether it succeeded (a refused connection
// also makes the socket writable). 1 or 0.
int connect_by(int fd, const sockaddr_in& to, const Deadline& deadline) {
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return 1;
    if (errno != EINPROGRESS) return 0;
    if (quenvar::WaitForDescriptor(fd, POLLOUT, deadline) != 1) return 0;
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return 0;
    return error == 0 ? 1 : 0;
}

// How long the rest of a beginning held back may take to come, for a port
// with time limit `timeoutMs`.
unsigned int split_wait_ms(unsigned int timeoutMs) {
    return timeoutMs != 0 && timeoutMs < kSplitHeadWaitMs ? timeoutMs : kSplitHeadWaitMs;
}

// status: out, every field zero.
void clear_status(VelmarPrinterStatus_2* status) { memset(status, 0, sizeof *status); }

}  // namespace

// ---------------------------------------------------------------------------
// What the parser finds on the data connection, put where the port keeps it.

class TCPPort::StreamTaker : public quenvar::StatusStreamSink {
public:
    enum class Use {
        Reading,  // readPort: completion answers are data like any other reply
        Opening,  // the first thing on a new connection must be a status frame
        Status,   // status drain and checked-block receives
    };

    // awaited: in/out, the answer a checked block waits for, or null.
    StreamTaker(TCPPort& port, Use use, AwaitedAnswer* awaited = nullptr) : port_(port), use_(use), awaited_(awaited) {}

    void data(const unsigned char* bytes, std::size_t count) override {
        if (use_ == Use::Opening && !opened_) {
            broken_ = true;  // not the printer's greeting: nothing of it is data for the caller
            return;
        }
        sawData_ = true;
        port_.keepData(bytes, count, newStretch_);
        newStretch_ = false;
    }

    void statusFrame(const unsigned char* block, unsigned int length, const unsigned char* payload,
                     std::size_t payloadCount) override {
        // The printer reports its status when it changes: each frame is its
        // status until the next one.
        VelmarPrinterStatus_2 frame;
        clear_status(&frame);
        memcpy(frame.raw, block, length);
        frame.rawLength = length;
        BuildParsedStatus(&frame);
        port_.lastStatus = frame;
        newStretch_ = true;
        if (use_ == Use::Opening && !opened_) {
            // The greeting's extension answers nothing the host asked.
            if (!broken_) opened_ = true;
            return;
        }
        if (payloadCount > 0) port_.keepData(payload, payloadCount, true);
    }

    void completionAnswer(const unsigned char* answer) override {
        if (use_ == Use::Reading) {
            data(answer, quenvar::CompletionAnswerLength);
            return;
        }
        if (use_ == Use::Opening && !opened_) broken_ = true;
        // An answer of the kind the block waits for is its answer, wherever
        // it turns up; any other (a late answer to an earlier poll) is skipped.
        const bool jobEnd = answer[4] == 0x01;
        if (awaited_ != nullptr && awaited_->jobEnd == jobEnd) {
            awaited_->found = true;
            awaited_->value = answer[6];
            awaited_->afterBreak = port_.jobCut();
        }
    }

    bool sawData() const { return sawData_; }
    bool opened() const { return opened_; }
    bool broken() const { return broken_; }

private:
    TCPPort& port_;
    Use use_;
    AwaitedAnswer* awaited_;
    bool newStretch_ = true;
    bool sawData_ = false;
    bool opened_ = false;
    bool broken_ = false;
};

// ---------------------------------------------------------------------------
// Name, construction, connection

int TCPPort::matchPortName(const char* portName) {
    if (portName == nullptr) return 0;
    return strncmp(portName, "tcp:", 4) == 0 || strncmp(portName, "TCP:", 4) == 0 ? 1 : 0;
}

TCPPort::TCPPort(const char* portName, const char* portSettings, unsigned int timeoutMs)
    : nagleEnabled(strchr(portSettings, 'n') != nullptr ? 1 : 0),
      keepAliveEnabled(strchr(portSettings, 'a') != nullptr ? 0 : 1),
      address(),
      sock(-1),
      timeoutMs(timeoutMs),
      pendingOffset(0),
      pendingData(),
      pendingLength(0),
      lastStatus(),
      statusPort(0),
      streamParser(),
      receiveBuffer(),
      connectionBreaks(0),
      jobBreaks(0) {
    address.sin_family = AF_INET;
    address.sin_port = htons(kDataPort);
    address.sin_addr.s_addr = inet_addr(portName + 4);
    // inet_addr answers an unreadable address with the all-ones address; no
    // printer lives there, so there is nothing to connect to.
    if (address.sin_addr.s_addr == INADDR_NONE) throw 0u;
    if (strstr(portSettings, "9100") != nullptr)
        statusPort = kDataPort;
    else if (strstr(portSettings, "9101") != nullptr)
        statusPort = kStatusPort;
    if (getSocket(Deadline::never()) == 0) throw 0u;
}

TCPPort::~TCPPort() { gracefulClose(Deadline::never()); }

int TCPPort::getSocket(const Deadline& deadline) {
    if (connectDataSocket(deadline) == 0 || setSocketOptions() == 0 || (statusPort == 0 && runDiscovery() == 0) ||
        (statusPort == kDataPort && readOpeningStatus(deadline) == 0)) {
        gracefulClose(deadline);
        return 0;
    }
    return 1;
}

int TCPPort::connectDataSocket(const Deadline& deadline) {
    sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        sock = -1;
        return 0;
    }
    if (fcntl(sock, F_SETFL, O_NONBLOCK) != 0) return 0;
    // With no time limit (0) only a connection that completes at once is taken.
    if (connect_by(sock, address, Deadline::after(timeoutMs).earliest(deadline)) == 0) return 0;
    const int flags = fcntl(sock, F_GETFL);
    if (flags < 0 || fcntl(sock, F_SETFL, flags & ~O_NONBLOCK) != 0) return 0;
    return 1;
}

int TCPPort::setSocketOptions() {
    const int one = 1;
    if (nagleEnabled == 0 && setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) return 0;
    // One limit bounds every later blocking send and receive (zero: none).
    timeval limit{static_cast<time_t>(timeoutMs / 1000), static_cast<suseconds_t>((timeoutMs % 1000) * 1000)};
    if (setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) return 0;
    if (setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0) return 0;
    if (keepAliveEnabled == 1) {
        const int idle = kKeepAliveIdleSeconds, interval = kKeepAliveIntervalSeconds, buffer = kReceiveBufferBytes;
        if (setsockopt(sock, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0) return 0;
        if (setsockopt(sock, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) != 0) return 0;
        if (setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one) != 0) return 0;
        if (setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer) != 0) return 0;
    }
    return 1;
}

int TCPPort::runDiscovery() {
    const int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (udp < 0) return 0;
    sockaddr_in to = address;
    to.sin_port = htons(quenvar::DiscoveryPort);

    // One budget for all attempts: once it is spent, the remaining attempts
    // only look for a reply that is already there.
    const Deadline end = Deadline::after(timeoutMs);
    unsigned char reply[quenvar::DiscoveryReplyMax];
    ssize_t replied = -1;
    for (unsigned int attempt = 0; attempt < quenvar::DiscoveryAttempts && replied < 0; ++attempt) {
        (void)sendto(udp, quenvar::DiscoveryRequest, sizeof quenvar::DiscoveryRequest, MSG_NOSIGNAL,
                     reinterpret_cast<const sockaddr*>(&to), sizeof to);
        if (quenvar::WaitForDescriptor(udp, POLLIN, end) != 1) continue;
        replied = recvfrom(udp, reply, sizeof reply, MSG_DONTWAIT, nullptr, nullptr);
    }
    close(udp);

    if (replied < 0)
        statusPort = kStatusPort;  // a printer that does not answer is asked on 9101
    else
        statusPort = quenvar::StatusPortForReply(reply, static_cast<unsigned int>(replied));
    return 1;
}

int TCPPort::readOpeningStatus(const Deadline& deadline) {
    // Within the port's time limit (none for 0), and never past the block's end.
    const Deadline limit = Deadline::within(timeoutMs).earliest(deadline);
    StreamTaker taker(*this, StreamTaker::Use::Opening);
    unsigned char bytes[kHeadLength];
    while (!taker.opened()) {
        // Never past the frame: what follows it is for later calls.
        using Held = quenvar::StatusStreamParser::Held;
        const Held held = streamParser.held();
        const std::size_t room = held == Held::Frame    ? std::min(streamParser.frameBytesNeeded(), sizeof bytes)
                                 : held == Held::Prefix ? 1
                                                        : sizeof bytes;
        ssize_t got = -1;
        if (!taker.broken() && quenvar::WaitForDescriptor(sock, POLLIN, limit) == 1) {
            do {
                got = recv(sock, bytes, room, MSG_DONTWAIT);
            } while (got < 0 && errno == EINTR);
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        }
        if (got <= 0) {
            // No status frame came: none of what did is data for the caller
            // (getSocket closes the connection).
            streamParser.finish(taker);
            return 0;
        }
        streamParser.feed(bytes, static_cast<std::size_t>(got), taker);
    }
    return 1;
}

void TCPPort::gracefulClose(const Deadline& deadline, bool byChoice) {
    // The stream ends here: a beginning held back was data after all, a
    // frame cut short is lost.
    StreamTaker taker(*this, StreamTaker::Use::Reading);
    streamParser.finish(taker);
    if (sock == -1) return;
    shutdown(sock, SHUT_WR);
    // Let the printer finish and close its side, within the port's limit: a
    // printer that never closes must not hold the caller.
    const Deadline end = Deadline::after(timeoutMs != 0 ? timeoutMs : kUnlimitedCloseWaitMs).earliest(deadline);
    unsigned char scratch[kCloseScratch];
    bool printerClosed = false;
    while (!end.expired() && quenvar::WaitForDescriptor(sock, POLLIN, end) == 1) {
        const ssize_t got = recv(sock, scratch, sizeof scratch, MSG_DONTWAIT);
        printerClosed = got == 0;
        if (got <= 0 && !(got < 0 && errno == EINTR)) break;
    }
    // Only a close the port chose, answered by the printer closing its side
    // after it had read everything, has lost none of the bytes sent.
    if (!byChoice || !printerClosed) ++connectionBreaks;
    shutdown(sock, SHUT_RDWR);
    close(sock);
    sock = -1;
}

int TCPPort::writeSocket(const unsigned char* data, unsigned int size, unsigned int* written) {
    if (size > kMaxReceive) size = kMaxReceive;
    ssize_t sent;
    // MSG_NOSIGNAL: a printer that closed its side makes this send fail, and
    // never raises SIGPIPE in the application.
    do {
        sent = send(sock, data, size, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        *written = 0;
        // The send limit passed with no room: the port gives the printer up
        // of its own accord; any other failure is the connection breaking.
        gracefulClose(Deadline::never(), errno == EAGAIN || errno == EWOULDBLOCK);
        return 0;
    }
    *written = static_cast<unsigned int>(sent);
    return 1;
}

int TCPPort::readSocket(unsigned char* buffer, unsigned int size, unsigned int* read) {
    if (size > kMaxReceive) size = kMaxReceive;
    ssize_t got;
    do {
        got = recv(sock, buffer, size, 0);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        *read = 0;
        // Nothing within the receive limit: the port's own choice to give up.
        gracefulClose(Deadline::never(), errno == EAGAIN || errno == EWOULDBLOCK);
        return 0;
    }
    *read = static_cast<unsigned int>(got);
    return 1;
}

int TCPPort::receiveWaiting(unsigned char* buffer, unsigned int size, unsigned int* read, const Deadline& deadline) {
    *read = 0;
    ssize_t got;
    do {
        got = recv(sock, buffer, size, MSG_DONTWAIT);
    } while (got < 0 && errno == EINTR);
    if (got > 0) {
        *read = static_cast<unsigned int>(got);
        return 1;
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 1;
    // The printer closed its side (nothing more will come on this
    // connection), or the receive failed: the next transfer reconnects.
    gracefulClose(deadline);
    return 0;
}

int TCPPort::writePort(const unsigned char* data, unsigned int size, unsigned int* written) {
    *written = 0;
    if (sock == -1 && getSocket(Deadline::never()) == 0) return 0;
    return writeSocket(data, size, written);
}

// ---------------------------------------------------------------------------
// Reading: data and status frames share the data connection

int TCPPort::ReadPortIsVelmarAsbStatus(const unsigned char* data, unsigned int length) {
    return quenvar::IsVelmarAsbHead(data, length) ? 1 : 0;
}

int TCPPort::readPort(unsigned char* buffer, unsigned int size, unsigned int* read) {
    *read = 0;
    if (size == 0) return 0;
    for (;;) {
        // Bytes already received are handed out even while the printer
        // cannot be reached.
        if (pendingLength > 0) {
            deliverPending(buffer, size, read);
            return 1;
        }
        if (sock == -1 && getSocket(Deadline::never()) == 0) return 0;
        // A receive that ends the connection may still have left bytes.
        if (receiveForReading(size) == 0 && pendingLength == 0) return 0;
    }
}

int TCPPort::receiveForReading(unsigned int size) {
    using Held = quenvar::StatusStreamParser::Held;
    const Held held = streamParser.held();
    const unsigned int room = std::max(kHeadLength, std::min(size, kReadChunk));
    if (receiveBuffer.size() < room) receiveBuffer.resize(room);
    unsigned char* bytes = receiveBuffer.data();
    unsigned int count = 0;
    StreamTaker taker(*this, StreamTaker::Use::Reading);
    if (held == Held::Nothing) {
        // Every read begins with one receive of a head's worth; when that
        // much came, what else is already here joins it (an end of the
        // connection among it shows on the next receive).
        if (readSocket(bytes, kHeadLength, &count) == 0) return 0;
        if (count == 0) {
            gracefulClose(Deadline::never());  // the printer closed its side
            return 0;
        }
        if (count == kHeadLength && size > kHeadLength) {
            ssize_t got;
            do {
                got = recv(sock, bytes + kHeadLength, room - kHeadLength, MSG_DONTWAIT);
            } while (got < 0 && errno == EINTR);
            if (got > 0) count += static_cast<unsigned int>(got);
        }
    } else {
        // The rest of a frame gets the port's time limit; the rest of a
        // beginning only a moment, after which the bytes held are data.
        const Deadline wait =
            held == Held::Frame ? Deadline::within(timeoutMs) : Deadline::after(split_wait_ms(timeoutMs));
        if (quenvar::WaitForDescriptor(sock, POLLIN, wait) != 1) {
            if (held == Held::Prefix) {
                streamParser.flush(taker);
                return 1;
            }
            // A frame broken off leaves the stream without a known boundary:
            // drop the connection rather than hand status bytes over as data.
            gracefulClose(Deadline::never(), true);
            return 0;
        }
        if (receiveWaiting(bytes, room, &count, Deadline::never()) == 0) return 0;
    }
    streamParser.feed(bytes, count, taker);
    return 1;
}

void TCPPort::deliverPending(unsigned char* buffer, unsigned int size, unsigned int* read) {
    std::vector<unsigned char>& stretch = pendingData.front();
    const std::size_t left = stretch.size() - pendingOffset;
    const unsigned int k = left < size ? static_cast<unsigned int>(left) : size;
    memcpy(buffer, stretch.data() + pendingOffset, k);
    *read += k;
    pendingOffset += k;
    pendingLength -= k;
    if (pendingOffset == stretch.size()) {
        pendingData.pop_front();
        pendingOffset = 0;
    }
}

void TCPPort::keepData(const unsigned char* bytes, std::size_t count, bool newStretch) {
    if (pendingLength >= kMostUnread) return;
    count = std::min<std::size_t>(count, kMostUnread - pendingLength);
    if (count == 0) return;
    if (newStretch || pendingData.empty()) pendingData.emplace_back();
    pendingData.back().insert(pendingData.back().end(), bytes, bytes + count);
    pendingLength += static_cast<unsigned int>(count);
}

// ---------------------------------------------------------------------------
// Status

int TCPPort::getParsedStatus(VelmarPrinterStatus_2* status) { return takeStatus(status, Deadline::never(), nullptr); }

int TCPPort::takeStatus(VelmarPrinterStatus_2* status, const Deadline& deadline, AwaitedAnswer* awaited) {
    if (sock == -1 && getSocket(deadline) == 0) return 0;
    if (statusPort == kDataPort) {
        if (drainDataConnection(deadline, awaited) == 0) return 0;
        *status = lastStatus;
        return 1;
    }
    // The status comes from port 9101; what waits on the data connection is
    // still taken apart, so that no answer or data is lost to the request. A
    // data connection the printer closed comes back with the next transfer.
    (void)drainDataConnection(deadline, awaited);
    VelmarPrinterStatus_2 answer;
    if (requestStatusFromPort9101(&answer, deadline) == 0) return 0;
    lastStatus = answer;
    *status = lastStatus;
    return 1;
}

int TCPPort::drainDataConnection(const Deadline& deadline, AwaitedAnswer* awaited) {
    using Held = quenvar::StatusStreamParser::Held;
    // A printer that never stops sending must not hold the caller: a drain
    // takes what arrives within the port's time limit, then stops.
    const Deadline end = Deadline::after(timeoutMs != 0 ? timeoutMs : kUnlimitedCloseWaitMs).earliest(deadline);
    unsigned char bytes[kDrainChunk];
    while (sock != -1 && !end.expired()) {
        // Nothing held: only look at what is waiting. A beginning held: a
        // moment for its rest. A frame begun: the port's limit for its rest.
        const Held held = streamParser.held();
        // With the status from port 9101 nothing here is needed: data beyond
        // what the port keeps for the application stays with the connection.
        std::size_t room = sizeof bytes;
        if (statusPort == kStatusPort && held == Held::Nothing) {
            if (pendingLength >= kMostUnread) return 1;
            room = std::min<std::size_t>(room, kMostUnread - pendingLength);
        }
        const Deadline wait = held == Held::Nothing  ? Deadline::after(0)
                              : held == Held::Prefix ? Deadline::after(split_wait_ms(timeoutMs)).earliest(end)
                                                     : Deadline::within(timeoutMs).earliest(deadline);
        if (quenvar::WaitForDescriptor(sock, POLLIN, wait) != 1) {
            if (held != Held::Frame) return 1;
            if (deadline.expired()) return 0;  // the block's time is up; the frame stays for later
            gracefulClose(deadline, true);     // a frame broken off
            return 0;
        }
        unsigned int count = 0;
        if (receiveWaiting(bytes, static_cast<unsigned int>(room), &count, deadline) == 0) return 0;
        StreamTaker taker(*this, StreamTaker::Use::Status, awaited);
        streamParser.feed(bytes, count, taker);
        // In automatic mode data where the printer's status was expected
        // fails the call and starts the connection afresh; the data itself
        // is kept for readPort.
        if (statusPort == kDataPort && taker.sawData()) {
            gracefulClose(deadline, true);
            return 0;
        }
    }
    return sock != -1 ? 1 : 0;
}

int TCPPort::requestStatusFromPort9101(VelmarPrinterStatus_2* status, const Deadline& deadline) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return 0;
    sockaddr_in to = address;
    to.sin_port = htons(kStatusPort);
    unsigned char reply[kPort9101Receive];
    ssize_t got = -1;
    // The connect and the wait for the answer each take the port's limit
    // (with none, 0, as long as they take), never past the block's end.
    if (connect_by(fd, to, Deadline::within(timeoutMs).earliest(deadline)) == 1 &&
        send(fd, &kStatusRequest, 1, MSG_NOSIGNAL) == 1 &&
        quenvar::WaitForDescriptor(fd, POLLIN, Deadline::within(timeoutMs).earliest(deadline)) == 1) {
        got = recv(fd, reply, sizeof reply, 0);
    }
    close(fd);
    if (got < 0) got = 0;
    return decodePort9101Reply(reply, static_cast<unsigned int>(got), status);
}

int TCPPort::decodePort9101Reply(const unsigned char* reply, unsigned int length, VelmarPrinterStatus_2* status) {
    clear_status(status);
    if (length >= kHeadLength) {
        if (ReadPortIsVelmarAsbStatus(reply, kHeadLength) == 0) return 0;
        status->rawLength = length < kRawMax ? length : kRawMax;
        memcpy(status->raw, reply, status->rawLength);
        BuildParsedStatus(status);
        return 1;
    }
    if (length == 4) {
        // An ESC/POS automatic status block, which is the whole answer.
        if ((reply[0] & 0x90) != 0x10) return 0;
        for (unsigned int i = 1; i < 4; ++i)
            if ((reply[i] & 0x90) != 0x00) return 0;
        status->offline = (reply[0] & 0x08) ? 1 : 0;
        status->coverOpen = (reply[0] & 0x20) ? 1 : 0;
        status->receiptPaperEmpty = (reply[2] & 0x0C) ? 1 : 0;
        return 1;
    }
    return 0;
}

int TCPPort::getOnlineStatus(unsigned int* online) {
    VelmarPrinterStatus_2 status;
    if (getParsedStatus(&status) == 0) return 0;
    *online = status.offline == 0 ? 1 : 0;
    return 1;
}

int TCPPort::resetDevice() { return 0; }

// ---------------------------------------------------------------------------
// Checked blocks

int TCPPort::writeCommand(const unsigned char* command, const Deadline& deadline) {
    if (sock == -1 && getSocket(deadline) == 0) return 0;
    // The command waits for room like every send (the port's limit), never
    // past the block's end.
    if (quenvar::WaitForDescriptor(sock, POLLOUT, Deadline::within(timeoutMs).earliest(deadline)) != 1) {
        if (!deadline.expired()) gracefulClose(deadline, true);  // no room within the limit: a failed send
        return 0;
    }
    ssize_t sent;
    do {
        sent = send(sock, command, quenvar::CompletionCommandLength, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK) gracefulClose(deadline);
        return 0;
    }
    return sent == static_cast<ssize_t>(quenvar::CompletionCommandLength) ? 1 : 0;
}

void TCPPort::receiveAnswer(VelmarPrinterStatus_2* status, const Deadline& deadline, AwaitedAnswer* awaited) {
    status->rawLength = 0;
    if (sock == -1) return;  // lost in an earlier cycle: the next write reconnects
    const bool cutByDeadline = timeoutMs == 0 || deadline.remainingMs() < timeoutMs;
    if (quenvar::WaitForDescriptor(sock, POLLIN, Deadline::within(timeoutMs).earliest(deadline)) == 1) {
        unsigned int count = 0;
        if (receiveWaiting(status->raw, kRawMax, &count, deadline) == 0) return;
        status->rawLength = count;
        // Answers, frames and data in any order, any of them cut anywhere:
        // the parser keeps the stream's thread from receive to receive.
        StreamTaker taker(*this, StreamTaker::Use::Status, awaited);
        streamParser.feed(status->raw, count, taker);
    } else if (!cutByDeadline) {
        // Silent for the whole receive limit: a failed receive, which drops
        // the connection; the next command reconnects.
        gracefulClose(deadline, true);
    }
}

int TCPPort::finishBlock(VelmarPrinterStatus_2* status, const AwaitedAnswer& awaited, unsigned char success,
                         const Deadline& deadline) {
    if (awaited.value != success) return 0;
    if (writeCommand(quenvar::JobAcknowledgeCommand, deadline) == 0) status->offline = 1;
    return 1;
}

int TCPPort::endAsOffline(VelmarPrinterStatus_2* status) {
    status->offline = 1;
    return 1;
}

int TCPPort::beginCheckedBlock(VelmarPrinterStatus_2* status) {
    const int result = beginJob(status);
    // The job's bytes go over the connection as it is now.
    jobBreaks = connectionBreaks;
    return result;
}

int TCPPort::endCheckedBlock(VelmarPrinterStatus_2* status) {
    const int result = endJob(status);
    // Whatever came of it, the next job's bytes start here.
    jobBreaks = connectionBreaks;
    return result;
}

int TCPPort::beginJob(VelmarPrinterStatus_2* status) {
    const Deadline deadline = Deadline::checkedBlock(timeoutMs);
    clear_status(status);
    // A status the block's time ran out on ends the block like every other
    // exchange it could not finish; one that failed on its own fails it.
    if (takeStatus(status, deadline, nullptr) == 0) return deadline.expired() ? endAsOffline(status) : 0;
    if (status->offline == 1) return 1;  // nothing is sent to an offline printer
    if (writeCommand(quenvar::StatusPreambleCommand, deadline) == 0 ||
        writeCommand(quenvar::JobBeginCommand, deadline) == 0)
        return endAsOffline(status);
    AwaitedAnswer awaited{false, false, 0, false};
    do {
        if (writeCommand(quenvar::JobBeginPollCommand, deadline) == 0) break;
        deadline.pause(kPollPauseMs);
        receiveAnswer(status, deadline, &awaited);
        if (awaited.found) return finishBlock(status, awaited, quenvar::JobBeginAnswerSuccess, deadline);
    } while (!deadline.expired());
    return endAsOffline(status);
}

int TCPPort::endJob(VelmarPrinterStatus_2* status) {
    const Deadline deadline = Deadline::checkedBlock(timeoutMs);
    clear_status(status);
    AwaitedAnswer awaited{true, false, 0, false};
    // Once the connection the job went over has broken, bytes of the job may
    // never have reached the printer, and its answer on a new connection
    // would confirm what it never got: such a job ends as a failed exchange.
    if (jobCut() || writeCommand(quenvar::JobEndCommand, deadline) == 0) return endAsOffline(status);
    for (;;) {
        deadline.pause(kPollPauseMs);
        receiveAnswer(status, deadline, &awaited);
        if (awaited.found) return finishEnd(status, awaited, deadline);
        if (jobCut() || deadline.expired()) break;
        deadline.pause(kPollPauseMs);
        // The status call takes apart what waits on the data connection; an
        // answer among it is the one this block waits for.
        (void)takeStatus(status, deadline, &awaited);
        if (awaited.found) return finishEnd(status, awaited, deadline);
        if (status->offline == 1) return 1;
        if (jobCut() || deadline.expired() || writeCommand(quenvar::JobEndPollCommand, deadline) == 0) break;
    }
    return endAsOffline(status);
}

int TCPPort::finishEnd(VelmarPrinterStatus_2* status, const AwaitedAnswer& awaited, const Deadline& deadline) {
    if (awaited.afterBreak) return endAsOffline(status);
    return finishBlock(status, awaited, quenvar::JobEndAnswerSuccess, deadline);
}

bool TCPPort::jobCut() const { return connectionBreaks != jobBreaks; }
