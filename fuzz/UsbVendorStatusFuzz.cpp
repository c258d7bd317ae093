// The USB vendor route's status read and its ETB-confirmed checked block
// against a printer whose bulk IN pipe holds anything: the first reply of the
// input waits from the start, and each bulk OUT transfer the port makes
// (status requests, the job, its ETB) brings the next. The first input byte
// picks the operations. A status is taken only from a Velmar ASB block, a
// record is well formed, and every call ends within its bound (in virtual
// time).
#include <cstdint>
#include <memory>
#include <string>

#include "FuzzChecks.h"
#include "ScriptedUsbPrinters.h"
#include "VirtualClock.h"
#include "core/StatusDecoders.h"
#include "quenvar.h"
#include "tests/support/FakeUsb.h"

using namespace fuzzsupport;

namespace {

constexpr unsigned int kTimeoutMs = 100;
constexpr uint64_t kBoundMs = QUENVAR_CHECKED_BLOCK_BOUND_MS(kTimeoutMs);

void CheckBlock(const VelmarPrinterStatus_2& status) {
    CheckRecord(status);
    Check(status.rawLength >= 7 && CalculateStatusLength(status.raw[0]) != 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static PluggedPrinter<ScriptedVendorPrinter> rig(u"FUZZVEN1");
    if (size == 0) return 0;
    const uint8_t operations = data[0];
    rig.start(data + 1, size - 1);

    VirtualTime virtualTime;
    void* port = OpenPort("usbven:;sn:FUZZVEN1", "", kTimeoutMs);
    Check(port != nullptr);
    VelmarPrinterStatus_2 status;
    if (operations & 0x01) {
        if (Timed(kBoundMs, kTimeoutMs, [&] { return GetParsedStatusEx(port, &status, 2); }) == 1) CheckBlock(status);
    }
    if (operations & 0x02) {
        if (Timed(kBoundMs, kTimeoutMs, [&] { return BeginCheckedBlockEx(port, &status, 2); }) == 1) CheckBlock(status);
    }
    if (operations & 0x04) {
        unsigned int written = 0;
        (void)WritePort(port, reinterpret_cast<const unsigned char*>("job"), 3, &written);
        // The job is confirmed only on a block whose counter has moved on.
        if (Timed(kBoundMs, kTimeoutMs, [&] { return EndCheckedBlockEx(port, &status, 2); }) == 1) {
            CheckRecord(status);
            if (status.offline == 0) CheckBlock(status);
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
