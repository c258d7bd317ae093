#include "UsbTestSupport.h"

#include <algorithm>

namespace usbtest {

emulator::UsbPrinterOptions WithSerial(const std::u16string& serial, const std::string& model) {
    emulator::UsbPrinterOptions options;
    options.serialNumber = serial;
    options.modelName = model;
    return options;
}

namespace {

template <class Call>
VelmarPrinterStatus_2 statusCall(void* port, int* result, Call call) {
    VelmarPrinterStatus_2 status{};
    *result = call(port, &status, 2);
    return status;
}

}  // namespace

VelmarPrinterStatus_2 Status(void* port, int* result) { return statusCall(port, result, GetParsedStatusEx); }
VelmarPrinterStatus_2 Begin(void* port, int* result) { return statusCall(port, result, BeginCheckedBlockEx); }
VelmarPrinterStatus_2 End(void* port, int* result) { return statusCall(port, result, EndCheckedBlockEx); }

bool WriteAll(void* port, const std::string& data) {
    std::size_t at = 0;
    while (at < data.size()) {
        unsigned int written = 0;
        const auto* bytes = reinterpret_cast<const unsigned char*>(data.data() + at);
        if (WritePort(port, bytes, static_cast<unsigned int>(data.size() - at), &written) == 0 || written == 0)
            return false;
        at += written;
    }
    return true;
}

std::size_t Count(const std::vector<std::string>& names, const std::string& name) {
    return static_cast<std::size_t>(std::count(names.begin(), names.end(), name));
}

std::string SentOut(const testsupport::UsbPlug& plug) {
    std::string sent;
    for (const auto& entry : plug.log().entries("bulk-out"))
        sent.append(entry.data.begin(), entry.data.end());
    return sent;
}

}  // namespace usbtest
