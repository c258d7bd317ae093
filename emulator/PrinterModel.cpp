#include "emulator/PrinterModel.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace emulator {

namespace {

constexpr char g_esc = 0x1B;
constexpr char g_dle = 0x10;
constexpr char g_etb = 0x17;

// The completion commands the printer recognises in the data stream.
const std::array<std::string, 6> g_completionCommands = {
    std::string("\x1B\x1D\x03\x04\x00\x00", 6),  // status preamble
    std::string("\x1B\x1D\x03\x02\x00\x00", 6),  // job begin
    std::string("\x1B\x1D\x03\x00\x00\x00", 6),  // job begin poll
    std::string("\x1B\x1D\x03\x03\x00\x00", 6),  // job acknowledge
    std::string("\x1B\x1D\x03\x01\x01\x01", 6),  // job end
    std::string("\x1B\x1D\x03\x00\x01\x01", 6),  // job end poll
};
const std::string g_jobBeginPoll = g_completionCommands[2];
const std::string g_jobEnd = g_completionCommands[4];
const std::string g_jobEndPoll = g_completionCommands[5];

bool starts_with(const std::string& whole, const std::string& prefix) {
    return whole.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

PrinterModel::PrinterModel() = default;

void PrinterModel::notify() {
    std::function<void()> listener;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        listener = listener_;
    }
    changed_.notify_all();
    if (listener) listener();
}

void PrinterModel::set(Condition condition, bool on) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        bool couldPrint = status_.canPrint();
        status_.set(condition, on);
        // Time spent stopped must not count as printing time once printing resumes.
        if (!couldPrint && status_.canPrint()) lastAdvance_ = Clock::now();
    }
    notify();
}

bool PrinterModel::get(Condition condition) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_.has(condition);
}

void PrinterModel::clearConditions() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!status_.canPrint()) lastAdvance_ = Clock::now();
        status_.conditions = 0;
    }
    notify();
}

void PrinterModel::setPresenterState(unsigned state) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        status_.presenterState = state & 7;
    }
    notify();
}

unsigned PrinterModel::presenterState() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_.presenterState;
}

void PrinterModel::setOfflineFollowsErrors(bool on) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        status_.offlineFollowsErrors = on;
    }
    notify();
}

bool PrinterModel::canPrint() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_.canPrint();
}

PrinterStatus PrinterModel::status() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
}

void PrinterModel::setStatusBlockLength(unsigned length) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        status_.blockLength = length < 7 ? 7 : (length > 15 ? 15 : length);
    }
    notify();
}

std::string PrinterModel::velmarStatusBlock() const { return EncodeVelmarStatus(status()); }

std::string PrinterModel::statusFrame() const { return velmarStatusBlock() + std::string(2, '\0'); }

std::string PrinterModel::statusFrameWithExtension(const std::string& identifier, const std::string& payload,
                                                   int declaredPayloadLength) const {
    return EncodeExtensionFrame(velmarStatusBlock(), identifier, payload, declaredPayloadLength);
}

std::string PrinterModel::escposAutomaticStatus() const { return EncodeEscposAutomaticStatus(status()); }

uint8_t PrinterModel::realTimeStatus(uint8_t n) const { return EncodeRealTimeStatus(status(), n); }

void PrinterModel::failNextJobBegin(uint8_t c) {
    std::lock_guard<std::mutex> lock(mutex_);
    nextJobBegin_ = c;
}

void PrinterModel::failNextJobEnd(uint8_t c) {
    std::lock_guard<std::mutex> lock(mutex_);
    nextJobEnd_ = c;
}

unsigned PrinterModel::etbCounter() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_.etbCounter;
}

void PrinterModel::setEtbCounter(unsigned value) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        status_.etbCounter = value % 32;
    }
    notify();
}

void PrinterModel::setPrintSpeed(unsigned bytesPerSecond) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        printSpeed_ = bytesPerSecond;
        lastAdvance_ = Clock::now();
        printBudget_ = 0;
    }
    notify();
}

void PrinterModel::setAnswerCompletionCommands(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    answerCommands_ = on;
}

void PrinterModel::setAnswerRealTimeRequests(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    realTime_ = on;
}

std::string PrinterModel::printedData() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return printed_;
}

std::string PrinterModel::printedSince(std::size_t offset) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return offset < printed_.size() ? printed_.substr(offset) : std::string();
}

std::size_t PrinterModel::printedSize() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return printed_.size();
}

std::size_t PrinterModel::unprintedSize() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return unprinted_.size();
}

std::string PrinterModel::allReceived() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

std::size_t PrinterModel::receivedSize() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_.size();
}

bool PrinterModel::waitPrinted(std::size_t bytes, std::chrono::milliseconds bound) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, bound, [&] { return printed_.size() >= bytes; });
}

bool PrinterModel::waitReceived(std::size_t bytes, std::chrono::milliseconds bound) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, bound, [&] { return received_.size() >= bytes; });
}

bool PrinterModel::waitConnections(unsigned count, std::chrono::milliseconds bound) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, bound, [&] { return connections_ >= count; });
}

unsigned PrinterModel::connectionCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
}

std::vector<std::string> PrinterModel::discoveryRequests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return discoveryRequests_;
}

unsigned PrinterModel::statusPortRequests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return statusRequests_;
}

void PrinterModel::setSilent(bool on) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        silent_ = on;
        // A silent printer loses what it had to say; nothing comes out later.
        if (on) output_.clear();
    }
    notify();
}

bool PrinterModel::silent() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return silent_;
}

void PrinterModel::closeAfterBytes(std::size_t bytes) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closeAfter_ = bytes;
    }
    notify();
}

void PrinterModel::setRefuseConnections(bool on) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        refuse_ = on;
    }
    notify();
    // Wait for a running front-end to act, so a connect right after this call
    // sees the new state.
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(2), [&] { return !listening_ || *listening_ != on; });
}

void PrinterModel::reportListening(std::optional<bool> listening) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (listening_ == listening) return;
        listening_ = listening;
    }
    changed_.notify_all();
}

bool PrinterModel::refuseConnections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return refuse_;
}

void PrinterModel::dropConnection() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        dropRequested_ = true;
    }
    notify();
}

void PrinterModel::setSplitOutput(std::size_t chunkBytes, std::chrono::milliseconds pause) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        splitChunk_ = chunkBytes;
        splitPause_ = pause;
    }
    notify();
}

void PrinterModel::sendRaw(const std::string& bytes) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (connected_ && !silent_) output_ += bytes;
    }
    notify();
}

void PrinterModel::sendExtensionData(const std::string& payload, const std::string& identifier) {
    sendRaw(statusFrameWithExtension(identifier, payload));
}

void PrinterModel::setModelName(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    modelName_ = name;
}

std::string PrinterModel::modelName() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return modelName_;
}

void PrinterModel::setAnswerDiscovery(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    answerDiscovery_ = on;
}

void PrinterModel::setDiscoveryReply(std::optional<std::string> bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    discoveryReplyOverride_ = std::move(bytes);
}

void PrinterModel::setStatusPortReply(std::optional<std::string> bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    statusPortReplyOverride_ = std::move(bytes);
}

void PrinterModel::setStatusPortEscpos(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    statusPortEscpos_ = on;
}

bool PrinterModel::statusPortEscpos() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return statusPortEscpos_;
}

// ---- Front-end side ----

void PrinterModel::hostConnected() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connected_ = true;
        ++connections_;
        output_.clear();
        dropRequested_ = false;
    }
    changed_.notify_all();
}

void PrinterModel::hostDisconnected() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // A command cut off by the end of the connection was never a command.
        std::string partial;
        partial.swap(commandBytes_);
        for (char byte : partial)
            acceptDataByte(byte);
        std::deque<Marker> kept;
        for (const Marker& marker : markers_)
            if (!marker.jobEnd) kept.push_back(marker);
        markers_.swap(kept);
        connected_ = false;
        output_.clear();
    }
    changed_.notify_all();
}

std::size_t PrinterModel::admitBytes(std::size_t length, bool& closeNow) {
    std::lock_guard<std::mutex> lock(mutex_);
    closeNow = false;
    if (!closeAfter_) return length;
    std::size_t take = length < *closeAfter_ ? length : *closeAfter_;
    *closeAfter_ -= take;
    if (*closeAfter_ == 0) {
        closeNow = true;
        closeAfter_.reset();
    }
    return take;
}

bool PrinterModel::isCommandPrefix(const std::string& bytes) const {
    for (const std::string& command : g_completionCommands)
        if (starts_with(command, bytes)) return true;
    if (realTime_) {
        if (bytes.size() == 1) return bytes[0] == g_dle;
        if (bytes.size() == 2) return bytes[0] == g_dle && bytes[1] == 0x04;
        if (bytes.size() == 3) return bytes[0] == g_dle && bytes[1] == 0x04 && bytes[2] >= 1 && bytes[2] <= 4;
    }
    return false;
}

void PrinterModel::consume(const char* data, std::size_t length) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.append(data, length);
        for (std::size_t i = 0; i < length; ++i) {
            // Print data up to the next byte that may begin a command goes in one
            // piece: a host sending megabytes must not wait for the printer model.
            std::size_t end = i;
            while (commandBytes_.empty() && end < length && data[end] != g_esc && !(realTime_ && data[end] == g_dle))
                ++end;
            if (end > i) {
                acceptDataRun(data + i, end - i);
                i = end - 1;
                continue;
            }
            std::string pending(1, data[i]);
            // Feed bytes through the command recogniser; a prefix that stops
            // matching gives its first byte up as data and the rest is looked at again.
            while (!pending.empty()) {
                char byte = pending.front();
                pending.erase(0, 1);
                if (commandBytes_.empty() && byte != g_esc && !(realTime_ && byte == g_dle)) {
                    acceptDataByte(byte);
                    continue;
                }
                commandBytes_ += byte;
                if (!isCommandPrefix(commandBytes_)) {
                    std::string rest = commandBytes_.substr(1);
                    acceptDataByte(commandBytes_[0]);
                    commandBytes_.clear();
                    pending = rest + pending;
                    continue;
                }
                bool complete = commandBytes_.size() == 6 || (commandBytes_[0] == g_dle && commandBytes_.size() == 3);
                if (complete) {
                    std::string command;
                    command.swap(commandBytes_);
                    handleCommand(command);
                }
            }
        }
    }
    changed_.notify_all();
}

void PrinterModel::acceptDataByte(char byte) {
    if (unprinted_.empty()) {
        lastAdvance_ = Clock::now();
        printBudget_ = 0;
    }
    unprinted_.push_back(byte);
    ++dataCount_;
    if (printSpeed_ == 0 && status_.canPrint()) printLocked(unprinted_.size());
}

void PrinterModel::acceptDataRun(const char* data, std::size_t length) {
    if (!unprinted_.empty() || printSpeed_ != 0 || !status_.canPrint()) {
        for (std::size_t i = 0; i < length; ++i)
            acceptDataByte(data[i]);
        return;
    }
    // Printed at once, as byte by byte: nothing waits before it, so every
    // marker due up to here has fired already.
    lastAdvance_ = Clock::now();
    printBudget_ = 0;
    printed_.append(data, length);
    dataCount_ += length;
    const auto etbs = static_cast<unsigned>(std::count(data, data + length, g_etb));
    status_.etbCounter = (status_.etbCounter + etbs) % 32;
    fireMarkersLocked();
}

void PrinterModel::handleCommand(const std::string& command) {
    if (command[0] == g_dle) {
        // Real-time requests are answered at once, ahead of any unprinted data.
        if (!silent_ && connected_)
            output_ += static_cast<char>(EncodeRealTimeStatus(status_, static_cast<uint8_t>(command[2])));
        return;
    }
    if (command == g_jobBeginPoll) {
        uint8_t c = nextJobBegin_.value_or(0);
        nextJobBegin_.reset();
        if (!silent_ && connected_ && answerCommands_) {
            output_ += g_jobBeginPoll;
            output_ += static_cast<char>(c);
            output_ += '\0';
        }
        return;
    }
    if (command == g_jobEnd || command == g_jobEndPoll) {
        // Every job end and every poll gets its own answer once the data
        // before it is printed, as a printer answers them.
        markers_.push_back(Marker{dataCount_, true, static_cast<uint8_t>(command[3])});
        fireMarkersLocked();
    }
    // Status preamble, job begin and job acknowledge need no answer.
}

void PrinterModel::fireMarkersLocked() {
    while (!markers_.empty() && markers_.front().position <= printed_.size()) {
        Marker marker = markers_.front();
        markers_.pop_front();
        if (!marker.jobEnd) continue;
        uint8_t c = nextJobEnd_.value_or(1);
        nextJobEnd_.reset();
        if (silent_ || !connected_ || !answerCommands_) continue;
        output_ += std::string("\x1B\x1D\x03", 3);
        output_ += static_cast<char>(marker.command);
        output_ += std::string("\x01\x01", 2);
        output_ += static_cast<char>(c);
        output_ += '\0';
    }
}

void PrinterModel::printLocked(std::size_t count) {
    for (std::size_t i = 0; i < count && !unprinted_.empty(); ++i) {
        char byte = unprinted_.front();
        unprinted_.pop_front();
        printed_ += byte;
        if (byte == g_etb) status_.etbCounter = (status_.etbCounter + 1) % 32;
        fireMarkersLocked();
    }
    fireMarkersLocked();
}

void PrinterModel::advance(Clock::time_point now) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (unprinted_.empty() || !status_.canPrint()) {
            lastAdvance_ = now;
            printBudget_ = 0;
            fireMarkersLocked();
            return;
        }
        if (printSpeed_ == 0) {
            printLocked(unprinted_.size());
        } else if (now > lastAdvance_) {
            printBudget_ += std::chrono::duration<double>(now - lastAdvance_).count() * printSpeed_;
            auto count = static_cast<std::size_t>(std::floor(printBudget_));
            printBudget_ -= static_cast<double>(count);
            lastAdvance_ = now;
            printLocked(count);
            if (unprinted_.empty()) printBudget_ = 0;
        }
    }
    changed_.notify_all();
}

bool PrinterModel::printing() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !unprinted_.empty() && status_.canPrint() && printSpeed_ > 0;
}

std::string PrinterModel::takeOutput() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out;
    out.swap(output_);
    return silent_ ? std::string() : out;
}

bool PrinterModel::takeDropRequest() {
    std::lock_guard<std::mutex> lock(mutex_);
    bool requested = dropRequested_;
    dropRequested_ = false;
    return requested;
}

std::size_t PrinterModel::splitChunk() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return splitChunk_;
}

std::chrono::milliseconds PrinterModel::splitPause() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return splitPause_;
}

std::optional<std::string> PrinterModel::discoveryReply(const std::string& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    discoveryRequests_.push_back(request);
    changed_.notify_all();
    if (!IsDiscoveryRequest(request) || !answerDiscovery_ || silent_) return std::nullopt;
    if (discoveryReplyOverride_) return discoveryReplyOverride_;
    return EncodeDiscoveryReply(modelName_);
}

std::optional<std::string> PrinterModel::statusPortReply() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++statusRequests_;
    changed_.notify_all();
    if (silent_) return std::nullopt;
    if (statusPortReplyOverride_) return statusPortReplyOverride_;
    return statusPortEscpos_ ? EncodeEscposAutomaticStatus(status_) : EncodeVelmarStatus(status_);
}

void PrinterModel::setChangeListener(std::function<void()> listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    listener_ = std::move(listener);
}

}  // namespace emulator
