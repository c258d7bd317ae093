// The abstract printer port: the contract every transport fulfils, and the
// factory that chooses a transport from the port name.
#pragma once

#include "quenvar.h"

class Port {
public:
    Port() = default;
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;
    virtual ~Port() = default;

    // Reads at most `size` bytes the printer sent into `buf`; `*read` gets the count.
    virtual int readPort(unsigned char* buf, unsigned int size, unsigned int* read) = 0;
    // Sends `size` bytes of `buf` in one transfer; `*written` gets how many the port took.
    virtual int writePort(const unsigned char* buf, unsigned int size, unsigned int* written) = 0;
    // `*online` gets 1 when the printer is online, 0 when it is not.
    virtual int getOnlineStatus(unsigned int* online) = 0;
    // Fills `*status` with the printer's current status.
    virtual int getParsedStatus(VelmarPrinterStatus_2* status) = 0;
    // Begins a checked block before a job; `*status` gets the status at that moment.
    virtual int beginCheckedBlock(VelmarPrinterStatus_2* status) = 0;
    // Ends a checked block: waits for the printer to confirm the job, then fills `*status`.
    virtual int endCheckedBlock(VelmarPrinterStatus_2* status) = 0;
    // Resets the printer or its connection, as the transport allows.
    virtual int resetDevice() = 0;

    // The transport that takes `portName`, opened with the unchanged arguments,
    // or null when no transport takes the name or opening fails. Never throws.
    static Port* createPort(const char* portName, const char* portSettings, unsigned int timeoutMs);
};
