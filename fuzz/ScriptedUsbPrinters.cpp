#include "ScriptedUsbPrinters.h"

namespace fuzzsupport {

namespace {

constexpr uint8_t kVendorIn = 0xC0;
constexpr uint8_t kVendorOut = 0x40;
constexpr uint8_t kReceiveData = 3;
constexpr uint8_t kReset = 2;

}  // namespace

void ReplyScript::start(std::vector<std::string> replies) {
    std::lock_guard<std::mutex> lock(mutex_);
    replies_ = std::move(replies);
    next_ = 0;
    delivered_.clear();
}

bool ReplyScript::next(std::string* reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (next_ >= replies_.size()) return false;
    *reply = replies_[next_++];
    return true;
}

std::string ReplyScript::delivered() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return delivered_;
}

void ReplyScript::deliver(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    delivered_ += bytes;
}

void ScriptedVendorPrinter::start(std::vector<std::string> replies) {
    script_.start(std::move(replies));
    // The printer's own bulk IN pipe (status blocks, job answers) is never
    // read here, the script's is: the reset request empties it, as it would
    // otherwise grow with every input.
    emulator::UsbSetup reset;
    reset.requestType = kVendorOut;
    reset.request = kReset;
    (void)UsbVendorPrinter::control(reset, std::string());
    std::lock_guard<std::mutex> lock(mutex_);
    transfers_.clear();
    std::string first;
    if (script_.next(&first) && !first.empty()) transfers_.push_back(first);
}

emulator::UsbControlAnswer ScriptedVendorPrinter::control(const emulator::UsbSetup& setup, const std::string& dataOut) {
    if (setup.requestType != kVendorIn || setup.request != kReceiveData)
        return UsbVendorPrinter::control(setup, dataOut);
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t waiting = 0;
    for (const std::string& transfer : transfers_)
        waiting += transfer.size();
    if (waiting > 0xFFFF) waiting = 0xFFFF;
    return emulator::UsbControlAnswer::Bytes({static_cast<char>(waiting & 0xFF), static_cast<char>(waiting >> 8)});
}

bool ScriptedVendorPrinter::bulkOut(uint8_t endpoint, const std::string& data) {
    if (!UsbVendorPrinter::bulkOut(endpoint, data)) return false;
    std::string reply;
    if (!script_.next(&reply) || reply.empty()) return true;
    std::lock_guard<std::mutex> lock(mutex_);
    transfers_.push_back(reply);
    return true;
}

std::optional<std::string> ScriptedVendorPrinter::bulkIn(uint8_t, std::size_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (transfers_.empty()) return std::nullopt;
    std::string& front = transfers_.front();
    std::string part = front.substr(0, length);
    front.erase(0, part.size());
    if (front.empty()) transfers_.pop_front();
    script_.deliver(part);
    return part;
}

void ScriptedClassPrinter::start(std::vector<std::string> replies) {
    script_.start(std::move(replies));
    std::lock_guard<std::mutex> lock(mutex_);
    latest_.clear();
    std::string first;
    if (script_.next(&first)) latest_ = first;
}

bool ScriptedClassPrinter::bulkOut(uint8_t endpoint, const std::string& data) {
    if (!UsbClassPrinter::bulkOut(endpoint, data)) return false;
    std::string reply;
    const bool more = script_.next(&reply);
    std::lock_guard<std::mutex> lock(mutex_);
    latest_ = more ? reply : std::string();
    return true;
}

std::optional<std::string> ScriptedClassPrinter::bulkIn(uint8_t, std::size_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (latest_.empty()) return std::nullopt;
    const std::string part = latest_.substr(0, length);
    script_.deliver(part);
    return part;
}

}  // namespace fuzzsupport
