#include "tests/support/SerialLine.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

namespace testsupport {

namespace {

constexpr int kHostLines = TIOCM_DTR | TIOCM_RTS;

unsigned baud_of(speed_t speed) {
    constexpr struct {
        speed_t speed;
        unsigned baud;
    } rates[] = {{B1200, 1200},   {B2400, 2400},   {B4800, 4800},   {B9600, 9600},
                 {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200}};
    for (const auto& rate : rates)
        if (rate.speed == speed) return rate.baud;
    return 0;
}

}  // namespace

SerialLine::SerialLine(std::string slavePath, std::function<bool()> dataSetReady)
    : slavePath_(std::move(slavePath)), dataSetReady_(std::move(dataSetReady)) {}

void SerialLine::setLineSpeed(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    lineSpeed_ = on;
}

void SerialLine::failRequest(unsigned long request) {
    std::lock_guard<std::mutex> lock(mutex_);
    failing_.insert(request);
}

void SerialLine::setWithoutModemLines(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    withoutModemLines_ = on;
}

int SerialLine::hostLines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return hostLines_;
}

int SerialLine::open(const std::string&, int flags) {
    // A registered name is the device: no file is created whatever the flags.
    const int fd = ::open(slavePath_.c_str(), flags & ~(O_CREAT | O_TRUNC));
    if (fd < 0) return -1;
    log_.add("open", static_cast<uint64_t>(flags));
    setHostLines(kHostLines);  // a serial driver raises DTR and RTS on open
    return fd;
}

void SerialLine::setHostLines(int lines) {
    int before;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        before = hostLines_;
        hostLines_ = lines & kHostLines;
    }
    if ((before ^ lines) & TIOCM_DTR) log_.add("DTR", (lines & TIOCM_DTR) ? 1 : 0);
    if ((before ^ lines) & TIOCM_RTS) log_.add("RTS", (lines & TIOCM_RTS) ? 1 : 0);
}

bool SerialLine::ioctl(int fd, unsigned long request, void* argument, int* result) {
    const bool modemRequest = request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
    const bool drain = request == TCSBRK && argument == reinterpret_cast<void*>(1);
    if (request == TCSETS || request == TCSETSW || request == TCSETSF) {
        // A pty keeps no character size or parity: the log keeps what was asked.
        const auto* bytes = static_cast<const unsigned char*>(argument);
        log_.add("tcsetattr", request, std::vector<unsigned char>(bytes, bytes + sizeof(termios)));
        return false;
    }
    if (!modemRequest && !drain) return false;
    bool lineSpeed, failing;
    std::chrono::steady_clock::time_point idleAt;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (modemRequest && withoutModemLines_) return false;
        failing = failing_.count(request) != 0;
        lineSpeed = lineSpeed_;
        idleAt = lineIdleAt_;
    }
    if (drain) {
        log_.add("drain");
        if (failing) {
            errno = EIO;
            *result = -1;
            return true;
        }
        if (!lineSpeed) return false;  // the pty's own drain
        std::this_thread::sleep_until(idleAt);
        *result = 0;
        return true;
    }
    int* lines = static_cast<int*>(argument);
    log_.add(request == TIOCMGET   ? "TIOCMGET"
             : request == TIOCMSET ? "TIOCMSET"
             : request == TIOCMBIS ? "TIOCMBIS"
                                   : "TIOCMBIC",
             request == TIOCMGET ? 0 : static_cast<uint64_t>(*lines));
    if (failing) {
        errno = EIO;
        *result = -1;
        return true;
    }
    const int host = hostLines();
    if (request == TIOCMGET)
        *lines = host | (dataSetReady_() ? TIOCM_DSR : 0);
    else if (request == TIOCMSET)
        setHostLines(*lines);  // DSR and the other input lines are not the host's to set
    else if (request == TIOCMBIS)
        setHostLines(host | *lines);
    else
        setHostLines(host & ~*lines);
    (void)fd;
    *result = 0;
    return true;
}

std::chrono::nanoseconds SerialLine::lineTime(int fd, size_t bytes) const {
    termios attributes{};
    if (tcgetattr(fd, &attributes) != 0) return std::chrono::nanoseconds(0);
    const unsigned baud = baud_of(cfgetospeed(&attributes));
    if (baud == 0) return std::chrono::nanoseconds(0);
    const tcflag_t size = attributes.c_cflag & CSIZE;
    const unsigned dataBits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
    const unsigned bits =
        1 + dataBits + ((attributes.c_cflag & PARENB) ? 1 : 0) + ((attributes.c_cflag & CSTOPB) ? 2 : 1);
    return std::chrono::nanoseconds(static_cast<int64_t>(bytes) * bits * 1000000000LL / baud);
}

bool SerialLine::write(int fd, const void* buffer, size_t size, ssize_t* result) {
    *result = RealWrite(fd, buffer, size);
    const int error = errno;
    if (*result > 0) {
        const auto* bytes = static_cast<const unsigned char*>(buffer);
        log_.add("write", static_cast<uint64_t>(*result),
                 std::vector<unsigned char>(bytes, bytes + static_cast<size_t>(*result)));
        std::lock_guard<std::mutex> lock(mutex_);
        if (lineSpeed_) {
            const auto now = std::chrono::steady_clock::now();
            lineIdleAt_ = (lineIdleAt_ > now ? lineIdleAt_ : now) + lineTime(fd, static_cast<size_t>(*result));
        }
    }
    errno = error;
    return true;
}

void SerialLine::closed(int) { log_.add("close"); }

SerialLineRegistration::SerialLineRegistration(std::string slavePath, std::function<bool()> dataSetReady)
    : name_([] {
          static std::atomic<unsigned> next{0};
          return "/dev/ttyQV" + std::to_string(getpid()) + "-" + std::to_string(next++);
      }()),
      line_(std::make_shared<SerialLine>(std::move(slavePath), std::move(dataSetReady))),
      registration_(name_, line_) {}

}  // namespace testsupport
