// The virtual printer's one model: what a receipt printer knows about itself
// (its conditions, its ETB counter, the print data it has received and printed)
// and how it answers the host. Front-ends (network, later serial, USB...) feed
// it the bytes the host sends and ship the bytes it produces; tests set faults
// and inspect what arrived. Every member is safe to call from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "emulator/StatusEncoding.h"

namespace emulator {

class PrinterModel {
public:
    using Clock = std::chrono::steady_clock;

    PrinterModel();

    // ---- Conditions (each change wakes the front-ends: a new status frame goes out) ----
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
    std::string velmarStatusBlock() const;  // the Velmar ASB block alone (header 2 has bit 7 set)
    std::string statusFrame() const;        // block + extension length 00 00, as sent on the data connection
    // A status frame carrying an extension block: identifier (2 chars, any), its
    // payload, and the payload length to declare (-1 = the real one). The payload
    // length sits at the identifier's position (4, 5 or 6; unknown identifiers use 4).
    std::string statusFrameWithExtension(const std::string& identifier, const std::string& payload,
                                         int declaredPayloadLength = -1) const;
    std::string escposAutomaticStatus() const;  // the 4-byte ESC/POS automatic status block
    uint8_t realTimeStatus(uint8_t n) const;    // reply byte to DLE EOT n (n = 1..4; others 0x12)

    // ---- Print job answers and the ETB counter ----
    void failNextJobBegin(uint8_t c);             // next job begin answer carries c instead of 00
    void failNextJobEnd(uint8_t c);               // next job end answer carries c instead of 01
    unsigned etbCounter() const;                  // 0..31, advanced when an ETB 0x17 has been printed
    void setEtbCounter(unsigned value);           // start value (taken modulo 32)
    void setPrintSpeed(unsigned bytesPerSecond);  // 0 = print instantly
    void setAnswerRealTimeRequests(bool on);    // answer DLE EOT n at once (serial/parallel style); off on the network
    void setAnswerCompletionCommands(bool on);  // false: job begin/end polls get no answer (data still printed)

    // ---- What the host sent ----
    std::string printedData() const;                     // printed print data in order (completion commands removed)
    std::string printedSince(std::size_t offset) const;  // printed data from an offset (for following output)
    std::size_t printedSize() const;
    std::size_t unprintedSize() const;  // received print data still waiting to be printed
    std::string allReceived() const;    // every byte the host sent on the data connection, in order
    std::size_t receivedSize() const;
    bool waitPrinted(std::size_t bytes, std::chrono::milliseconds bound) const;   // until printedSize() >= bytes
    bool waitReceived(std::size_t bytes, std::chrono::milliseconds bound) const;  // until receivedSize() >= bytes
    bool waitConnections(unsigned count, std::chrono::milliseconds bound) const;  // until connectionCount() >= count
    unsigned connectionCount() const;                                             // data connections accepted so far
    std::vector<std::string> discoveryRequests() const;  // every datagram received on the discovery port
    unsigned statusPortRequests() const;                 // requests (0x33) received on the status port

    // ---- Faults and raw output (settable at any time) ----
    void setSilent(bool on);  // answer nothing anywhere, but keep connections open
    bool silent() const;
    void closeAfterBytes(std::size_t bytes);  // drop the data connection once this many more bytes arrived
    void setRefuseConnections(bool on);       // close (reopen) the listening ports; returns once done
    bool refuseConnections() const;
    void dropConnection();  // close the current data connection now
    void setSplitOutput(std::size_t chunkBytes, std::chrono::milliseconds pause);  // send in pieces; 0 = whole
    void sendRaw(const std::string& bytes);  // send bytes as they are (garbage, hand-made frames)
    void sendExtensionData(const std::string& payload,
                           const std::string& identifier = "14");  // reply data in a status frame

    // ---- Identity and discovery ----
    void setModelName(const std::string& name);  // name in the discovery reply
    std::string modelName() const;
    void setAnswerDiscovery(bool on);                           // false: discovery requests get no reply
    void setDiscoveryReply(std::optional<std::string> bytes);   // reply with these exact bytes instead
    void setStatusPortEscpos(bool on);                          // status port answers the 4-byte ESC/POS form
    void setStatusPortReply(std::optional<std::string> bytes);  // status port answers these exact bytes instead
    bool statusPortEscpos() const;

    // ---- Front-end side: called by the transports' front-ends only ----
    void hostConnected();                                        // a data connection was accepted
    void hostDisconnected();                                     // it ended: pending job answers are dropped
    std::size_t admitBytes(std::size_t length, bool& closeNow);  // how many of length arriving bytes to take
    void consume(const char* data, std::size_t length);          // bytes from the host on the data connection
    void advance(Clock::time_point now);                         // print at the set speed up to now
    bool printing() const;                                       // bytes wait to be printed and printing may go on
    std::string takeOutput();                                    // bytes to send to the host (empty while silent)
    bool takeDropRequest();                                      // true once after dropConnection()
    void reportListening(std::optional<bool> listening);         // listening ports open, closed, or no front-end
    std::size_t splitChunk() const;
    std::chrono::milliseconds splitPause() const;
    std::optional<std::string> discoveryReply(const std::string& request);  // records it; reply or none
    std::optional<std::string> statusPortReply();            // records a 0x33 request; reply or none (silent)
    void setChangeListener(std::function<void()> listener);  // called after every change, outside the lock

private:
    struct Marker {
        uint64_t position;  // print data offset that must be printed first
        bool jobEnd;        // job end answer (else: ETB)
        uint8_t command;    // byte 3 of the job end command, echoed in the answer
    };

    void notify();
    void acceptDataByte(char byte);
    void acceptDataRun(const char* data, std::size_t length);
    void handleCommand(const std::string& command);
    void fireMarkersLocked();
    void printLocked(std::size_t count);
    bool isCommandPrefix(const std::string& bytes) const;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::function<void()> listener_;

    PrinterStatus status_;
    std::optional<uint8_t> nextJobBegin_;
    std::optional<uint8_t> nextJobEnd_;
    unsigned printSpeed_ = 0;
    bool realTime_ = false;
    bool answerCommands_ = true;

    std::string received_;
    std::string printed_;
    std::deque<char> unprinted_;
    uint64_t dataCount_ = 0;  // print data bytes received so far
    std::deque<Marker> markers_;
    std::string commandBytes_;  // a command being received, possibly split across reads
    Clock::time_point lastAdvance_{};
    double printBudget_ = 0;

    std::string output_;
    bool connected_ = false;
    unsigned connections_ = 0;
    std::vector<std::string> discoveryRequests_;
    unsigned statusRequests_ = 0;

    bool silent_ = false;
    std::optional<std::size_t> closeAfter_;
    bool refuse_ = false;
    std::optional<bool> listening_;
    bool dropRequested_ = false;
    std::size_t splitChunk_ = 0;
    std::chrono::milliseconds splitPause_{0};

    std::string modelName_ = "QV-VIRTUAL";
    bool answerDiscovery_ = true;
    std::optional<std::string> discoveryReplyOverride_;
    bool statusPortEscpos_ = false;
    std::optional<std::string> statusPortReplyOverride_;
};

}  // namespace emulator
