// What every front-end needs that carries the host's bytes as one stream (the
// network data connection, a serial line, a parallel port): one background
// thread that sleeps in poll until the host or the model has something, takes
// the host's bytes into the model (closing after so many bytes when asked),
// prints at the model's speed, and says what the model has to say, followed by
// the wire's status report whenever that report changes, optionally in slow
// pieces. A failing poll ends the thread and is reported, never swallowed.
//
// A front-end derives from it and supplies only its wire: it opens its
// descriptors and calls startThread(), attaches each host connection with
// attachHost(), serves its own descriptors through the hooks, and says what the
// wire reports on a status change through statusReport(). Its destructor must
// call stopThread() first, so the thread never runs a hook of a half-destroyed
// front-end.
#pragma once

#include <poll.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "emulator/PrinterModel.h"

namespace emulator {

class StreamFrontEnd {
public:
    using Clock = std::chrono::steady_clock;
    // Receives a message saying why the front-end's thread stopped by itself.
    using ErrorHandler = std::function<void(const std::string& message)>;

    // model: the printer behind this wire; nullptr gives the front-end a model of its own.
    explicit StreamFrontEnd(std::shared_ptr<PrinterModel> model);
    virtual ~StreamFrontEnd();
    StreamFrontEnd(const StreamFrontEnd&) = delete;
    StreamFrontEnd& operator=(const StreamFrontEnd&) = delete;

    PrinterModel& model() { return *model_; }
    std::shared_ptr<PrinterModel> sharedModel() { return model_; }

    // Slow output: what the printer says goes out in pieces of chunkBytes, with
    // `pause` after each piece (0 = at once, as far as the host takes it).
    void setSplitOutput(std::size_t chunkBytes, std::chrono::milliseconds pause);
    // Where the reason goes when the thread stops by itself (called on that
    // thread). The default writes it to standard error.
    void setErrorHandler(ErrorHandler handler);
    // Why the thread stopped by itself; empty while it runs (or ran) without fault.
    std::string failure() const;

protected:
    void startThread();  // starts serving; the front-end's descriptors are open by now
    void stopThread();   // ends and joins the thread, then closes the host connection; safe to call twice
    bool threadRunning() const;
    // Wakes the thread and waits until it has gone once round its loop after
    // this call, so that a setting its thread applies has taken effect. Returns
    // at once when the thread is not running.
    void settle();
    // Wakes the thread out of its poll (safe from any thread).
    void wake();

    // ---- The host connection (on the front-end's thread, or before startThread) ----
    // Takes `fd` (any stream descriptor, made non-blocking here) as the host's
    // connection, replacing and closing the current one; the wire's status report
    // goes out first unless the printer is silent.
    void attachHost(int fd, Clock::time_point now);
    void closeHost();  // closes the host connection; the model drops answers still due to it
    int hostDescriptor() const { return host_; }

    // ---- Hooks, called on the front-end's thread ----
    // What the wire says about the current status without being asked: sent
    // when a host connects, whenever it changes, and again when the host
    // (re)starts automatic status with GS a n. Empty: nothing.
    virtual std::string statusReport() { return std::string(); }
    // Before each poll: apply settings the thread owns (open or close listeners...).
    virtual void beforePoll(Clock::time_point now) { (void)now; }
    // The wire's own descriptors to watch, appended to `fds`; the same ones,
    // in the same order, come back to serveDescriptors with their events.
    virtual void addDescriptors(std::vector<pollfd>& fds) { (void)fds; }
    virtual void serveDescriptors(const pollfd* fds, std::size_t count, Clock::time_point now) {
        (void)fds;
        (void)count;
        (void)now;
    }

private:
    void run();
    void fail(const std::string& message);
    int pollTimeout(Clock::time_point now);
    void readHost(Clock::time_point now);
    void speak(Clock::time_point now);
    void flush(Clock::time_point now);
    ssize_t sendToHost(const char* data, std::size_t length);

    std::shared_ptr<PrinterModel> model_;
    int wakeFd_ = -1;
    PrinterModel::Subscription subscription_;  // wakes the thread on every change of the model

    mutable std::mutex mutex_;  // guards what other threads set or read below
    std::condition_variable looped_;
    uint64_t loops_ = 0;  // rounds of the loop finished
    std::size_t splitChunk_ = 0;
    std::chrono::milliseconds splitPause_{0};
    ErrorHandler errorHandler_;
    std::string failure_;
    bool ended_ = true;  // the thread has returned (or never ran)

    std::thread thread_;
    std::atomic<bool> stopping_{false};

    // Used by the thread only (and by start and stop around it).
    int host_ = -1;
    bool hostIsSocket_ = false;
    std::string outgoing_;          // bytes waiting to go out to the host
    std::string lastReport_;        // last status report sent
    unsigned reportStarts_ = 0;     // GS a n starts seen
    Clock::time_point nextSend_{};  // when slow output may send its next piece
    char buffer_[4096];
};

}  // namespace emulator
