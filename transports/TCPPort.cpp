// The network printer port. See TCPPort.h for the shape of the protocol.
#include "transports/TCPPort.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "core/CompletionCommands.h"
#include "core/StatusDecoders.h"

namespace {

constexpr uint16_t kDataPort = 9100;
constexpr uint16_t kStatusPort = 9101;
constexpr uint16_t kDiscoveryPort = 22222;

constexpr unsigned int kHeadLength = 7;           // first bytes of every Velmar ASB block
constexpr unsigned int kMaxReceive = 0x7FFFFFFF;  // largest count one send/receive reports
constexpr unsigned int kRawMax = 63;              // status bytes one exchange keeps in a record
constexpr unsigned int kPort9101Receive = 256;    // the status port's answer, one receive
constexpr unsigned int kCloseScratch = 100;       // what one receive discards while closing

constexpr int kKeepAliveIdleSeconds = 1;
constexpr int kKeepAliveIntervalSeconds = 1;
constexpr int kReceiveBufferBytes = 0x200000;

constexpr unsigned int kDiscoveryAttempts = 5;
constexpr unsigned int kDiscoveryReplyMax = 512;
constexpr unsigned int kDiscoveryModelOffset = 36;
// Printers that keep their status off the data connection and answer on 9101.
constexpr const char* kOnRequestModels[] = {"NXCB-KW11/12", "QRX450NET"};
// "QVL_BCAST", "RQ1.0.0", the request's own length 28, "d1".
constexpr unsigned char kDiscoveryRequest[28] = {0x51, 0x56, 0x4C, 0x5F, 0x42, 0x43, 0x41, 0x53, 0x54, 0x00,
                                                 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x52, 0x51, 0x31, 0x2E,
                                                 0x30, 0x2E, 0x30, 0x00, 0x00, 0x1C, 0x64, 0x31};

constexpr unsigned char kStatusRequest = 0x33;  // "3", asks port 9101 for the status

// Every pause of the checked-block polling.
constexpr unsigned int kPollPauseMs = 100;
// How long a status head that arrived in pieces may take to come whole.
constexpr unsigned int kSplitHeadWaitMs = 50;
// How long closing, or a drain of what the printer sent, may take when the
// port has no time limit of its own (timeoutMs 0).
constexpr unsigned int kUnlimitedCloseWaitMs = 1000;

// Waits until `fd` reports one of `events`. `unlimited` waits for ever;
// otherwise at most `waitMs` (0: only looks). 1 when ready (also on error or
// hang-up, which the next call reports), 0 when the time ran out, -1 on failure.
int wait_for_socket(int fd, short events, bool unlimited, uint64_t waitMs) {
    return quenvar::WaitForDescriptor(fd, events,
                                      unlimited ? quenvar::Deadline::never() : quenvar::Deadline::after(waitMs));
}

// fd: in, a socket whose non-blocking connect was started. Waits up to
// `timeoutMs` (or, when `unlimited`, as long as the system's own connect limit
// lets the attempt live) for it to finish, then asks the socket whether it
// succeeded (a refused connection also makes the socket writable). 1 or 0.
int finish_connect(int fd, bool unlimited, unsigned int timeoutMs) {
    if (wait_for_socket(fd, POLLOUT, unlimited, timeoutMs) != 1) return 0;
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return 0;
    return error == 0 ? 1 : 0;
}

// fd: in, a non-blocking TCP socket. to: in, where to connect. Connects within
// `timeoutMs`, or without a limit of its own when `unlimited`. 1 or 0.
int connect_within(int fd, const sockaddr_in& to, bool unlimited, unsigned int timeoutMs) {
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return 1;
    if (errno != EINPROGRESS) return 0;
    return finish_connect(fd, unlimited, timeoutMs);
}

// The big-endian 16-bit value at `bytes`.
unsigned int be16(const unsigned char* bytes) { return (static_cast<unsigned int>(bytes[0]) << 8) | bytes[1]; }

// identifier: in, the two ASCII characters that open an extension block.
// Where its payload length sits in the block (4, 5 or 6), or 0 for a block the
// printer sends without payload for the host.
unsigned int extension_payload_length_position(const unsigned char* identifier) {
    static const char* const at4[] = {"01", "02", "11", "16", "19", "50", "B0", "B1", "B2", "FF"};
    static const char* const at6[] = {"10", "12", "13", "15", "17", "18", "21",
                                      "22", "23", "24", "51", "61", "62", "A0"};
    const auto is = [identifier](const char* id) { return identifier[0] == id[0] && identifier[1] == id[1]; };
    for (const char* id : at4)
        if (is(id)) return 4;
    if (is("14")) return 5;
    for (const char* id : at6)
        if (is(id)) return 6;
    return 0;
}

// Whether the `count` (< 7) bytes at `head` could be the beginning of a status
// head, so that waiting a moment for the rest is worth it.
bool could_begin_status_head(const unsigned char* head, unsigned int count) {
    if (count == 0 || (head[0] & 0x11) != 0x01) return false;
    if (count > 1 && (head[1] & 0x91) != 0x80) return false;
    for (unsigned int i = 2; i < count; ++i)
        if ((head[i] & 0x91) != 0x00) return false;
    return true;
}

// How many of the `count` bytes at `bytes` are data before the first whole
// status head among them (all of them when there is none).
unsigned int data_before_status_head(const unsigned char* bytes, unsigned int count) {
    for (unsigned int at = 0; at + kHeadLength <= count; ++at) {
        if (TCPPort::ReadPortIsVelmarAsbStatus(bytes + at, kHeadLength) == 1 && CalculateStatusLength(bytes[at]) != 0)
            return at;
    }
    return count;
}

// A model that answers discovery but keeps its status on port 9101?
// reply, length: in, the discovery reply as received.
bool is_on_request_model(const unsigned char* reply, unsigned int length) {
    if (length <= kDiscoveryModelOffset) return false;
    const char* model = reinterpret_cast<const char*>(reply + kDiscoveryModelOffset);
    const unsigned int room = length - kDiscoveryModelOffset;
    const void* end = memchr(model, 0, room);
    if (end == nullptr) return false;  // the name never ended within the reply
    for (const char* known : kOnRequestModels)
        if (strcmp(model, known) == 0) return true;
    return false;
}

// status: out, every field zero.
void clear_status(VelmarPrinterStatus_2* status) { memset(status, 0, sizeof *status); }

}  // namespace

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
      statusPort(0) {
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
    if (getSocket() == 0) throw 0u;
}

TCPPort::~TCPPort() { gracefulClose(); }

int TCPPort::getSocket() {
    if (connectDataSocket() == 0 || setSocketOptions() == 0 || (statusPort == 0 && runDiscovery() == 0)) {
        gracefulClose();
        return 0;
    }
    if (statusPort == kStatusPort) return 1;
    // In automatic mode the printer opens every connection with its status.
    VelmarPrinterStatus_2 opening;
    if (readStatusFrame(&opening) == 0) return 0;
    BuildParsedStatus(&opening);
    lastStatus = opening;
    return 1;
}

int TCPPort::connectDataSocket() {
    sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        sock = -1;
        return 0;
    }
    if (fcntl(sock, F_SETFL, O_NONBLOCK) != 0) return 0;
    // With no time limit (0) only a connection that completes at once is taken.
    if (connect_within(sock, address, false, timeoutMs) == 0) return 0;
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
    to.sin_port = htons(kDiscoveryPort);

    // One budget for all attempts: once it is spent, the remaining attempts
    // only look for a reply that is already there.
    const uint64_t end = quenvar::MonotonicMs() + timeoutMs;
    unsigned char reply[kDiscoveryReplyMax];
    ssize_t replied = -1;
    for (unsigned int attempt = 0; attempt < kDiscoveryAttempts && replied < 0; ++attempt) {
        (void)sendto(udp, kDiscoveryRequest, sizeof kDiscoveryRequest, MSG_NOSIGNAL,
                     reinterpret_cast<const sockaddr*>(&to), sizeof to);
        const uint64_t now = quenvar::MonotonicMs();
        if (wait_for_socket(udp, POLLIN, false, now >= end ? 0 : end - now) != 1) continue;
        replied = recvfrom(udp, reply, sizeof reply, MSG_DONTWAIT, nullptr, nullptr);
    }
    close(udp);

    if (replied < 0)
        statusPort = kStatusPort;  // a printer that does not answer is asked on 9101
    else
        statusPort = is_on_request_model(reply, static_cast<unsigned int>(replied)) ? kStatusPort : kDataPort;
    return 1;
}

int TCPPort::readStatusFrame(VelmarPrinterStatus_2* frame) {
    clear_status(frame);
    // Each part's length is known in advance, so each comes whole or the
    // frame is broken: a frame the network delivers in pieces still counts.
    unsigned int count = 0;
    if (readSocket(frame->raw, kHeadLength, &count, MSG_WAITALL) == 0) return 0;
    if (count != kHeadLength) {
        gracefulClose();
        return 0;
    }
    frame->rawLength = kHeadLength;
    const int total = CalculateStatusLength(frame->raw[0]);
    if (total < static_cast<int>(kHeadLength)) {
        gracefulClose();
        return 0;
    }
    const unsigned int rest = static_cast<unsigned int>(total) - kHeadLength;
    if (rest > 0) {
        if (readSocket(frame->raw + kHeadLength, rest, &count, MSG_WAITALL) == 0) return 0;
        if (count != rest) {
            gracefulClose();
            return 0;
        }
        frame->rawLength += count;
    }
    if ((frame->raw[1] & 0x80) == 0) return 1;
    unsigned char lengthBytes[2];
    if (readSocket(lengthBytes, 2, &count, MSG_WAITALL) == 0) return 0;
    if (count != 2) {
        gracefulClose();
        return 0;
    }
    const unsigned int extension = be16(lengthBytes);
    if (extension == 0) return 1;
    std::vector<unsigned char> scratch(extension);
    if (readSocket(scratch.data(), extension, &count, MSG_WAITALL) == 0) return 0;
    if (count != extension) {
        gracefulClose();
        return 0;
    }
    return 1;
}

void TCPPort::gracefulClose() {
    if (sock == -1) return;
    shutdown(sock, SHUT_WR);
    // Let the printer finish and close its side, within the port's limit: a
    // printer that never closes must not hold the caller.
    const unsigned int waitMs = timeoutMs != 0 ? timeoutMs : kUnlimitedCloseWaitMs;
    const uint64_t end = quenvar::MonotonicMs() + waitMs;
    unsigned char scratch[kCloseScratch];
    for (;;) {
        const uint64_t now = quenvar::MonotonicMs();
        if (now >= end || wait_for_socket(sock, POLLIN, false, end - now) != 1) break;
        const ssize_t got = recv(sock, scratch, sizeof scratch, MSG_DONTWAIT);
        if (got <= 0 && !(got < 0 && errno == EINTR)) break;
    }
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
        gracefulClose();
        return 0;
    }
    *written = static_cast<unsigned int>(sent);
    return 1;
}

int TCPPort::readSocket(unsigned char* buffer, unsigned int size, unsigned int* read, int flags) {
    if (size > kMaxReceive) size = kMaxReceive;
    ssize_t got;
    do {
        got = recv(sock, buffer, size, flags);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        *read = 0;
        gracefulClose();
        return 0;
    }
    *read = static_cast<unsigned int>(got);
    return 1;
}

int TCPPort::writePort(const unsigned char* data, unsigned int size, unsigned int* written) {
    *written = 0;
    if (sock == -1 && getSocket() == 0) return 0;
    return writeSocket(data, size, written);
}

// ---------------------------------------------------------------------------
// Reading: data and status frames share the data connection

int TCPPort::ReadPortIsVelmarAsbStatus(const unsigned char* data, unsigned int length) {
    if (length != kHeadLength) return 0;
    if ((data[0] & 0x11) != 0x01 || (data[1] & 0x91) != 0x80) return 0;
    for (unsigned int i = 2; i < kHeadLength; ++i)
        if ((data[i] & 0x91) != 0x00) return 0;
    return 1;
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
        if (sock == -1 && getSocket() == 0) return 0;
        unsigned char head[kHeadLength];
        unsigned int count = 0;
        if (receiveHead(head, &count) == 0) return 0;
        if (count < kHeadLength && could_begin_status_head(head, count)) completeSplitHead(head, &count);
        // A head whose length byte is unknown begins no frame: those bytes
        // are the printer's data.
        if (ReadPortIsVelmarAsbStatus(head, count) == 0 || CalculateStatusLength(head[0]) == 0) {
            takeData(head, count, buffer, size, read);
            if (*read > 0) return 1;
            continue;
        }
        if (consumeStatusFrame(head) == 0) return 0;
    }
}

void TCPPort::deliverPending(unsigned char* buffer, unsigned int size, unsigned int* read) {
    const unsigned int k = pendingLength < size ? pendingLength : size;
    memcpy(buffer, pendingData.data() + pendingOffset, k);
    *read += k;
    pendingOffset += k;
    pendingLength -= k;
    if (pendingLength == 0) releasePending();
}

int TCPPort::receiveHead(unsigned char* head, unsigned int* count) {
    if (readSocket(head, kHeadLength, count) == 0) return 0;
    if (*count == 0) {
        // The printer closed its side: nothing more will come on this
        // connection, so end now and reconnect on the next call.
        gracefulClose();
        return 0;
    }
    return 1;
}

void TCPPort::completeSplitHead(unsigned char* head, unsigned int* count) {
    const unsigned int waitMs = timeoutMs != 0 && timeoutMs < kSplitHeadWaitMs ? timeoutMs : kSplitHeadWaitMs;
    const uint64_t end = quenvar::MonotonicMs() + waitMs;
    while (*count < kHeadLength && could_begin_status_head(head, *count)) {
        const uint64_t now = quenvar::MonotonicMs();
        if (now >= end || wait_for_socket(sock, POLLIN, false, end - now) != 1) return;
        const ssize_t got = recv(sock, head + *count, kHeadLength - *count, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) return;  // the next call reports it
        if (got > 0) *count += static_cast<unsigned int>(got);
    }
}

void TCPPort::takeData(const unsigned char* head, unsigned int count, unsigned char* buffer, unsigned int size,
                       unsigned int* read) {
    if (count == kHeadLength && size > kHeadLength) {
        // Hand the 7 bytes over together with what else is already here;
        // waiting for more would only delay bytes already received. A status
        // frame that came right behind the data stays for the next call.
        memcpy(buffer, head, kHeadLength);
        unsigned char* more = buffer + kHeadLength;
        const unsigned int room = size - kHeadLength < kMaxReceive ? size - kHeadLength : kMaxReceive;
        ssize_t got;
        do {
            got = recv(sock, more, room, MSG_DONTWAIT | MSG_PEEK);
        } while (got < 0 && errno == EINTR);
        unsigned int take = got > 0 ? data_before_status_head(more, static_cast<unsigned int>(got)) : 0;
        if (take > 0) {
            do {
                got = recv(sock, more, take, MSG_DONTWAIT);
            } while (got < 0 && errno == EINTR);
            take = got > 0 ? static_cast<unsigned int>(got) : 0;
        }
        *read = kHeadLength + take;
        return;
    }
    setPending(head, count);
}

int TCPPort::consumeStatusFrame(const unsigned char* head) {
    VelmarPrinterStatus_2 frame;
    clear_status(&frame);
    memcpy(frame.raw, head, kHeadLength);
    const unsigned int rest = static_cast<unsigned int>(CalculateStatusLength(head[0])) - kHeadLength;
    unsigned int count = 0;
    // A frame broken off midway leaves the stream without a known boundary:
    // drop the connection rather than hand status bytes over as data.
    if (rest > 0) {
        if (readSocket(frame.raw + kHeadLength, rest, &count, MSG_WAITALL) == 0) return 0;
        if (count != rest) {
            gracefulClose();
            return 0;
        }
    }
    // The printer reports its status only when it changes: this frame is its
    // current status until the next one.
    frame.rawLength = kHeadLength + rest;
    BuildParsedStatus(&frame);
    lastStatus = frame;

    unsigned char lengthBytes[2];
    if (readSocket(lengthBytes, 2, &count, MSG_WAITALL) == 0) return 0;
    if (count != 2) {
        gracefulClose();
        return 0;
    }
    const unsigned int extension = be16(lengthBytes);
    if (extension == 0) return 1;
    std::vector<unsigned char> block(extension);
    if (readSocket(block.data(), extension, &count, MSG_WAITALL) == 0) return 0;
    if (count != extension) {
        gracefulClose();
        return 0;
    }
    keepExtensionPayload(block.data(), extension);
    return 1;
}

void TCPPort::keepExtensionPayload(const unsigned char* block, unsigned int length) {
    if (length < 2) return;
    const unsigned int position = extension_payload_length_position(block);
    if (position == 0 || length < position + 2) return;
    unsigned int payload = be16(block + position);
    // A payload length running past the block is cut to what the block holds.
    const unsigned int present = length - (position + 2);
    if (payload > present) payload = present;
    if (payload > 0) setPending(block + position + 2, payload);
}

void TCPPort::setPending(const unsigned char* bytes, unsigned int count) {
    pendingData.assign(bytes, bytes + count);
    pendingOffset = 0;
    pendingLength = count;
}

void TCPPort::releasePending() {
    std::vector<unsigned char>().swap(pendingData);
    pendingOffset = 0;
    pendingLength = 0;
}

// ---------------------------------------------------------------------------
// Status

int TCPPort::getParsedStatus(VelmarPrinterStatus_2* status) {
    if (sock == -1 && getSocket() == 0) return 0;
    if (statusPort == kDataPort) {
        if (drainStatusFrames() == 0) return 0;
        *status = lastStatus;
        return 1;
    }
    drainDataConnection();
    VelmarPrinterStatus_2 answer;
    if (requestStatusFromPort9101(&answer) == 0) return 0;
    lastStatus = answer;
    *status = lastStatus;
    return 1;
}

uint64_t TCPPort::drainEndMs() const {
    // A printer that never stops sending must not hold the caller: a drain
    // takes what arrives within the port's time limit, then stops.
    return quenvar::MonotonicMs() + (timeoutMs != 0 ? timeoutMs : kUnlimitedCloseWaitMs);
}

int TCPPort::drainStatusFrames() {
    const uint64_t end = drainEndMs();
    while (sock != -1 && quenvar::MonotonicMs() < end && wait_for_socket(sock, POLLIN, false, 0) == 1) {
        VelmarPrinterStatus_2 frame;
        if (readStatusFrame(&frame) == 0) return 0;
        BuildParsedStatus(&frame);
        lastStatus = frame;
    }
    return 1;
}

void TCPPort::drainDataConnection() {
    unsigned char scratch[kRawMax];
    const uint64_t end = drainEndMs();
    while (sock != -1 && quenvar::MonotonicMs() < end && wait_for_socket(sock, POLLIN, false, 0) == 1) {
        unsigned int count = 0;
        if (readSocket(scratch, sizeof scratch, &count) == 0) return;
        if (count == 0) {
            // The printer closed the data connection; the status still comes
            // from 9101, and the next transfer reconnects.
            gracefulClose();
            return;
        }
    }
}

int TCPPort::requestStatusFromPort9101(VelmarPrinterStatus_2* status) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return 0;
    sockaddr_in to = address;
    to.sin_port = htons(kStatusPort);
    unsigned char reply[kPort9101Receive];
    ssize_t got = -1;
    // The connect and the wait for the answer are bounded by the port's limit
    // like every transfer; with no limit (0) they take as long as they take.
    const bool unlimited = timeoutMs == 0;
    if (connect_within(fd, to, unlimited, timeoutMs) == 1 && send(fd, &kStatusRequest, 1, MSG_NOSIGNAL) == 1 &&
        wait_for_socket(fd, POLLIN, unlimited, timeoutMs) == 1) {
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

int TCPPort::writeCommand(const unsigned char* command) {
    unsigned int written = 0;
    return writePort(command, quenvar::CompletionCommandLength, &written) == 1 &&
                   written == quenvar::CompletionCommandLength
               ? 1
               : 0;
}

void TCPPort::receiveAnswer(VelmarPrinterStatus_2* status, const quenvar::Deadline& deadline) {
    status->rawLength = 0;
    if (sock == -1) return;  // lost in an earlier cycle: the next write reconnects
    const uint64_t left = deadline.remainingMs();
    const bool cutByDeadline = timeoutMs == 0 || left < timeoutMs;
    const int ready = wait_for_socket(sock, POLLIN, false, cutByDeadline ? left : timeoutMs);
    if (ready == 1) {
        unsigned int count = 0;
        if (readSocket(status->raw, kRawMax, &count) == 0) return;
        status->rawLength = count;
        if (count == 0) gracefulClose();  // the printer closed its side
        if (statusPort == kDataPort) takeStatusFramesAmong(status->raw, count);
    } else if (!cutByDeadline) {
        // Silent for the whole receive limit: a failed receive, which drops
        // the connection; the next command reconnects.
        gracefulClose();
    }
}

void TCPPort::takeStatusFramesAmong(const unsigned char* bytes, unsigned int count) {
    // No completion answer contains a status head, so a head found here is
    // one of the printer's frames; the latest whole one is its status now.
    for (unsigned int at = 0; at + kHeadLength <= count; ++at) {
        if (ReadPortIsVelmarAsbStatus(bytes + at, kHeadLength) == 0) continue;
        const unsigned int total = static_cast<unsigned int>(CalculateStatusLength(bytes[at]));
        if (total < kHeadLength || at + total > count) continue;
        VelmarPrinterStatus_2 frame;
        clear_status(&frame);
        memcpy(frame.raw, bytes + at, total);
        frame.rawLength = total;
        BuildParsedStatus(&frame);
        lastStatus = frame;
    }
}

int TCPPort::beginCheckedBlock(VelmarPrinterStatus_2* status) {
    const quenvar::Deadline deadline = quenvar::Deadline::checkedBlock(timeoutMs);
    clear_status(status);
    if (getParsedStatus(status) == 0) return 0;
    if (status->offline == 1) return 1;  // nothing is sent to an offline printer
    if (writeCommand(quenvar::StatusPreambleCommand) == 0 || writeCommand(quenvar::JobBeginCommand) == 0) {
        status->offline = 1;
        return 1;
    }
    for (;;) {
        if (writeCommand(quenvar::JobBeginPollCommand) == 0) break;
        deadline.pause(kPollPauseMs);
        receiveAnswer(status, deadline);
        unsigned char value = 0;
        if (quenvar::FindJobBeginAnswer(status->raw, status->rawLength, &value)) {
            if (value != quenvar::JobBeginAnswerSuccess) return 0;
            if (writeCommand(quenvar::JobAcknowledgeCommand) == 0) status->offline = 1;
            return 1;
        }
        if (deadline.expired()) break;
    }
    status->offline = 1;
    return 1;
}

int TCPPort::endCheckedBlock(VelmarPrinterStatus_2* status) {
    const quenvar::Deadline deadline = quenvar::Deadline::checkedBlock(timeoutMs);
    clear_status(status);
    if (writeCommand(quenvar::JobEndCommand) == 0) {
        status->offline = 1;
        return 1;
    }
    for (;;) {
        deadline.pause(kPollPauseMs);
        receiveAnswer(status, deadline);
        unsigned char value = 0;
        if (quenvar::FindJobEndAnswer(status->raw, status->rawLength, &value)) {
            if (value != quenvar::JobEndAnswerSuccess) return 0;
            if (writeCommand(quenvar::JobAcknowledgeCommand) == 0) status->offline = 1;
            return 1;
        }
        if (deadline.expired()) break;
        deadline.pause(kPollPauseMs);
        (void)getParsedStatus(status);
        if (status->offline == 1) return 1;
        if (deadline.expired() || writeCommand(quenvar::JobEndPollCommand) == 0) break;
    }
    status->offline = 1;
    return 1;
}
