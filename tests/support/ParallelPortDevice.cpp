#include "tests/support/ParallelPortDevice.h"

#include <fcntl.h>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace testsupport {

namespace {

// The most one transfer of a non-blocking descriptor moves (the driver's buffer).
constexpr size_t kTransferBytes = 1024;
// How long the driver waits for a busy printer before a non-blocking write
// gives up with nothing taken (a jiffy or so).
constexpr int kBusyWaitMs = 10;

std::string name_of(unsigned long request) {
    switch (request) {
    case PPCLAIM:
        return "PPCLAIM";
    case PPRELEASE:
        return "PPRELEASE";
    case PPSETTIME:
        return "PPSETTIME";
    case PPNEGOT:
        return "PPNEGOT";
    case PPRSTATUS:
        return "PPRSTATUS";
    case PPFCONTROL:
        return "PPFCONTROL";
    default: {
        char text[32];
        std::snprintf(text, sizeof text, "ioctl 0x%lx", request);
        return text;
    }
    }
}

}  // namespace

ParallelPortDevice::ParallelPortDevice(ParallelPeripheral printer) : printer_(std::move(printer)) {}

int ParallelPortDevice::open(const std::string&, int flags) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (failOpen_ != 0) {
            log_.add("open failed", static_cast<uint64_t>(flags));
            errno = failOpen_;
            failOpen_ = 0;
            return -1;
        }
    }
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return -1;
    if ((flags & O_NONBLOCK) != 0) fcntl(ends[0], F_SETFL, O_NONBLOCK);
    fcntl(ends[1], F_SETFL, O_NONBLOCK);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_[ends[0]] = Line{};
        log_.add("open", static_cast<uint64_t>(flags));
    }
    printer_.attach(ends[1]);
    return ends[0];
}

bool ParallelPortDevice::ioctl(int fd, unsigned long request, void* argument, int* result) {
    // The system answers these for any descriptor before a driver sees them.
    if (request == FIOCLEX || request == FIONCLEX || request == FIONBIO || request == FIOASYNC) return false;
    int error;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto line = lines_.find(fd);
        if (line == lines_.end()) return false;
        auto injected = failRequest_.find(request);
        if (injected != failRequest_.end()) {
            error = injected->second;
            failRequest_.erase(injected);
        } else {
            error = serve(line->second, request, argument);
        }
        if (error != 0) log_.add(name_of(request) + " failed");
    }
    *result = error == 0 ? 0 : -1;
    if (error != 0) errno = error;
    return true;
}

int ParallelPortDevice::serve(Line& line, unsigned long request, void* argument) {
    if (request == PPCLAIM) {
        if (line.claimed) return EINVAL;
        line.claimed = true;
        log_.add("PPCLAIM");
        return 0;
    }
    // The driver serves nothing else before the port is claimed.
    if (!line.claimed) return EINVAL;
    switch (request) {
    case PPRELEASE:
        line.claimed = false;
        log_.add("PPRELEASE");
        return 0;
    case PPSETTIME: {
        int64_t value[2];  // seconds, microseconds
        std::memcpy(value, argument, sizeof value);
        // As the driver: negative parts fail, the microseconds count as an
        // int, and a limit of no time at all fails.
        if (value[0] < 0 || value[1] < 0) return EINVAL;
        const int microseconds = static_cast<int>(value[1]);
        if (value[0] == 0 && microseconds == 0) return EINVAL;
        log_.add("PPSETTIME", static_cast<uint64_t>(value[0]) * 1000000u + static_cast<uint32_t>(microseconds));
        return 0;
    }
    case PPNEGOT: {
        int mode;
        std::memcpy(&mode, argument, sizeof mode);
        log_.add("PPNEGOT", static_cast<uint64_t>(mode));
        return 0;
    }
    case PPRSTATUS: {
        const unsigned char lines = printer_.statusLines();
        std::memcpy(argument, &lines, 1);
        log_.add("PPRSTATUS", lines);
        return 0;
    }
    case PPFCONTROL: {
        ppdev_frob_struct frob;
        std::memcpy(&frob, argument, sizeof frob);
        const unsigned char before = line.control;
        line.control = static_cast<unsigned char>((before & ~frob.mask) ^ frob.val);
        if (((before ^ line.control) & PARPORT_CONTROL_INIT) != 0) {
            const bool active = (line.control & PARPORT_CONTROL_INIT) == 0;  // the line is active low
            log_.add("INIT", active ? 1 : 0);
            if (printer_.initLine) printer_.initLine(active);
        }
        return 0;
    }
    default:
        return EINVAL;
    }
}

bool ParallelPortDevice::read(int fd, void*, size_t, ssize_t* result) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failReads_ == 0 || lines_.find(fd) == lines_.end()) return false;
    errno = failReads_;
    *result = -1;
    return true;
}

bool ParallelPortDevice::write(int fd, const void* buffer, size_t size, ssize_t* result) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (lines_.find(fd) == lines_.end()) return false;
    }
    const size_t transfer = std::min(size, kTransferBytes);
    ssize_t sent = send(fd, buffer, transfer, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        // The printer is busy: the driver waits a moment for it, then gives up.
        pollfd room{fd, POLLOUT, 0};
        sent = poll(&room, 1, kBusyWaitMs) == 1 ? send(fd, buffer, transfer, MSG_NOSIGNAL | MSG_DONTWAIT) : 0;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) sent = 0;  // still busy: nothing taken
    }
    if (sent < 0) errno = EIO;  // the printer is gone
    *result = sent;
    return true;
}

void ParallelPortDevice::closed(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (lines_.erase(fd) > 0) log_.add("close");
}

void ParallelPortDevice::failNextOpen(int error) {
    std::lock_guard<std::mutex> lock(mutex_);
    failOpen_ = error;
}

void ParallelPortDevice::failNextRequest(unsigned long request, int error) {
    std::lock_guard<std::mutex> lock(mutex_);
    failRequest_[request] = error;
}

void ParallelPortDevice::failReads(int error) {
    std::lock_guard<std::mutex> lock(mutex_);
    failReads_ = error;
}

int ParallelPortDevice::openDescriptors() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(lines_.size());
}

}  // namespace testsupport
