#include "emulator/UsbVendorPrinter.h"

namespace emulator {

namespace {

constexpr uint8_t kVendorIn = 0xC0, kVendorOut = 0x40;
constexpr uint8_t kIdentification = 0, kPortStatus = 1, kReset = 2, kReceiveData = 3;
constexpr uint8_t kBulkOut = 0x01, kBulkIn = 0x82;

std::vector<UsbAltSettingDescription> vendor_interface() {
    UsbAltSettingDescription alt;
    alt.interfaceClass = 0xFF;
    alt.endpoints = {{kBulkOut, 2, 64}, {kBulkIn, 2, 64}};
    return {alt};
}

}  // namespace

UsbVendorPrinter::UsbVendorPrinter(UsbPrinterOptions options)
    : UsbPrinterDevice(std::move(options), 0x0002, vendor_interface()) {}

void UsbVendorPrinter::sendStatusBlock() {
    const std::string block = model().velmarStatusBlock();
    std::lock_guard<std::mutex> lock(mutex_);
    if (!model().silent()) transfers_.push_back(block);
}

unsigned UsbVendorPrinter::statusCommands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return statusCommands_;
}

std::size_t UsbVendorPrinter::waitingTransfers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return transfers_.size();
}

void UsbVendorPrinter::collectLocked() {
    std::string said = model().takeOutput();
    if (!said.empty()) transfers_.push_back(said);
}

std::size_t UsbVendorPrinter::waitingBytesLocked() const {
    std::size_t bytes = 0;
    for (const std::string& transfer : transfers_)
        bytes += transfer.size();
    return bytes;
}

UsbControlAnswer UsbVendorPrinter::control(const UsbSetup& setup, const std::string&) {
    if (auto answer = standardRequest(setup)) return *answer;
    if (setup.requestType == kVendorIn && setup.request == kIdentification) {
        const std::string text = identification();
        const auto length = static_cast<unsigned>(text.size() + 2);
        return UsbControlAnswer::Bytes(std::string{static_cast<char>(length >> 8), static_cast<char>(length)} + text);
    }
    if (setup.requestType == kVendorIn && setup.request == kPortStatus)
        return UsbControlAnswer::Bytes(std::string(1, static_cast<char>(portStatus())));
    if (setup.requestType == kVendorIn && setup.request == kReceiveData) {
        catchUp();
        std::lock_guard<std::mutex> lock(mutex_);
        collectLocked();
        std::size_t waiting = waitingBytesLocked();
        if (waiting > 0xFFFF) waiting = 0xFFFF;
        return UsbControlAnswer::Bytes({static_cast<char>(waiting & 0xFF), static_cast<char>(waiting >> 8)});
    }
    if (setup.requestType == kVendorOut && setup.request == kReset) {
        countReset();
        std::lock_guard<std::mutex> lock(mutex_);
        model().takeOutput();
        transfers_.clear();
        return UsbControlAnswer::Bytes({});
    }
    return UsbControlAnswer::Stall();
}

bool UsbVendorPrinter::bulkOut(uint8_t endpoint, const std::string& data) {
    if (endpoint != kBulkOut || bulkOutBlocked()) return false;
    std::vector<std::string> commands;
    std::string printData;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        printData = statusCommand_.filter(data, commands);
    }
    model().consume(printData.data(), printData.size());
    for (std::size_t i = 0; i < commands.size(); ++i) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++statusCommands_;
        }
        sendStatusBlock();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    collectLocked();
    return true;
}

std::optional<std::string> UsbVendorPrinter::bulkIn(uint8_t endpoint, std::size_t length) {
    if (endpoint != kBulkIn) return std::nullopt;
    catchUp();
    std::lock_guard<std::mutex> lock(mutex_);
    collectLocked();
    if (transfers_.empty()) return std::nullopt;
    std::string& front = transfers_.front();
    if (front.size() <= length) {
        std::string whole = std::move(front);
        transfers_.pop_front();
        return whole;
    }
    std::string part = front.substr(0, length);
    front.erase(0, length);
    return part;
}

}  // namespace emulator
