// The virtual printer's one model: what a receipt printer knows about itself
// (its conditions, its ETB counter, the print data it has received and printed)
// and how it answers the commands in the data it is sent. It knows no wire:
// front-ends (network, serial, parallel, USB) feed it the bytes the host sends
// and ship the bytes it has to say; tests set faults and inspect what arrived.
// Every member is safe to call from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "emulator/StatusEncoding.h"

namespace emulator {

class PrinterModel {
public:
    using Clock = std::chrono::steady_clock;
    // Receives printed print data, in print order: a pointer to the bytes and their count.
    using PrintedSink = std::function<void(const char* data, std::size_t length)>;

    // Keeps a change listener registered while it lives. Its destructor waits
    // for a call in progress to end, and no call starts after it: a front-end
    // that holds one as a member can never be called once it is gone. Must not
    // be destroyed from inside the listener itself.
    class Subscription {
    public:
        Subscription() = default;
        Subscription(Subscription&& other) noexcept;
        Subscription& operator=(Subscription&& other) noexcept;
        Subscription(const Subscription&) = delete;
        Subscription& operator=(const Subscription&) = delete;
        ~Subscription();
        void reset();  // ends the subscription now

    private:
        friend class PrinterModel;
        Subscription(PrinterModel* model, uint64_t id) : model_(model), id_(id) {}
        PrinterModel* model_ = nullptr;
        uint64_t id_ = 0;
    };

    PrinterModel();

    // ---- Conditions (each change wakes the front-ends, which report it as their wire does) ----
    void set(Condition condition, bool on);  // set or clear any condition
    bool get(Condition condition) const;     // current value of a condition
    void setCoverOpen(bool on) { set(Condition::CoverOpen, on); }
    void setOffline(bool on) { set(Condition::Offline, on); }
    void setPaperEmpty(bool on) { set(Condition::PaperEmpty, on); }
    void setPaperNearEndInner(bool on) { set(Condition::PaperNearEndInner, on); }
    void setPaperNearEndOuter(bool on) { set(Condition::PaperNearEndOuter, on); }
    void setCutterError(bool on) { set(Condition::CutterError, on); }
    void setMechanicalError(bool on) { set(Condition::MechanicalError, on); }
    void clearConditions();                  // every condition off (paper ok, cover closed, online)
    void setPresenterState(unsigned state);  // presenter state 0..7 (byte 8 bits 3..1)
    unsigned presenterState() const;
    // When on (the default) the printer reports itself offline whenever it cannot
    // print: cover open, paper empty, cutter/mechanical/unrecoverable error,
    // over temperature, head up or presenter jam, as real printers do.
    void setOfflineFollowsErrors(bool on);
    bool canPrint() const;         // false while any stopping condition holds
    PrinterStatus status() const;  // a copy of the reported state

    // ---- Status encodings, built from the current state ----
    void setStatusBlockLength(
        unsigned length);  // Velmar ASB block length 7..15 (default 9; 7 has no ETB counter, 7 and 8 no presenter)
    std::string velmarStatusBlock() const;      // the Velmar ASB block alone (header 2 has bit 7 set)
    std::string escposAutomaticStatus() const;  // the 4-byte ESC/POS automatic status block
    uint8_t realTimeStatus(uint8_t n) const;    // reply byte to DLE EOT n (n = 1..4; others 0x12)

    // ---- Print job answers, commands taken and the ETB counter ----
    void failNextJobBegin(uint8_t c);             // next job begin answer carries c instead of 00
    void failNextJobEnd(uint8_t c);               // next job end answer carries c instead of 01
    unsigned etbCounter() const;                  // 0..31, advanced when an ETB 0x17 has been printed
    void setEtbCounter(unsigned value);           // start value (taken modulo 32)
    void setPrintSpeed(unsigned bytesPerSecond);  // 0 = print instantly
    void setAnswerRealTimeRequests(bool on);    // answer DLE EOT n at once (serial/parallel style); off on the network
    void setAnswerCompletionCommands(bool on);  // false: job begin/end polls get no answer (data still printed)
    // The reply to DLE EOT n is `reply` whatever the state (a wrong or error byte); none: the state's again.
    void setRealTimeReply(uint8_t n, std::optional<uint8_t> reply);
    void sayBeforeNextAnswer(const std::string& bytes);  // the next job answer comes right behind these bytes
    // ESC/POS printers take GS a n (1D 61 n) as the command that switches their
    // automatic status on (n != 0) or off (n = 0); off by default, where those
    // bytes are print data. What goes out while it is on is the front-end's choice.
    void setTakeAutomaticStatusCommand(bool on);
    uint8_t automaticStatusMask() const;     // n of the last GS a n taken (0: automatic status off)
    unsigned automaticStatusStarts() const;  // GS a n with n != 0 taken so far (each sends a report at once)

    // ---- What the host sent and what was printed ----
    std::string printedData() const;                     // printed print data in order (completion commands removed)
    std::string printedSince(std::size_t offset) const;  // printed data from an offset (for following output)
    std::size_t printedSize() const;                     // every byte printed so far, kept or not
    std::size_t unprintedSize() const;                   // received print data still waiting to be printed
    std::string allReceived() const;                     // every byte the host sent, in order
    std::size_t receivedSize() const;                    // every byte received so far, kept or not
    bool waitPrinted(std::size_t bytes, std::chrono::milliseconds bound) const;   // until printedSize() >= bytes
    bool waitReceived(std::size_t bytes, std::chrono::milliseconds bound) const;  // until receivedSize() >= bytes
    bool waitConnections(unsigned count, std::chrono::milliseconds bound) const;  // until connectionCount() >= count
    unsigned connectionCount() const;                                             // host connections so far
    // For long runs: printed data goes to `sink` as it is printed (on the
    // thread that printed it, outside the model's lock, one run at a time in
    // print order; a slow sink holds the printer up as a slow mechanism would),
    // and the model keeps only the last `keepBytes` bytes of print data and of
    // received bytes for printedData(), printedSince() and allReceived().
    // Sizes keep counting every byte. An empty sink keeps everything again.
    void setPrintedSink(PrintedSink sink, std::size_t keepBytes = 0);

    // ---- Faults and raw output, for any wire (settable at any time) ----
    void setSilent(bool on);  // answer nothing, report nothing, but keep connections open
    bool silent() const;
    void closeAfterBytes(std::size_t bytes);  // drop the host connection once this many more bytes arrived
    void dropConnection();                    // drop the host connection now
    void sendRaw(const std::string& bytes);   // say these bytes as they are (garbage, hand-made frames)

    // ---- Identity ----
    void setModelName(const std::string& name);  // the name the printer gives itself (discovery, device ID)
    std::string modelName() const;

    // ---- Front-end side: called by the front-ends only ----
    // Registers `listener`, called after every change a front-end may have to
    // act on (state, faults, output); it must be quick and must not call back
    // into subscribe. Several front-ends may share one model.
    Subscription subscribe(std::function<void()> listener);
    void hostConnected();                                        // a host connection began
    void hostDisconnected();                                     // it ended: pending job answers are dropped
    std::size_t admitBytes(std::size_t length, bool& closeNow);  // how many of length arriving bytes to take
    void consume(const char* data, std::size_t length);          // bytes from the host
    void advance(Clock::time_point now);                         // print at the set speed up to now
    bool printing() const;                                       // bytes wait to be printed and printing may go on
    std::string takeOutput();                                    // bytes to send to the host (empty while silent)
    bool takeDropRequest();                                      // true once after dropConnection()

private:
    struct Marker {
        uint64_t position;  // print data offset that must be printed first
        bool jobEnd;        // job end answer (else: ETB)
        uint8_t command;    // byte 3 of the job end command, echoed in the answer
    };

    // A byte record that may keep only its tail: offsets count every byte ever appended.
    struct History {
        std::string kept;
        uint64_t dropped = 0;             // bytes no longer kept, all before kept
        std::optional<std::size_t> keep;  // bytes to keep at least; none: keep everything
        void append(const char* data, std::size_t length);
        uint64_t size() const { return dropped + kept.size(); }
        std::string since(uint64_t offset) const;
    };

    void notify();
    void unsubscribe(uint64_t id);
    void deliverPrinted(std::unique_lock<std::mutex>& lock);
    void appendPrinted(const char* data, std::size_t length);
    bool startsCommand(char byte) const;
    void acceptDataByte(char byte);
    void acceptDataRun(const char* data, std::size_t length);
    void handleCommand(const std::string& command);
    void fireMarkersLocked();
    uint8_t realTimeReplyLocked(uint8_t n) const;
    void printLocked(std::size_t count);
    bool isCommandPrefix(const std::string& bytes) const;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;

    // Listeners are called under their own lock, so that ending a subscription
    // waits for a call in progress; the state lock is never held meanwhile.
    std::mutex listenersMutex_;
    std::map<uint64_t, std::function<void()>> listeners_;
    uint64_t nextListener_ = 1;

    // Printed runs go to the sink in order: whoever prints takes sinkMutex_
    // before it lets go of mutex_.
    std::mutex sinkMutex_;
    std::shared_ptr<PrintedSink> sink_;
    std::string sinkPending_;  // printed, not yet handed to the sink

    PrinterStatus status_;
    std::optional<uint8_t> nextJobBegin_;
    std::optional<uint8_t> nextJobEnd_;
    unsigned printSpeed_ = 0;
    bool realTime_ = false;
    bool answerCommands_ = true;
    std::map<uint8_t, uint8_t> realTimeReplies_;  // DLE EOT n replies set by hand
    std::string beforeNextAnswer_;
    bool automaticStatusCommand_ = false;
    uint8_t automaticStatusMask_ = 0;
    unsigned automaticStatusStarts_ = 0;

    History received_;
    History printed_;
    std::deque<char> unprinted_;
    uint64_t dataCount_ = 0;  // print data bytes received so far
    std::deque<Marker> markers_;
    std::string commandBytes_;  // a command being received, possibly split across reads
    Clock::time_point lastAdvance_{};
    double printBudget_ = 0;

    std::string output_;
    bool connected_ = false;
    unsigned connections_ = 0;

    bool silent_ = false;
    std::optional<std::size_t> closeAfter_;
    bool dropRequested_ = false;

    std::string modelName_ = "QV-VIRTUAL";
};

}  // namespace emulator
