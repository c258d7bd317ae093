// The serial printer port. See SerPort.h for what each operation promises.
#include "transports/SerPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/CompletionCommands.h"
#include "core/RealTimeStatus.h"

namespace {

constexpr unsigned int kMaxWrite = 40;         // bytes one writePort call sends
constexpr unsigned int kReadStepMs = 20;       // a read looks for input this often
constexpr unsigned int kRawMax = 63;           // reply bytes one status read keeps
constexpr unsigned int kClearingBytes = 2503;  // zero bytes that end any unfinished printer command
constexpr unsigned int kResetPulseMs = 10;     // how long DTR stays down
constexpr unsigned int kBeginPollPauseMs = 200;
constexpr unsigned int kEndPollPauseMs = 100;
constexpr unsigned char kEsc = 0x1B;

constexpr unsigned int kStatusQueryLength = quenvar::CompletionCommandLength + quenvar::RealTimeRequestLength;

// The status query of a job end cycle, one call: the status preamble, then
// DLE EOT 1, whose reply byte tells whether the printer went offline.
struct StatusQuery {
    unsigned char bytes[kStatusQueryLength];
    StatusQuery() {
        std::memcpy(bytes, quenvar::StatusPreambleCommand, quenvar::CompletionCommandLength);
        std::memcpy(bytes + quenvar::CompletionCommandLength, quenvar::MakeRealTimeRequest(1).bytes,
                    quenvar::RealTimeRequestLength);
    }
};

// The line as the settings string asks for it.
struct LineSettings {
    speed_t speed;
    char parity;  // 'n', 'e' or 'o'
    int dataBits;
    int stopBits;
    char flow;  // 'n' or 'h'
};

// The seven rates a serial printer is set to, and their terminal speeds.
constexpr struct {
    long baud;
    speed_t speed;
} kBaudRates[] = {{2400, B2400},   {4800, B4800},   {9600, B9600},    {19200, B19200},
                  {38400, B38400}, {57600, B57600}, {115200, B115200}};

bool speed_of(long baud, speed_t* speed) {
    for (const auto& rate : kBaudRates) {
        if (rate.baud != baud) continue;
        *speed = rate.speed;
        return true;
    }
    return false;
}

// settings: in, "baud,parity,data bits,stop bits,flow". Each number is read
// from the start of its field, each letter is its field's first character;
// the rest of a field, and everything after the flow letter, is ignored.
// line: out, valid when the result is true.
bool parse_settings(const char* settings, LineSettings* line) {
    const char* field[5] = {settings, nullptr, nullptr, nullptr, nullptr};
    for (int i = 1; i < 5; ++i) {
        const char* comma = std::strchr(field[i - 1], ',');
        if (comma == nullptr) return false;
        field[i] = comma + 1;
    }
    if (!speed_of(std::strtol(field[0], nullptr, 10), &line->speed)) return false;
    line->parity = field[1][0];
    if (line->parity != 'n' && line->parity != 'e' && line->parity != 'o') return false;
    line->dataBits = static_cast<int>(std::strtol(field[2], nullptr, 10));
    if (line->dataBits != 7 && line->dataBits != 8) return false;
    line->stopBits = static_cast<int>(std::strtol(field[3], nullptr, 10));
    if (line->stopBits != 1 && line->stopBits != 2) return false;
    line->flow = field[4][0];
    return line->flow == 'n' || line->flow == 'h';
}

// attributes: in/out, the device's attributes as read; only the flags the
// line settings decide are changed.
void apply_line_settings(const LineSettings& line, termios* attributes) {
    attributes->c_cflag |= CREAD | CLOCAL;
    if (line.parity == 'n') {
        attributes->c_cflag &= ~PARENB;
    } else {
        attributes->c_cflag |= PARENB;
        if (line.parity == 'o')
            attributes->c_cflag |= PARODD;
        else
            attributes->c_cflag &= ~PARODD;
        attributes->c_iflag |= INPCK | ISTRIP;
    }
    attributes->c_cflag = (attributes->c_cflag & ~CSIZE) | (line.dataBits == 8 ? CS8 : CS7);
    if (line.stopBits == 2)
        attributes->c_cflag |= CSTOPB;
    else
        attributes->c_cflag &= ~CSTOPB;
    // The driver does no flow control either way: flow h only makes writes
    // ask for DSR first.
    attributes->c_cflag &= ~CRTSCTS;
    attributes->c_iflag &= ~(IXON | IXOFF | IXANY);
    attributes->c_lflag &= ~(ISIG | ICANON | ECHO | ECHOE);
    attributes->c_oflag &= ~OPOST;
    // Printer replies are binary: a 0D in a job answer must reach the host as
    // 0D, not as 0A, and no byte may be dropped or changed on the way in.
    attributes->c_iflag &= ~(ICRNL | INLCR | IGNCR);
#ifdef IUCLC
    attributes->c_iflag &= ~IUCLC;
#endif
}

void clear_status(VelmarPrinterStatus_2* status) { std::memset(status, 0, sizeof *status); }

// The outcome of a status that could not be had, as the checked blocks and
// the real-time sequence report it.
void set_offline_unknown(VelmarPrinterStatus_2* status) {
    status->offline = 1;
    status->coverOpen = 0;
    status->receiptPaperEmpty = 0;
}

}  // namespace

int SerPort::matchPortName(const char* portName) {
    return portName != nullptr && std::strncmp(portName, "/dev/tty", 8) == 0 ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Construction

SerPort::SerPort(const char* portName, const char* portSettings, unsigned int timeoutMs)
    : flowControl('n'), fd(-1), timeoutMs(timeoutMs) {
    if (portName == nullptr || portSettings == nullptr) throw 0u;
    fd = ::open(portName, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) throw 0u;
    tcflush(fd, TCIFLUSH);
    LineSettings line{};
    termios attributes{};
    if (!parse_settings(portSettings, &line) || tcgetattr(fd, &attributes) != 0 ||
        cfsetispeed(&attributes, line.speed) != 0 || cfsetospeed(&attributes, line.speed) != 0) {
        ::close(fd);
        throw 0u;
    }
    flowControl = line.flow;
    apply_line_settings(line, &attributes);
    if (tcsetattr(fd, TCSANOW, &attributes) != 0) {
        ::close(fd);
        throw 0u;
    }
}

SerPort::~SerPort() { ::close(fd); }

// ---------------------------------------------------------------------------
// Reading and writing

int SerPort::readPort(unsigned char* buf, unsigned int size, unsigned int* read) {
    return readWithin(buf, size, read, quenvar::Deadline::never());
}

int SerPort::readWithin(unsigned char* buf, unsigned int size, unsigned int* read, const quenvar::Deadline& deadline) {
    // The wait is counted in steps, not by the clock: a read waits at most
    // timeoutMs / 20 steps, and stops at the first step that brought nothing
    // new once bytes are there.
    unsigned int available = 0;
    unsigned int remaining = timeoutMs;
    while (remaining != 0 && !deadline.expired()) {
        const unsigned int previous = available;
        int waiting = 0;
        if (::ioctl(fd, FIONREAD, &waiting) != 0) return 0;
        available = waiting > 0 ? static_cast<unsigned int>(waiting) : 0;
        if (available >= size) break;
        if (available != 0 && available == previous) break;
        deadline.pause(kReadStepMs);
        remaining = remaining > kReadStepMs ? remaining - kReadStepMs : 0;
    }
    ssize_t got;
    do {
        got = ::read(fd, buf, size);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        *read = 0;
        return 0;
    }
    *read = static_cast<unsigned int>(got);
    return 1;
}

ssize_t SerPort::writeOnce(const unsigned char* bytes, unsigned int length) {
    ssize_t sent;
    do {
        sent = ::write(fd, bytes, length);
    } while (sent < 0 && errno == EINTR);
    return sent;
}

int SerPort::writePort(const unsigned char* buf, unsigned int size, unsigned int* written) {
    if (flowControl == 'h') {
        int lines = 0;
        if (::ioctl(fd, TIOCMGET, &lines) != 0) {
            *written = 0;
            return 0;
        }
        if ((lines & TIOCM_DSR) == 0) {
            // The printer is not ready: nothing is sent, and the caller tries
            // again later.
            *written = 0;
            return 1;
        }
    }
    if (size > kMaxWrite) size = kMaxWrite;
    ssize_t sent = writeOnce(buf, size);
    if (sent < 0 && errno == EAGAIN && timeoutMs != 0 &&
        quenvar::WaitForDescriptor(fd, POLLOUT, quenvar::Deadline::after(timeoutMs)) == 1) {
        // A drained line always has room; a device that does not drain (a
        // pseudo-terminal whose reader fell behind) gets the port's time limit.
        sent = writeOnce(buf, size);
    }
    if (sent < 0) {
        *written = 0;
        return 0;
    }
    // The bytes are the device's now: even when the drain fails, the caller
    // learns how many went, so it never sends them a second time.
    *written = static_cast<unsigned int>(sent);
    int drained;
    do {
        drained = tcdrain(fd);
    } while (drained != 0 && errno == EINTR);
    return drained == 0 ? 1 : 0;
}

int SerPort::getOnlineStatus(unsigned int* online) {
    int lines = 0;
    if (::ioctl(fd, TIOCMGET, &lines) != 0) return 0;
    *online = (lines & TIOCM_DSR) != 0 ? 1 : 0;
    return 1;
}

int SerPort::resetDevice() {
    // DSR is the printer's line; the host can only drive its own DTR, which a
    // null-modem cable brings to the printer's DSR input.
    int lines = 0;
    if (::ioctl(fd, TIOCMGET, &lines) != 0) return 0;
    lines &= ~TIOCM_DTR;
    if (::ioctl(fd, TIOCMSET, &lines) != 0) return 0;
    quenvar::PauseMs(kResetPulseMs);
    lines |= TIOCM_DTR;
    if (::ioctl(fd, TIOCMSET, &lines) != 0) return 0;
    return 1;
}

// ---------------------------------------------------------------------------
// Status

unsigned int SerPort::writeDirect(const unsigned char* bytes, unsigned int length) {
    const ssize_t sent = writeOnce(bytes, length);
    return sent > 0 ? static_cast<unsigned int>(sent) : 0;
}

bool SerPort::writeCommand(const unsigned char* command, unsigned int length) {
    unsigned int written = 0;
    return writePort(command, length, &written) == 1 && written == length;
}

int SerPort::SerGetParsedStatusWithClear(VelmarPrinterStatus_2* status) {
    clear_status(status);
    static const unsigned char zeros[kClearingBytes] = {};
    return writeDirect(zeros, kClearingBytes) == kClearingBytes ? 1 : 0;
}

bool SerPort::readOrClear(VelmarPrinterStatus_2* status, unsigned char* place, unsigned int size, unsigned int* count,
                          const quenvar::Deadline& deadline) {
    if (readWithin(place, size, count, deadline) == 1) return true;
    // No reply: the printer may be stuck inside a command waiting for its
    // parameters. The zero bytes end it; its next words are read once.
    if (SerGetParsedStatusWithClear(status) == 1) (void)readWithin(place, size, count, deadline);
    return false;
}

int SerPort::getParsedStatus(VelmarPrinterStatus_2* status) {
    return getParsedStatusWithin(status, quenvar::Deadline::never());
}

int SerPort::getParsedStatusWithin(VelmarPrinterStatus_2* status, const quenvar::Deadline& deadline) {
    clear_status(status);
    unsigned int written = 0;
    if (writePort(quenvar::StatusPreambleCommand, quenvar::CompletionCommandLength, &written) == 0) return 0;
    for (const unsigned char n : quenvar::RealTimeStatusSequence) {
        const quenvar::RealTimeRequest request = quenvar::MakeRealTimeRequest(n);
        // Only the reply to this request is its status: bytes still on the
        // line from before (a job end answer that came after its block gave
        // up, noise) would be read as the reply and misreport the printer.
        (void)tcflush(fd, TCIFLUSH);
        if (writeDirect(request.bytes, quenvar::RealTimeRequestLength) < quenvar::RealTimeRequestLength) return 0;
        if (!readOrClear(status, status->raw, kRawMax, &status->rawLength, deadline)) return 0;
        if (status->rawLength == 0) return 0;
        switch (quenvar::ApplyRealTimeStatusByte(n, status->raw[0], status)) {
        case quenvar::RealTimeStep::BadByte:
            set_offline_unknown(status);
            return 1;
        case quenvar::RealTimeStep::Online:
        case quenvar::RealTimeStep::Done:
            return 1;
        case quenvar::RealTimeStep::Next:
            break;
        }
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Checked blocks

int SerPort::beginCheckedBlock(VelmarPrinterStatus_2* status) {
    const quenvar::Deadline deadline = quenvar::Deadline::checkedBlock(timeoutMs);
    clear_status(status);
    // The status read shares the block's bound: counted in steps alone, its
    // reads would run past the bound on a machine too busy to keep the steps short.
    if (getParsedStatusWithin(status, deadline) == 0) status->offline = 1;
    if (status->offline == 1) return 1;  // nothing is sent to an offline printer
    if (!writeCommand(quenvar::JobBeginCommand, quenvar::CompletionCommandLength)) {
        status->offline = 1;
        return 1;
    }
    for (;;) {
        if (!writeCommand(quenvar::JobBeginPollCommand, quenvar::CompletionCommandLength) ||
            !readOrClear(status, status->raw, kRawMax, &status->rawLength, deadline)) {
            status->offline = 1;
            return 1;
        }
        unsigned char value = 0;
        // Only a reply that is exactly the answer counts.
        if (status->rawLength == quenvar::CompletionAnswerLength &&
            quenvar::FindJobBeginAnswer(status->raw, status->rawLength, &value)) {
            if (value != quenvar::JobBeginAnswerSuccess) return 0;
            if (!writeCommand(quenvar::JobAcknowledgeCommand, quenvar::CompletionCommandLength)) status->offline = 1;
            return 1;
        }
        deadline.pause(kBeginPollPauseMs);
        if (deadline.expired()) {
            status->offline = 1;
            return 1;
        }
    }
}

int SerPort::SerReadBufParser(VelmarPrinterStatus_2* status) {
    // Nothing received decides nothing (raw may still hold an earlier reply).
    if (status->rawLength == 0) return 1;
    if (status->rawLength == 1 || status->raw[0] != kEsc) {
        if ((status->raw[0] & 0x08) != 0) status->offline = 1;
        return 1;
    }
    if (status->rawLength < quenvar::CompletionAnswerLength) return 0;
    unsigned char value = 0;
    if (!quenvar::FindJobEndAnswer(status->raw, status->rawLength, &value)) return 1;
    if (value != quenvar::JobEndAnswerSuccess) return 0;
    if (!writeCommand(quenvar::StatusPreambleCommand, quenvar::CompletionCommandLength)) {
        status->offline = 1;
        return 1;
    }
    status->etbCounter = 1;
    return 1;
}

int SerPort::endCheckedBlock(VelmarPrinterStatus_2* status) {
    const quenvar::Deadline deadline = quenvar::Deadline::checkedBlock(timeoutMs);
    clear_status(status);
    if (!writeCommand(quenvar::JobEndCommand, quenvar::CompletionCommandLength)) {
        status->offline = 1;
        return 1;
    }
    const StatusQuery query;
    for (;;) {
        deadline.pause(kEndPollPauseMs);
        if (!readOrClear(status, status->raw, quenvar::CompletionAnswerLength, &status->rawLength, deadline)) {
            status->offline = 1;
            return 1;
        }
        if (SerReadBufParser(status) != 1) return 0;
        if (status->offline == 1 || status->etbCounter == 1) return 1;

        deadline.pause(kEndPollPauseMs);
        unsigned int written = 0;
        if (writePort(query.bytes, kStatusQueryLength, &written) == 0) return 0;
        if (written < kStatusQueryLength || !readOrClear(status, status->raw, 1, &status->rawLength, deadline)) {
            status->offline = 1;
            return 1;
        }
        if (status->rawLength == 1 && status->raw[0] == kEsc) {
            // The beginning of a job end answer: the rest follows it.
            unsigned int more = 0;
            if (!readOrClear(status, status->raw + 1, quenvar::CompletionAnswerLength - 1, &more, deadline)) {
                status->offline = 1;
                return 1;
            }
            status->rawLength += more;
        }
        if (SerReadBufParser(status) != 1) return 0;
        if (status->offline == 1 || status->etbCounter == 1) return 1;

        if (writePort(quenvar::JobEndPollCommand, quenvar::CompletionCommandLength, &written) == 0) {
            status->offline = 1;
            return 1;
        }
        if (written != quenvar::CompletionCommandLength) {
            tcflush(fd, TCIOFLUSH);
            status->offline = 1;
            return 1;
        }
        if (deadline.expired()) {
            status->offline = 1;
            return 1;
        }
    }
}
