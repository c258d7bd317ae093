#include "emulator/UsbClassPrinter.h"

namespace emulator {

namespace {

constexpr uint8_t kClassIn = 0xA1, kClassOut = 0x21;
constexpr uint8_t kGetDeviceId = 0, kGetPortStatus = 1, kSoftReset = 2;
constexpr uint8_t kBulkOut = 0x01, kBulkIn = 0x82;
constexpr std::size_t kReplyKept = 64;  // the printer's reply buffer

std::vector<UsbAltSettingDescription> printer_interface(bool unidirectional) {
    UsbAltSettingDescription alt;
    alt.interfaceClass = 7;
    alt.interfaceSubClass = 1;
    alt.interfaceProtocol = unidirectional ? 1 : 2;
    alt.endpoints = {{kBulkOut, 2, 64}};
    if (!unidirectional) alt.endpoints.push_back({kBulkIn, 2, 64});
    return {alt};
}

}  // namespace

UsbClassPrinter::UsbClassPrinter(UsbPrinterOptions options, bool unidirectional)
    : UsbPrinterDevice(std::move(options), 0x0001, printer_interface(unidirectional)) {
    model().setAnswerRealTimeRequests(true);
    model().setTakeAutomaticStatusCommand(true);
}

bool UsbClassPrinter::automaticStatus() const { return model().automaticStatusMask() != 0; }

void UsbClassPrinter::collectLocked() {
    latestReply_ += model().takeOutput();
    const unsigned starts = model().automaticStatusStarts();
    if (starts != automaticStatusStarts_) {
        automaticStatusStarts_ = starts;
        lastAutomaticBlock_.clear();  // switching it on reports the status at once
    }
    if (automaticStatus() && !model().silent()) {
        const std::string block = model().escposAutomaticStatus();
        if (block != lastAutomaticBlock_) {
            latestReply_ += block;
            lastAutomaticBlock_ = block;
        }
    }
    if (latestReply_.size() > kReplyKept) latestReply_.erase(0, latestReply_.size() - kReplyKept);
}

UsbControlAnswer UsbClassPrinter::control(const UsbSetup& setup, const std::string&) {
    if (auto answer = standardRequest(setup)) return *answer;
    if (setup.requestType == kClassIn && setup.request == kGetDeviceId) {
        const std::string text = identification();
        const auto length = static_cast<unsigned>(text.size() + 2);
        return UsbControlAnswer::Bytes(std::string{static_cast<char>(length >> 8), static_cast<char>(length)} + text);
    }
    if (setup.requestType == kClassIn && setup.request == kGetPortStatus)
        return UsbControlAnswer::Bytes(std::string(1, static_cast<char>(portStatus())));
    if ((setup.requestType == kClassIn || setup.requestType == kClassOut) && setup.request == kSoftReset) {
        countReset();
        std::lock_guard<std::mutex> lock(mutex_);
        model().takeOutput();
        latestReply_.clear();
        return UsbControlAnswer::Bytes({});
    }
    return UsbControlAnswer::Stall();
}

bool UsbClassPrinter::bulkOut(uint8_t endpoint, const std::string& data) {
    if (endpoint != kBulkOut || bulkOutBlocked()) return false;
    catchUp();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // What the printer said before this write is superseded by it.
        collectLocked();
        latestReply_.clear();
    }
    model().consume(data.data(), data.size());
    std::lock_guard<std::mutex> lock(mutex_);
    collectLocked();
    return true;
}

std::optional<std::string> UsbClassPrinter::bulkIn(uint8_t endpoint, std::size_t length) {
    if (endpoint != kBulkIn) return std::nullopt;
    catchUp();
    std::lock_guard<std::mutex> lock(mutex_);
    collectLocked();
    if (latestReply_.empty()) return std::nullopt;
    return latestReply_.substr(0, length);
}

}  // namespace emulator
