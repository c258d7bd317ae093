#include "ScriptedSerialLine.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace fuzzsupport {

ScriptedSerialLine* g_flushedLine = nullptr;

std::shared_ptr<ScriptedSerialLine> ScriptedSerialLine::Make() {
    std::shared_ptr<ScriptedSerialLine> line(new ScriptedSerialLine());
    line->master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char* slave = line->master_ >= 0 && grantpt(line->master_) == 0 && unlockpt(line->master_) == 0
                      ? ptsname(line->master_)
                      : nullptr;
    if (slave == nullptr) throw std::runtime_error("no pseudo-terminal");
    line->slave_ = slave;
    line->name_ = "/dev/ttyQVFZ" + std::to_string(getpid());
    line->registration_ = std::make_unique<testsupport::DeviceRegistration>(line->name_, line);
    return line;
}

ScriptedSerialLine::~ScriptedSerialLine() {
    if (master_ >= 0) ::close(master_);
}

void ScriptedSerialLine::start(std::vector<std::string> replies) {
    replies_ = std::move(replies);
    nextReply_ = 0;
    input_.clear();
    delivered_.clear();
}

int ScriptedSerialLine::open(const std::string&, int flags) {
    const int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, slave_.c_str(), flags | O_CLOEXEC, 0));
    if (fd >= 0) fds_.insert(fd);
    return fd;
}

bool ScriptedSerialLine::ioctl(int, unsigned long request, void* argument, int* result) {
    *result = 0;
    switch (request) {
    case FIONREAD:
        *static_cast<int*>(argument) = static_cast<int>(input_.size());
        return true;
    case TIOCMGET:
        *static_cast<int*>(argument) = TIOCM_DSR | TIOCM_CTS | TIOCM_DTR | TIOCM_RTS;
        return true;
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC:
        return true;
    default:
        return false;  // line settings: the pseudo-terminal's own
    }
}

bool ScriptedSerialLine::read(int, void* buffer, size_t size, ssize_t* result) {
    if (input_.empty()) {
        errno = EAGAIN;
        *result = -1;
        return true;
    }
    const size_t count = size < input_.size() ? size : input_.size();
    std::memcpy(buffer, input_.data(), count);
    input_.erase(0, count);
    *result = static_cast<ssize_t>(count);
    return true;
}

bool ScriptedSerialLine::write(int, const void*, size_t size, ssize_t* result) {
    *result = static_cast<ssize_t>(size);
    if (nextReply_ < replies_.size()) {
        input_ += replies_[nextReply_];
        delivered_ += replies_[nextReply_];
        ++nextReply_;
    }
    return true;
}

}  // namespace fuzzsupport

// The port flushes its input through libc; the script's bytes waiting go too.
extern "C" int tcflush(int fd, int queue) {
    if (fuzzsupport::g_flushedLine != nullptr && fuzzsupport::g_flushedLine->owns(fd) &&
        (queue == TCIFLUSH || queue == TCIOFLUSH))
        fuzzsupport::g_flushedLine->flushInput();
    return static_cast<int>(syscall(SYS_ioctl, fd, TCFLSH, queue));
}
