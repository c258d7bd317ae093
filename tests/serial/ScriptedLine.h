// A raw stand-in for a serial printer, for exchanges where a test must choose
// every byte the printer sends back (odd reply bytes, answers behind a status
// byte, two answers in one read). It holds the master of a pseudo-terminal and
// registers the slave under a serial test name (tests/support/SerialLine.h).
// Everything else is tested against the virtual serial printer.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/SerialLine.h"

namespace serialtest {

using Bytes = std::vector<unsigned char>;

class ScriptedLine {
public:
    // Called each time bytes arrive, with everything received so far; what it
    // returns is sent back at once. Empty function: the printer says nothing.
    using Reaction = std::function<Bytes(const Bytes& received)>;

    explicit ScriptedLine(Reaction reaction = {});
    ~ScriptedLine();
    ScriptedLine(const ScriptedLine&) = delete;
    ScriptedLine& operator=(const ScriptedLine&) = delete;

    // The name that opens this line with OpenPort.
    const std::string& name() const { return registration_->name(); }
    testsupport::SerialLine& line() { return registration_->line(); }
    // The printer's own descriptor on the host's side of the line, for
    // reading back (or presetting) the terminal attributes.
    int terminal() const { return slave_; }
    // The printer's DSR (on at start).
    void setDsr(bool on) { dsr_ = on; }

    // Whether the printer takes what the host sends (on at start); off, the
    // bytes pile up in the pseudo-terminal until it is full.
    void setReading(bool on);
    // Sends bytes to the host now.
    void send(const Bytes& bytes);
    // Everything received so far.
    Bytes received() const;
    // Waits up to `bound` until `condition` holds; true when it did.
    bool waitUntil(const std::function<bool()>& condition,
                   std::chrono::milliseconds bound = std::chrono::milliseconds(5000)) const;

private:
    void run();
    void flush();

    Reaction reaction_;
    int master_ = -1;
    int slave_ = -1;  // held open so the line stays up between the port's opens
    int wake_[2] = {-1, -1};
    std::atomic<bool> dsr_{true};
    std::atomic<bool> stop_{false};
    std::atomic<bool> reading_{true};
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    Bytes received_;
    Bytes outgoing_;
    std::unique_ptr<testsupport::SerialLineRegistration> registration_;
    std::thread thread_;
};

// Answers `answer(nth)` to the nth occurrence (from 0) of `command`.
ScriptedLine::Reaction Answering(const Bytes& command, std::function<Bytes(std::size_t nth)> answer);
// Several reactions, each given the same bytes; their replies in order.
ScriptedLine::Reaction Both(ScriptedLine::Reaction first, ScriptedLine::Reaction second);

// Times `needle` occurs in `haystack`.
std::size_t Count(const Bytes& haystack, const Bytes& needle);
Bytes Concat(std::initializer_list<Bytes> parts);

// The completion commands and requests as the printer sees them, and its answers.
extern const Bytes kPreamble, kJobBegin, kJobBeginPoll, kJobAcknowledge, kJobEnd, kJobEndPoll, kStatusQuery;
Bytes DleEot(unsigned char n);
Bytes JobBeginAnswer(unsigned char value);
Bytes JobEndAnswer(unsigned char byte3, unsigned char value);

}  // namespace serialtest
