#include "emulator/PrinterModel.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace emulator {

namespace {

constexpr char g_esc = 0x1B;
constexpr char g_dle = 0x10;
constexpr char g_etb = 0x17;
constexpr char g_gs = 0x1D;
// Bytes kept beyond the limit before the record is trimmed, so that trimming
// is rare; at most the limit again, so that a printer keeping a small tail in
// a run of many jobs holds no more than twice that.
constexpr std::size_t g_trimSlack = 64 * 1024;

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

// ---- Subscriptions ----

PrinterModel::Subscription::Subscription(Subscription&& other) noexcept : model_(other.model_), id_(other.id_) {
    other.model_ = nullptr;
}

PrinterModel::Subscription& PrinterModel::Subscription::operator=(Subscription&& other) noexcept {
    if (this != &other) {
        reset();
        model_ = other.model_;
        id_ = other.id_;
        other.model_ = nullptr;
    }
    return *this;
}

PrinterModel::Subscription::~Subscription() { reset(); }

void PrinterModel::Subscription::reset() {
    if (model_) model_->unsubscribe(id_);
    model_ = nullptr;
}

PrinterModel::Subscription PrinterModel::subscribe(std::function<void()> listener) {
    std::lock_guard<std::mutex> lock(listenersMutex_);
    uint64_t id = nextListener_++;
    listeners_.emplace(id, std::move(listener));
    return Subscription(this, id);
}

void PrinterModel::unsubscribe(uint64_t id) {
    std::lock_guard<std::mutex> lock(listenersMutex_);
    listeners_.erase(id);
}

void PrinterModel::notify() {
    changed_.notify_all();
    std::lock_guard<std::mutex> lock(listenersMutex_);
    for (auto& entry : listeners_)
        entry.second();
}

// ---- Kept bytes ----

void PrinterModel::History::append(const char* data, std::size_t length) {
    kept.append(data, length);
    if (keep && kept.size() > *keep + std::min(g_trimSlack, std::max<std::size_t>(*keep, 1))) {
        std::size_t drop = kept.size() - *keep;
        kept.erase(0, drop);
        dropped += drop;
    }
}

std::string PrinterModel::History::since(uint64_t offset) const {
    if (offset >= size()) return std::string();
    return offset <= dropped ? kept : kept.substr(static_cast<std::size_t>(offset - dropped));
}

void PrinterModel::set(Condition condition, bool on) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        bool couldPrint = status_.canPrint();
        status_.set(condition, on);
        // Time spent stopped must not count as printing time once printing resumes.
        if (!couldPrint && status_.canPrint()) {
            lastAdvance_ = Clock::now();
            fireMarkersLocked();
        }
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
        fireMarkersLocked();
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

std::string PrinterModel::escposAutomaticStatus() const { return EncodeEscposAutomaticStatus(status()); }

uint8_t PrinterModel::realTimeStatus(uint8_t n) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return realTimeReplyLocked(n);
}

uint8_t PrinterModel::realTimeReplyLocked(uint8_t n) const {
    const auto set = realTimeReplies_.find(n);
    return set != realTimeReplies_.end() ? set->second : EncodeRealTimeStatus(status_, n);
}

void PrinterModel::setRealTimeReply(uint8_t n, std::optional<uint8_t> reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (reply)
        realTimeReplies_[n] = *reply;
    else
        realTimeReplies_.erase(n);
}

void PrinterModel::sayBeforeNextAnswer(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    beforeNextAnswer_ = bytes;
}

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

void PrinterModel::setTakeAutomaticStatusCommand(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    automaticStatusCommand_ = on;
}

uint8_t PrinterModel::automaticStatusMask() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return automaticStatusMask_;
}

unsigned PrinterModel::automaticStatusStarts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return automaticStatusStarts_;
}

std::string PrinterModel::printedData() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return printed_.kept;
}

std::string PrinterModel::printedSince(std::size_t offset) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return printed_.since(offset);
}

std::size_t PrinterModel::printedSize() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<std::size_t>(printed_.size());
}

std::size_t PrinterModel::unprintedSize() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return unprinted_.size();
}

std::string PrinterModel::allReceived() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_.kept;
}

std::size_t PrinterModel::receivedSize() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<std::size_t>(received_.size());
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

void PrinterModel::setPrintedSink(PrintedSink sink, std::size_t keepBytes) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::optional<std::size_t> keep;
        if (sink) keep = keepBytes;
        sink_ = sink ? std::make_shared<PrintedSink>(std::move(sink)) : nullptr;
        sinkPending_.clear();
        printed_.keep = keep;
        received_.keep = keep;
    }
    // A run handed to the old sink before the change has the sink's lock
    // already: wait for it, so the old sink is not called after this returns.
    std::lock_guard<std::mutex> drained(sinkMutex_);
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

void PrinterModel::dropConnection() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        dropRequested_ = true;
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

void PrinterModel::setModelName(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    modelName_ = name;
}

std::string PrinterModel::modelName() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return modelName_;
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
        std::unique_lock<std::mutex> lock(mutex_);
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
        deliverPrinted(lock);
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
    // A printer taking both real-time requests and GS a must recognise each.
    if (realTime_ && bytes[0] == g_dle) {
        if (bytes.size() == 1) return true;
        if (bytes.size() == 2) return bytes[1] == 0x04;
        if (bytes.size() == 3) return bytes[1] == 0x04 && bytes[2] >= 1 && bytes[2] <= 4;
    }
    if (automaticStatusCommand_ && bytes[0] == g_gs) return bytes.size() == 1 || (bytes[1] == 'a' && bytes.size() <= 3);
    return false;
}

// True for a byte that may begin a command the printer takes out of the print data.
bool PrinterModel::startsCommand(char byte) const {
    return byte == g_esc || (realTime_ && byte == g_dle) || (automaticStatusCommand_ && byte == g_gs);
}

void PrinterModel::consume(const char* data, std::size_t length) {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        received_.append(data, length);
        for (std::size_t i = 0; i < length; ++i) {
            // Print data up to the next byte that may begin a command goes in one
            // piece: a host sending megabytes must not wait for the printer model.
            std::size_t end = i;
            while (commandBytes_.empty() && end < length && !startsCommand(data[end]))
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
                if (commandBytes_.empty() && !startsCommand(byte)) {
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
                bool complete = commandBytes_.size() == 6 || (commandBytes_[0] != g_esc && commandBytes_.size() == 3);
                if (complete) {
                    std::string command;
                    command.swap(commandBytes_);
                    handleCommand(command);
                }
            }
        }
        deliverPrinted(lock);
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
    appendPrinted(data, length);
    dataCount_ += length;
    const auto etbs = static_cast<unsigned>(std::count(data, data + length, g_etb));
    status_.etbCounter = (status_.etbCounter + etbs) % 32;
    fireMarkersLocked();
}

void PrinterModel::handleCommand(const std::string& command) {
    if (command[0] == g_gs) {
        automaticStatusMask_ = static_cast<uint8_t>(command[2]);
        if (automaticStatusMask_ != 0) ++automaticStatusStarts_;
        return;
    }
    if (command[0] == g_dle) {
        // Real-time requests are answered at once, ahead of any unprinted data.
        if (!silent_ && connected_) output_ += static_cast<char>(realTimeReplyLocked(static_cast<uint8_t>(command[2])));
        return;
    }
    if (command == g_jobBeginPoll) {
        uint8_t c = nextJobBegin_.value_or(0);
        nextJobBegin_.reset();
        if (!silent_ && connected_ && answerCommands_) {
            output_ += beforeNextAnswer_;
            beforeNextAnswer_.clear();
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
        // A stopped printer (offline, cover open, paper out...) takes nothing
        // more from its buffer, the job end behind the printed data included:
        // it answers once it can print again.
        if (markers_.front().jobEnd && !status_.canPrint()) return;
        Marker marker = markers_.front();
        markers_.pop_front();
        if (!marker.jobEnd) continue;
        uint8_t c = nextJobEnd_.value_or(1);
        nextJobEnd_.reset();
        if (silent_ || !connected_ || !answerCommands_) continue;
        output_ += beforeNextAnswer_;
        beforeNextAnswer_.clear();
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
        appendPrinted(&byte, 1);
        if (byte == g_etb) status_.etbCounter = (status_.etbCounter + 1) % 32;
        fireMarkersLocked();
    }
    fireMarkersLocked();
}

void PrinterModel::advance(Clock::time_point now) {
    {
        std::unique_lock<std::mutex> lock(mutex_);
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
        deliverPrinted(lock);
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

void PrinterModel::appendPrinted(const char* data, std::size_t length) {
    printed_.append(data, length);
    if (sink_) sinkPending_.append(data, length);
}

// Hands what was printed to the sink in print order and lets go of the state
// lock: the sink's own lock is taken before the state lock is let go, so a
// later run cannot overtake this one, and nobody waits for the state while the
// sink works.
void PrinterModel::deliverPrinted(std::unique_lock<std::mutex>& lock) {
    if (!sink_ || sinkPending_.empty()) return;
    std::shared_ptr<PrintedSink> sink = sink_;
    std::string run;
    run.swap(sinkPending_);
    std::lock_guard<std::mutex> order(sinkMutex_);
    lock.unlock();
    (*sink)(run.data(), run.size());
}

}  // namespace emulator
