// The parallel printer port. See ParPort.h for the shape of the exchange.
#include "transports/ParPort.h"

#include <fcntl.h>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/CompletionCommands.h"
#include "core/RealTimeStatus.h"
#include "core/StatusDecoders.h"

namespace {

constexpr char kPrefix[] = "/dev/parport";
constexpr unsigned int kPrefixLength = sizeof kPrefix - 1;

// Room for the port name and the settings string, with their terminating zero.
constexpr unsigned int kTextRoom = 100;

// Reads look every 10 ms and give up after 1000 ms, whatever the port's
// time limit: the printer answers within that or not at all.
constexpr unsigned int kReadLimitMs = 1000;
constexpr unsigned int kReadStepMs = 10;

// Every pause of the status exchange and the checked blocks.
constexpr unsigned int kPauseMs = 100;
// How long resetting holds the INIT line active.
constexpr unsigned int kInitPulseMs = 1;

constexpr unsigned int kRawMax = 63;  // status bytes one read keeps in a record

// ESC/POS GS a 2: switch on automatic status back for the online/offline status.
constexpr unsigned char kAutomaticStatusOn[] = {0x1D, 0x61, 0x02};

// destination: out, room for kTextRoom characters. source: in. True when the
// whole text fits with its terminating zero; a text that does not is never
// cut, since a cut device path may name another device.
bool copy_whole(char (&destination)[kTextRoom], const char* source) {
    const size_t length = strnlen(source, kTextRoom);
    if (length >= kTextRoom) return false;
    memcpy(destination, source, length + 1);
    return true;
}

// Asks the driver for IEEE 1284 mode `mode`. 0 or -1 as ioctl gives it.
int negotiate(int fd, int mode) { return ioctl(fd, PPNEGOT, &mode); }

}  // namespace

// ---------------------------------------------------------------------------
// Name, construction

int ParPort::matchPortName(const char* portName) {
    return portName != nullptr && strncmp(portName, kPrefix, kPrefixLength) == 0 ? 1 : 0;
}

ParPort::ParPort(const char* name, const char* settings, unsigned int limit) : timeoutMs(limit), fd(-1) {
    if (!copy_whole(portName, name) || !copy_whole(portSettings, settings)) throw 0u;
    // Not inherited by programs the application starts: a child holding the
    // descriptor would keep the port claimed after the application closed it.
    fd = open(portName, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw 0u;
    if (ioctl(fd, PPCLAIM) != 0) {
        close(fd);
        throw 0u;
    }
    // The driver refuses a zero time value; a port opened with 0 keeps the
    // driver's own limit. The value goes as whole seconds and the
    // microseconds that remain, so that no limit wraps into a shorter one.
    if (timeoutMs != 0) {
        timeval value{static_cast<time_t>(timeoutMs / 1000), static_cast<suseconds_t>((timeoutMs % 1000) * 1000)};
        if (ioctl(fd, PPSETTIME, &value) != 0) {
            close(fd);
            throw 0u;
        }
    }
}

ParPort::~ParPort() {
    if (fd != -1) close(fd);
}

// ---------------------------------------------------------------------------
// Reading and writing

int ParPort::readPort(unsigned char* buf, unsigned int size, unsigned int* read) {
    (void)negotiate(fd, IEEE1284_MODE_COMPAT);
    const quenvar::Deadline limit = quenvar::Deadline::after(kReadLimitMs);
    ssize_t got;
    do {
        quenvar::PauseMs(kReadStepMs);
        got = ::read(fd, buf, size);
    } while (got < 0 && !limit.expired());
    *read = got < 0 ? 0 : static_cast<unsigned int>(got);
    return got < 0 ? 0 : 1;
}

int ParPort::readPortInternal(unsigned char* buf, unsigned int size, unsigned int* read) {
    (void)negotiate(fd, IEEE1284_MODE_COMPAT);
    // The read is the last call: a caller may look at errno after a failure.
    const ssize_t got = ::read(fd, buf, size);
    *read = got < 0 ? 0 : static_cast<unsigned int>(got);
    return got < 0 ? 0 : 1;
}

int ParPort::writePort(const unsigned char* buf, unsigned int size, unsigned int* written) {
    ssize_t took;
    do {
        took = ::write(fd, buf, size);
    } while (took < 0 && errno == EINTR);
    *written = took < 0 ? 0 : static_cast<unsigned int>(took);
    return took < 0 ? 0 : 1;
}

int ParPort::writeCommand(const unsigned char* command, unsigned int length) {
    unsigned int written = 0;
    return writePort(command, length, &written) == 1 && written == length ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Status lines and reset

int ParPort::getOnlineStatus(unsigned int* online) {
    if (negotiate(fd, IEEE1284_MODE_NIBBLE) != 0 || negotiate(fd, IEEE1284_MODE_COMPAT) != 0) return 0;
    unsigned char lines = 0;
    if (ioctl(fd, PPRSTATUS, &lines) != 0) return 0;
    // ERROR and SELECT are set while the printer has no fault and is
    // selected; PAPEROUT is set when it has run out of paper.
    const bool ready = (lines & PARPORT_STATUS_ERROR) != 0 && (lines & PARPORT_STATUS_SELECT) != 0 &&
                       (lines & PARPORT_STATUS_PAPEROUT) == 0;
    *online = ready ? 1 : 0;
    return 1;
}

int ParPort::resetDevice() {
    (void)negotiate(fd, IEEE1284_MODE_COMPAT);
    // The INIT line is active low: value 0 resets the printer until it is set again.
    ppdev_frob_struct init{PARPORT_CONTROL_INIT, 0};
    if (ioctl(fd, PPFCONTROL, &init) != 0) return 0;
    quenvar::PauseMs(kInitPulseMs);
    init.val = PARPORT_CONTROL_INIT;
    if (ioctl(fd, PPFCONTROL, &init) != 0) return 0;
    return 1;
}

// ---------------------------------------------------------------------------
// Status

void ParPort::readStatusBytes(VelmarPrinterStatus_2* status, int* error) {
    unsigned int count = 0;
    const int ok = readPortInternal(status->raw, kRawMax, &count);
    *error = ok == 1 ? 0 : errno;
    status->rawLength = count;
}

int ParPort::getParsedStatus(VelmarPrinterStatus_2* status) {
    return statusExchange(status, quenvar::Deadline::never());
}

int ParPort::statusExchange(VelmarPrinterStatus_2* status, const quenvar::Deadline& deadline) {
    (void)negotiate(fd, IEEE1284_MODE_COMPAT);
    (void)negotiate(fd, IEEE1284_MODE_NIBBLE);
    memset(status, 0, sizeof *status);
    deadline.pause(kPauseMs);

    // An automatic status block may already be waiting. When nothing is,
    // switch automatic status on and look again.
    int error = 0;
    readStatusBytes(status, &error);
    if (error != 0) {
        // A port that fails otherwise than by having nothing to read is a
        // printer out of reach.
        if (error != EAGAIN) {
            status->offline = 1;
            return 1;
        }
        if (writeCommand(kAutomaticStatusOn, sizeof kAutomaticStatusOn) == 0) return 0;
        deadline.pause(kPauseMs);
        readStatusBytes(status, &error);
    }
    if (checkEscposAsbStatus(status, status->raw, status->rawLength) == 1) {
        deadline.pause(kPauseMs);
        (void)writeCommand(quenvar::StatusPreambleCommand, quenvar::CompletionCommandLength);
        return 1;
    }

    deadline.pause(kPauseMs);
    if (writeCommand(quenvar::StatusPreambleCommand, quenvar::CompletionCommandLength) == 0 ||
        writeCommand(kAutomaticStatusOn, sizeof kAutomaticStatusOn) == 0)
        return 0;
    deadline.pause(kPauseMs);
    readStatusBytes(status, &error);
    // A printer without automatic status stays silent here: it is asked
    // with the real-time requests, which exist for such printers.
    if (error != 0 && error != EAGAIN) return 0;
    if (error == 0 && checkEscposAsbStatus(status, status->raw, status->rawLength) == 1) return 1;

    return quenvar::AskRealTimeStatus(status, [&](unsigned char n) {
        const quenvar::RealTimeRequest request = quenvar::MakeRealTimeRequest(n);
        if (writeCommand(request.bytes, quenvar::RealTimeRequestLength) == 0) return false;
        deadline.pause(kPauseMs);
        readStatusBytes(status, &error);
        return error == 0;
    });
}

// ---------------------------------------------------------------------------
// Checked blocks

void ParPort::readAnswer(VelmarPrinterStatus_2* status, const quenvar::Deadline& deadline) {
    int error = 0;
    readStatusBytes(status, &error);
    if (error == 0) return;
    deadline.pause(kPauseMs);
    readStatusBytes(status, &error);
}

int ParPort::beginCheckedBlock(VelmarPrinterStatus_2* status) {
    const quenvar::Deadline deadline = quenvar::Deadline::checkedBlock(timeoutMs);
    memset(status, 0, sizeof *status);
    if (statusExchange(status, deadline) == 0) status->offline = 1;
    if (status->offline == 1) return 1;  // nothing is sent to an offline printer
    if (writeCommand(quenvar::JobBeginCommand, quenvar::CompletionCommandLength) == 0) {
        status->offline = 1;
        return 1;
    }
    deadline.pause(kPauseMs);
    for (;;) {
        deadline.pause(kPauseMs);
        if (writeCommand(quenvar::JobBeginPollCommand, quenvar::CompletionCommandLength) == 0) break;
        deadline.pause(kPauseMs);
        readAnswer(status, deadline);
        if (quenvar::AutomaticStatusReportsOffline(status)) return 1;
        unsigned char value = 0;
        if (quenvar::FindJobBeginAnswer(status->raw, status->rawLength, &value)) {
            if (value != quenvar::JobBeginAnswerSuccess) return 0;
            if (writeCommand(quenvar::JobAcknowledgeCommand, quenvar::CompletionCommandLength) == 0)
                status->offline = 1;
            return 1;
        }
        deadline.pause(kPauseMs);
        // A printer that takes the polls but never answers them must not
        // hold the caller.
        if (deadline.expired()) break;
    }
    status->offline = 1;
    return 1;
}

int ParPort::endCheckedBlock(VelmarPrinterStatus_2* status) {
    const quenvar::Deadline deadline = quenvar::Deadline::checkedBlock(timeoutMs);
    memset(status, 0, sizeof *status);
    if (writeCommand(quenvar::JobEndCommand, quenvar::CompletionCommandLength) == 0) {
        status->offline = 1;
        return 1;
    }
    for (;;) {
        deadline.pause(kPauseMs);
        readAnswer(status, deadline);
        if (quenvar::AutomaticStatusReportsOffline(status)) return 1;
        unsigned char value = 0;
        if (quenvar::FindJobEndAnswer(status->raw, status->rawLength, &value)) {
            if (value != quenvar::JobEndAnswerSuccess) return 0;
            if (writeCommand(quenvar::StatusPreambleCommand, quenvar::CompletionCommandLength) == 0)
                status->offline = 1;
            return 1;
        }
        // The status exchange may take the answer to the job end with it; the
        // printer answers the next job end poll again.
        deadline.pause(kPauseMs);
        if (deadline.expired()) break;
        (void)statusExchange(status, deadline);
        if (status->offline == 1) return 1;
        deadline.pause(kPauseMs);
        if (deadline.expired()) break;
        if (writeCommand(quenvar::JobEndPollCommand, quenvar::CompletionCommandLength) == 0) {
            status->offline = 1;
            return 1;
        }
    }
    status->offline = 1;
    return 1;
}
