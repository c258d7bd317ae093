// The USB printer-class port's status and checked blocks against a printer
// whose bulk IN pipe answers anything: each bulk OUT transfer the port makes
// brings the next reply of the input (a length byte, then its bytes; empty:
// nothing to say). The first input byte picks the operations. Every result
// must be a well-formed record, a block may begin or confirm only on the
// printer's own consent or confirmation, and every call ends within its
// bound (in virtual time).
#include <cstdint>
#include <memory>
#include <string>

#include "FuzzChecks.h"
#include "ScriptedUsbPrinters.h"
#include "VirtualClock.h"
#include "quenvar.h"
#include "tests/support/FakeUsb.h"

using namespace fuzzsupport;

namespace {

constexpr unsigned int kTimeoutMs = 100;
constexpr uint64_t kBoundMs = QUENVAR_CHECKED_BLOCK_BOUND_MS(kTimeoutMs);
// The acknowledge of an answer that came in time has a second of its own.
constexpr uint64_t kAcknowledgeMs = 1000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static PluggedPrinter<ScriptedClassPrinter> rig(u"FUZZPRN1");
    if (size == 0) return 0;
    const uint8_t operations = data[0];
    rig.start(data + 1, size - 1);

    VirtualTime virtualTime;
    void* port = OpenPort("usbprn:;sn:FUZZPRN1", "", kTimeoutMs);
    Check(port != nullptr);
    VelmarPrinterStatus_2 status;
    if (operations & 0x01) {
        if (Timed(kBoundMs, kAcknowledgeMs, [&] { return GetParsedStatusEx(port, &status, 2); }) == 1)
            CheckRecord(status);
    }
    if (operations & 0x02) {
        if (Timed(kBoundMs, kAcknowledgeMs, [&] { return BeginCheckedBlockEx(port, &status, 2); }) == 1) {
            CheckRecord(status);
            if (status.offline == 0) Check(Holds(rig.printer->delivered(), kJobBeginConsent));
        }
    }
    if (operations & 0x04) {
        unsigned int written = 0;
        (void)WritePort(port, reinterpret_cast<const unsigned char*>("job"), 3, &written);
        if (Timed(kBoundMs, kAcknowledgeMs, [&] { return EndCheckedBlockEx(port, &status, 2); }) == 1) {
            CheckRecord(status);
            if (status.offline == 0) Check(Holds(rig.printer->delivered(), kJobEndConfirmation));
        }
    }
    if (operations & 0x08) {
        unsigned char buffer[64];
        unsigned int read = 0;
        if (ReadPort(port, buffer, sizeof buffer, &read) == 1) Check(read <= sizeof buffer);
    }
    ClosePort(port);
    return 0;
}
