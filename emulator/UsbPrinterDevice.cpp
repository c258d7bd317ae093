#include "emulator/UsbPrinterDevice.h"

#include <chrono>

namespace emulator {

namespace {

constexpr uint8_t kGetDescriptor = 6;
constexpr uint8_t kStringDescriptor = 3;
constexpr uint8_t kManufacturerIndex = 1, kProductIndex = 2, kSerialNumberIndex = 3;

constexpr uint32_t bit(Condition condition) { return 1u << static_cast<unsigned>(condition); }

// Conditions the port status reports as an error (bit 3 cleared).
constexpr uint32_t kErrorConditions = bit(Condition::CoverOpen) | bit(Condition::CutterError) |
                                      bit(Condition::MechanicalError) | bit(Condition::UnrecoverableError) |
                                      bit(Condition::OverTemperature) | bit(Condition::HeadUp) |
                                      bit(Condition::PresenterPaperJam);

}  // namespace

uint8_t EncodeUsbPortStatus(const PrinterStatus& status) {
    uint8_t byte = 0;
    if ((status.conditions & kErrorConditions) == 0) byte |= 0x08;
    if (!status.has(Condition::Offline)) byte |= 0x10;
    if (status.has(Condition::PaperEmpty)) byte |= 0x20;
    return byte;
}

UsbPrinterDevice::UsbPrinterDevice(UsbPrinterOptions options, uint16_t defaultProduct,
                                   std::vector<UsbAltSettingDescription> defaultAltSettings)
    : options_(std::move(options)) {
    description_.vendor = kVendor;
    description_.product = options_.product != 0 ? options_.product : defaultProduct;
    description_.serialNumberIndex = options_.serialNumber ? kSerialNumberIndex : 0;
    UsbConfigurationDescription configuration;
    configuration.altSettings = options_.altSettings.empty() ? std::move(defaultAltSettings) : options_.altSettings;
    description_.configurations.push_back(configuration);

    model_.setPrintSpeed(options_.printSpeedBps);
    // The host is always there while the device is plugged in.
    model_.hostConnected();
    subscription_ = model_.subscribe([this] {
        std::lock_guard<std::mutex> lock(clockMutex_);
        changed_ = true;
        clockWake_.notify_all();
    });
    clock_ = std::thread([this] { runClock(); });
}

UsbPrinterDevice::~UsbPrinterDevice() {
    {
        std::lock_guard<std::mutex> lock(clockMutex_);
        stopping_ = true;
        clockWake_.notify_all();
    }
    clock_.join();
    subscription_.reset();
}

// The printer prints on its own time: while data waits it advances every few
// milliseconds; otherwise it sleeps until something changes.
void UsbPrinterDevice::runClock() {
    std::unique_lock<std::mutex> lock(clockMutex_);
    while (!stopping_) {
        const bool printing = model_.printing();
        clockWake_.wait_for(lock, std::chrono::milliseconds(printing ? 2 : 50),
                            [this] { return changed_ || stopping_; });
        changed_ = false;
        lock.unlock();
        model_.advance(PrinterModel::Clock::now());
        lock.lock();
    }
}

void UsbPrinterDevice::catchUp() { model_.advance(PrinterModel::Clock::now()); }

std::string UsbPrinterDevice::identification() const {
    return "MFG:Velmar;CMD:ESC/POS;MDL:" + options_.modelName + ";CLS:PRINTER;";
}

void UsbPrinterDevice::setBulkOutBlocked(bool blocked) {
    std::lock_guard<std::mutex> lock(mutex_);
    bulkOutBlocked_ = blocked;
}

bool UsbPrinterDevice::bulkOutBlocked() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bulkOutBlocked_;
}

void UsbPrinterDevice::setPortStatus(std::optional<uint8_t> byte) {
    std::lock_guard<std::mutex> lock(mutex_);
    portStatus_ = byte;
}

uint8_t UsbPrinterDevice::portStatus() const {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (portStatus_) return *portStatus_;
    }
    return EncodeUsbPortStatus(model_.status());
}

unsigned UsbPrinterDevice::resets() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return resets_;
}

void UsbPrinterDevice::countReset() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++resets_;
}

std::string UsbPrinterDevice::descriptors() const { return EncodeUsbDescriptors(description_); }

void UsbPrinterDevice::attached(bool plugged) {
    // Pulling the cable loses the answers the printer still owed the host.
    if (plugged)
        model_.hostConnected();
    else
        model_.hostDisconnected();
}

std::optional<UsbControlAnswer> UsbPrinterDevice::standardRequest(const UsbSetup& setup) const {
    if (setup.requestType != 0x80 || setup.request != kGetDescriptor || (setup.value >> 8) != kStringDescriptor)
        return std::nullopt;
    switch (setup.value & 0xFF) {
    case 0:
        return UsbControlAnswer::Bytes(std::string("\x04\x03\x09\x04", 4));  // English (United States)
    case kManufacturerIndex:
        return UsbControlAnswer::Bytes(EncodeUsbString(std::string("Velmar")));
    case kProductIndex:
        return UsbControlAnswer::Bytes(EncodeUsbString(options_.modelName));
    case kSerialNumberIndex:
        if (options_.serialNumber) return UsbControlAnswer::Bytes(EncodeUsbString(*options_.serialNumber));
        break;
    default:
        break;
    }
    return UsbControlAnswer::Stall();
}

std::string UsbPrinterDevice::CommandFilter::filter(const std::string& data, std::vector<std::string>& found) {
    const std::string bytes = held_ + data;
    held_.clear();
    std::string rest;
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::size_t left = bytes.size() - at;
        const std::size_t take = left < pattern_.size() ? left : pattern_.size();
        const std::string candidate = bytes.substr(at, take);
        if (matchesPrefix(candidate)) {
            if (take == pattern_.size()) {
                found.push_back(candidate);
                at += take;
                continue;
            }
            held_ = candidate;  // the next write finishes or breaks it
            break;
        }
        rest += bytes[at++];
    }
    return rest;
}

bool UsbPrinterDevice::CommandFilter::matchesPrefix(const std::string& bytes) const {
    for (std::size_t i = 0; i < bytes.size(); ++i)
        if (pattern_[i] >= 0 && static_cast<unsigned char>(bytes[i]) != pattern_[i]) return false;
    return true;
}

}  // namespace emulator
