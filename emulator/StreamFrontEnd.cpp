#include "emulator/StreamFrontEnd.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <stdexcept>

namespace emulator {

namespace {

// How long the thread sleeps with nothing to do, and while printing at a set
// speed (the next bytes are due soon).
constexpr int g_idleMs = 200;
constexpr int g_printingMs = 5;
// settle() waits at most this long for a thread that stopped going round.
constexpr auto g_settleBound = std::chrono::seconds(2);

bool transient(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

}  // namespace

StreamFrontEnd::StreamFrontEnd(std::shared_ptr<PrinterModel> model)
    : model_(model ? std::move(model) : std::make_shared<PrinterModel>()) {
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    subscription_ = model_->subscribe([this] { wake(); });
}

StreamFrontEnd::~StreamFrontEnd() {
    stopThread();
    // Ended before the wake-up descriptor closes: the model may be shared and
    // still in use, and must not call into this front-end any more.
    subscription_.reset();
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

void StreamFrontEnd::setSplitOutput(std::size_t chunkBytes, std::chrono::milliseconds pause) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        splitChunk_ = chunkBytes;
        splitPause_ = pause;
    }
    wake();
}

void StreamFrontEnd::setErrorHandler(ErrorHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    errorHandler_ = std::move(handler);
}

std::string StreamFrontEnd::failure() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failure_;
}

void StreamFrontEnd::startThread() {
    if (thread_.joinable()) throw std::runtime_error("virtual printer already started");
    if (wakeFd_ < 0) throw std::runtime_error("cannot create the wake-up descriptor");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        failure_.clear();
        ended_ = false;
    }
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
}

void StreamFrontEnd::stopThread() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    wake();
    thread_.join();
    closeHost();
}

bool StreamFrontEnd::threadRunning() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !ended_;
}

void StreamFrontEnd::settle() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (ended_) return;
    // The round in progress may have looked at the settings already: wait for
    // the end of the round after it.
    const uint64_t until = loops_ + 2;
    lock.unlock();
    wake();
    lock.lock();
    looped_.wait_for(lock, g_settleBound, [&] { return ended_ || loops_ >= until; });
}

void StreamFrontEnd::wake() {
    if (wakeFd_ < 0) return;
    uint64_t one = 1;
    ssize_t ignored = ::write(wakeFd_, &one, sizeof one);
    (void)ignored;
}

void StreamFrontEnd::fail(const std::string& message) {
    ErrorHandler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        failure_ = message;
        handler = errorHandler_;
    }
    if (handler)
        handler(message);
    else
        std::cerr << "virtual printer: " << message << std::endl;
}

void StreamFrontEnd::attachHost(int fd, Clock::time_point now) {
    closeHost();
    host_ = fd;
    struct stat info {};
    hostIsSocket_ = ::fstat(fd, &info) == 0 && S_ISSOCK(info.st_mode);
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    model_->hostConnected();
    lastReport_.clear();
    reportStarts_ = model_->automaticStatusStarts();
    nextSend_ = now;
    if (!model_->silent()) {
        lastReport_ = statusReport();
        outgoing_ = lastReport_;
    }
}

void StreamFrontEnd::closeHost() {
    if (host_ < 0) return;
    ::close(host_);
    host_ = -1;
    outgoing_.clear();
    model_->hostDisconnected();
}

int StreamFrontEnd::pollTimeout(Clock::time_point now) {
    int timeoutMs = model_->printing() ? g_printingMs : g_idleMs;
    if (!outgoing_.empty() && host_ >= 0 && now < nextSend_) {
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nextSend_ - now).count() + 1;
        timeoutMs = std::min<int>(timeoutMs, static_cast<int>(wait));
    }
    return timeoutMs;
}

void StreamFrontEnd::run() {
    std::vector<pollfd> fds;
    while (!stopping_) {
        Clock::time_point now = Clock::now();
        beforePoll(now);

        // Fixed slots first; negative descriptors are skipped by poll.
        fds.clear();
        fds.push_back({wakeFd_, POLLIN, 0});
        short hostEvents = POLLIN;
        if (!outgoing_.empty() && now >= nextSend_) hostEvents |= POLLOUT;
        fds.push_back({host_, hostEvents, 0});
        constexpr std::size_t fixedSlots = 2;
        addDescriptors(fds);

        if (::poll(fds.data(), fds.size(), pollTimeout(now)) < 0) {
            if (errno == EINTR) continue;
            fail(std::string("poll failed: ") + std::strerror(errno) + "; the printer has stopped");
            break;
        }
        if (stopping_) break;
        now = Clock::now();

        if (fds[0].revents & POLLIN) {
            uint64_t count;
            ssize_t ignored = ::read(wakeFd_, &count, sizeof count);
            (void)ignored;
        }
        if (host_ >= 0 && fds[1].fd == host_ && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) readHost(now);
        serveDescriptors(fds.data() + fixedSlots, fds.size() - fixedSlots, now);

        if (model_->takeDropRequest()) closeHost();
        model_->advance(now);
        speak(now);

        std::lock_guard<std::mutex> lock(mutex_);
        ++loops_;
        looped_.notify_all();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    looped_.notify_all();
}

void StreamFrontEnd::readHost(Clock::time_point now) {
    ssize_t n = ::read(host_, buffer_, sizeof buffer_);
    if (n > 0) {
        bool closeNow = false;
        std::size_t taken = model_->admitBytes(static_cast<std::size_t>(n), closeNow);
        model_->consume(buffer_, taken);
        if (closeNow) closeHost();
    } else if (n == 0 || !transient(errno)) {
        // The host closed its side: say what is left, then close ours.
        outgoing_ += model_->takeOutput();
        nextSend_ = now;
        flush(now);
        closeHost();
    }
}

// Collects what the printer has to say: answers and raw bytes from the model,
// then the wire's status report if it changed.
void StreamFrontEnd::speak(Clock::time_point now) {
    // A printer gone silent does not finish what it was saying either.
    const bool silent = model_->silent();
    if (silent) outgoing_.clear();
    std::string said = model_->takeOutput();
    if (host_ < 0) return;
    outgoing_ += said;
    if (!silent) {
        // A host that (re)starts automatic status gets a report at once.
        unsigned starts = model_->automaticStatusStarts();
        if (starts != reportStarts_) {
            reportStarts_ = starts;
            lastReport_.clear();
        }
        std::string report = statusReport();
        if (report != lastReport_) {
            outgoing_ += report;
            lastReport_ = report;
        }
    }
    flush(now);
}

// Sends what it can without blocking; slow output sends one piece per pause.
void StreamFrontEnd::flush(Clock::time_point now) {
    if (host_ < 0 || outgoing_.empty() || now < nextSend_) return;
    std::size_t chunk;
    std::chrono::milliseconds pause;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        chunk = splitChunk_;
        pause = splitPause_;
    }
    std::size_t size = chunk ? std::min(chunk, outgoing_.size()) : outgoing_.size();
    ssize_t sent = sendToHost(outgoing_.data(), size);
    if (sent > 0) {
        outgoing_.erase(0, static_cast<std::size_t>(sent));
        if (chunk) nextSend_ = now + pause;
    } else if (sent < 0 && !transient(errno)) {
        closeHost();
    }
}

ssize_t StreamFrontEnd::sendToHost(const char* data, std::size_t length) {
    // A host gone away must cost an error, never a SIGPIPE.
    if (hostIsSocket_) return ::send(host_, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    return ::write(host_, data, length);
}

}  // namespace emulator
