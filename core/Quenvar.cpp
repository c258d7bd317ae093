// The exported C interface: each function forwards to one operation of the
// port, and no exception ever crosses it.
#include "quenvar.h"

#include "core/Port.h"
#include "core/StatusConversion.h"

namespace {

Port* asPort(void* port) { return static_cast<Port*>(port); }

// Runs one port operation; anything thrown on the way is a failed call.
template <class Operation>
int guarded(Operation operation) {
    try {
        return operation();
    } catch (...) {
        return 0;
    }
}

// The status call shared by the three "Ex" functions: the transport fills a
// fresh, zeroed record, and only a successful operation reaches the caller's structure.
template <class Operation>
int statusCall(void* port, void* status, unsigned int version, Operation operation) {
    if (port == nullptr || status == nullptr) return 0;
    return guarded([&] {
        // A zeroed record: a transport that fills only some fields must not
        // hand the caller stack bytes in the others, the padding or raw.
        VelmarPrinterStatus_2 record{};
        const int result = operation(asPort(port), &record);
        if (result != 0) ConvertPrinterStatus(&record, status, version);
        return result;
    });
}

}  // namespace

extern "C" {

QUENVAR_API void* OpenPort(const char* portName, const char* portSettings, unsigned int timeoutMs) {
    return Port::createPort(portName, portSettings, timeoutMs);
}

QUENVAR_API int ClosePort(void* port) {
    try {
        delete asPort(port);
    } catch (...) {}
    return 1;
}

QUENVAR_API int ReadPort(void* port, unsigned char* buf, unsigned int size, unsigned int* read) {
    if (port == nullptr || read == nullptr || (buf == nullptr && size > 0)) return 0;
    return guarded([&] { return asPort(port)->readPort(buf, size, read); });
}

QUENVAR_API int WritePort(void* port, const unsigned char* buf, unsigned int size, unsigned int* written) {
    if (port == nullptr || written == nullptr || (buf == nullptr && size > 0)) return 0;
    return guarded([&] { return asPort(port)->writePort(buf, size, written); });
}

QUENVAR_API int GetOnlineStatus(void* port, unsigned int* online) {
    if (port == nullptr || online == nullptr) return 0;
    return guarded([&] { return asPort(port)->getOnlineStatus(online); });
}

QUENVAR_API int GetParsedStatusEx(void* port, void* status, unsigned int version) {
    return statusCall(port, status, version,
                      [](Port* p, VelmarPrinterStatus_2* record) { return p->getParsedStatus(record); });
}

QUENVAR_API int GetParsedStatus(void* port, void* status) { return GetParsedStatusEx(port, status, 0); }

QUENVAR_API int BeginCheckedBlockEx(void* port, void* status, unsigned int version) {
    return statusCall(port, status, version,
                      [](Port* p, VelmarPrinterStatus_2* record) { return p->beginCheckedBlock(record); });
}

QUENVAR_API int BeginCheckedBlock(void* port, void* status) { return BeginCheckedBlockEx(port, status, 0); }

QUENVAR_API int EndCheckedBlockEx(void* port, void* status, unsigned int version) {
    return statusCall(port, status, version,
                      [](Port* p, VelmarPrinterStatus_2* record) { return p->endCheckedBlock(record); });
}

QUENVAR_API int EndCheckedBlock(void* port, void* status) { return EndCheckedBlockEx(port, status, 0); }

QUENVAR_API int ResetDevice(void* port) {
    if (port == nullptr) return 0;
    return guarded([&] { return asPort(port)->resetDevice(); });
}

}  // extern "C"
