#include "ScriptedLine.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace serialtest {

const Bytes kPreamble{0x1B, 0x1D, 0x03, 0x04, 0x00, 0x00};
const Bytes kJobBegin{0x1B, 0x1D, 0x03, 0x02, 0x00, 0x00};
const Bytes kJobBeginPoll{0x1B, 0x1D, 0x03, 0x00, 0x00, 0x00};
const Bytes kJobAcknowledge{0x1B, 0x1D, 0x03, 0x03, 0x00, 0x00};
const Bytes kJobEnd{0x1B, 0x1D, 0x03, 0x01, 0x01, 0x01};
const Bytes kJobEndPoll{0x1B, 0x1D, 0x03, 0x00, 0x01, 0x01};
const Bytes kStatusQuery{0x1B, 0x1D, 0x03, 0x04, 0x00, 0x00, 0x10, 0x04, 0x01};

Bytes DleEot(unsigned char n) { return {0x10, 0x04, n}; }
Bytes JobBeginAnswer(unsigned char value) { return {0x1B, 0x1D, 0x03, 0x00, 0x00, 0x00, value, 0x00}; }
Bytes JobEndAnswer(unsigned char byte3, unsigned char value) {
    return {0x1B, 0x1D, 0x03, byte3, 0x01, 0x01, value, 0x00};
}

std::size_t Count(const Bytes& haystack, const Bytes& needle) {
    std::size_t count = 0;
    for (auto at = haystack.begin();
         (at = std::search(at, haystack.end(), needle.begin(), needle.end())) != haystack.end(); ++at)
        ++count;
    return count;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

ScriptedLine::Reaction Answering(const Bytes& command, std::function<Bytes(std::size_t nth)> answer) {
    return [command, answer, answered = std::size_t{0}](const Bytes& received) mutable {
        Bytes reply;
        for (const std::size_t count = Count(received, command); answered < count; ++answered) {
            const Bytes part = answer(answered);
            reply.insert(reply.end(), part.begin(), part.end());
        }
        return reply;
    };
}

ScriptedLine::Reaction Both(ScriptedLine::Reaction first, ScriptedLine::Reaction second) {
    return [first, second](const Bytes& received) mutable { return Concat({first(received), second(received)}); };
}

ScriptedLine::ScriptedLine(Reaction reaction) : reaction_(std::move(reaction)) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) throw std::runtime_error("no pseudo-terminal");
    const std::string slave = ptsname(master_);
    slave_ = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0 || pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("cannot open " + slave);
    registration_ = std::make_unique<testsupport::SerialLineRegistration>(slave, [this] { return dsr_.load(); });
    thread_ = std::thread([this] { run(); });
}

ScriptedLine::~ScriptedLine() {
    stop_ = true;
    const char byte = 0;
    (void)!::write(wake_[1], &byte, 1);
    thread_.join();
    registration_.reset();
    for (int fd : {master_, slave_, wake_[0], wake_[1]})
        if (fd >= 0) ::close(fd);
}

void ScriptedLine::setReading(bool on) {
    reading_ = on;
    const char byte = 0;
    (void)!::write(wake_[1], &byte, 1);
}

void ScriptedLine::send(const Bytes& bytes) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        outgoing_.insert(outgoing_.end(), bytes.begin(), bytes.end());
    }
    const char byte = 0;
    (void)!::write(wake_[1], &byte, 1);
}

Bytes ScriptedLine::received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

bool ScriptedLine::waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds bound) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, bound, [&] {
        lock.unlock();
        const bool holds = condition();
        lock.lock();
        return holds;
    });
}

void ScriptedLine::flush() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (outgoing_.empty()) return;
    const ssize_t sent = ::write(master_, outgoing_.data(), outgoing_.size());
    if (sent > 0) outgoing_.erase(outgoing_.begin(), outgoing_.begin() + sent);
}

void ScriptedLine::run() {
    unsigned char buffer[4096];
    while (!stop_) {
        bool pending;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            pending = !outgoing_.empty();
        }
        const short events = static_cast<short>((reading_ ? POLLIN : 0) | (pending ? POLLOUT : 0));
        pollfd fds[2] = {{wake_[0], POLLIN, 0}, {master_, events, 0}};
        if (poll(fds, 2, 200) < 0 && errno != EINTR) break;
        if (fds[0].revents & POLLIN)
            while (::read(wake_[0], buffer, sizeof buffer) > 0) {}
        if (fds[1].revents & POLLIN) {
            const ssize_t got = ::read(master_, buffer, sizeof buffer);
            if (got > 0) {
                Bytes all;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    received_.insert(received_.end(), buffer, buffer + got);
                    all = received_;
                }
                if (reaction_) {
                    const Bytes reply = reaction_(all);
                    std::lock_guard<std::mutex> lock(mutex_);
                    outgoing_.insert(outgoing_.end(), reply.begin(), reply.end());
                }
                changed_.notify_all();
            }
        }
        flush();
    }
}

}  // namespace serialtest
