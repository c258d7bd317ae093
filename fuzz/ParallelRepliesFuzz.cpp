// The parallel port's status and checked blocks against a printer whose
// reverse channel says anything: the first reply of the input waits when the
// port opens, and each write the port makes brings the next (a length byte,
// bit 7 making the write after it find the printer busy). The first input
// byte picks the operations and whether the reverse channel fails. Every result must be a well-formed record, a block
// may begin or confirm only on the printer's own consent or confirmation, and every call ends within its bound (in
// virtual time, so the pauses cost nothing).
#include <cstdint>
#include <string>

#include "FuzzChecks.h"
#include "ScriptedParallelPort.h"
#include "VirtualClock.h"
#include "quenvar.h"

using namespace fuzzsupport;

namespace {

constexpr unsigned int kTimeoutMs = 100;
// A status call makes at most eight 100 ms pauses; its reads do not wait.
constexpr uint64_t kStatusBoundMs = 800;
constexpr uint64_t kBlockBoundMs = QUENVAR_CHECKED_BLOCK_BOUND_MS(kTimeoutMs);
// ReadPort looks every 10 ms for up to 1000 ms, whatever the time limit.
constexpr uint64_t kReadBoundMs = 1000 + 10;
// The most status bytes one read keeps in a record.
constexpr uint32_t kRawMax = 63;

void CheckParallelRecord(const VelmarPrinterStatus_2& status) {
    CheckRecord(status);
    Check(status.rawLength <= kRawMax && status.etbAvailable == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::shared_ptr<ScriptedParallelPort> port = ScriptedParallelPort::Make();
    if (size == 0) return 0;
    const uint8_t operations = data[0];
    port->start(ParallelReplies(data + 1, size - 1), (operations & 0x10) != 0);

    VirtualTime virtualTime;
    void* handle = OpenPort(port->name().c_str(), "", kTimeoutMs);
    Check(handle != nullptr);
    VelmarPrinterStatus_2 status;
    if (operations & 0x01) {
        if (Timed(kStatusBoundMs, 0, [&] { return GetParsedStatusEx(handle, &status, 2); }) == 1)
            CheckParallelRecord(status);
    }
    if (operations & 0x02) {
        if (Timed(kBlockBoundMs, 0, [&] { return BeginCheckedBlockEx(handle, &status, 2); }) == 1) {
            CheckParallelRecord(status);
            if (status.offline == 0) Check(Holds(port->delivered(), kJobBeginConsent));
        }
    }
    if (operations & 0x04) {
        unsigned int written = 0;
        (void)WritePort(handle, reinterpret_cast<const unsigned char*>("job"), 3, &written);
        if (Timed(kBlockBoundMs, 0, [&] { return EndCheckedBlockEx(handle, &status, 2); }) == 1) {
            CheckParallelRecord(status);
            if (status.offline == 0) Check(Holds(port->delivered(), kJobEndConfirmation));
        }
    }
    if (operations & 0x08) {
        unsigned char buffer[64];
        unsigned int read = 0;
        if (Timed(kReadBoundMs, 0, [&] { return ReadPort(handle, buffer, sizeof buffer, &read); }) == 1)
            Check(read <= sizeof buffer);
    }
    ClosePort(handle);
    return 0;
}
