// Port::createPort: the transports are asked, in a fixed order, whether a
// port name is theirs; the first that says yes is constructed.
#include "core/Port.h"
#include "transports/ParPort.h"
#include "transports/SerPort.h"
#include "transports/TCPPort.h"
#include "transports/USBPRNPort.h"
#include "transports/USBPort.h"

namespace {

struct Transport {
    int (*matchPortName)(const char* portName);
    Port* (*open)(const char* portName, const char* portSettings, unsigned int timeoutMs);
};

template <class TransportPort>
Port* openTransport(const char* portName, const char* portSettings, unsigned int timeoutMs) {
    return new TransportPort(portName, portSettings, timeoutMs);
}

template <class TransportPort>
constexpr Transport transport() {
    return Transport{&TransportPort::matchPortName, &openTransport<TransportPort>};
}

// The order matters: USB vendor route, USB printer class, network, serial,
// parallel. A transport not built yet is simply absent from the table.
constexpr Transport kTransports[] = {
    transport<USBPort>(), transport<USBPRNPort>(), transport<TCPPort>(),
    transport<SerPort>(), transport<ParPort>(),    {nullptr, nullptr},  // end of table
};

}  // namespace

Port* Port::createPort(const char* portName, const char* portSettings, unsigned int timeoutMs) {
    if (portName == nullptr || portSettings == nullptr) return nullptr;
    try {
        for (const Transport* t = kTransports; t->matchPortName != nullptr; ++t) {
            if (t->matchPortName(portName) == 1) return t->open(portName, portSettings, timeoutMs);
        }
    } catch (...) {
        // A transport that cannot open its device throws; the caller only
        // learns that the port did not open.
    }
    return nullptr;
}
