// The serial port's status and checked blocks against a printer that answers
// anything: each write the port makes is answered by the next reply of the
// input (a length byte, then its bytes). The first input byte picks the
// operations. Every result must be a well-formed record, a block may begin or
// confirm only on the printer's own consent or confirmation, and every call
// ends within its bound (in virtual time, so the polling costs nothing).
#include <cstdint>
#include <string>

#include "FuzzChecks.h"
#include "ScriptedSerialLine.h"
#include "VirtualClock.h"
#include "quenvar.h"

using namespace fuzzsupport;

namespace {

constexpr unsigned int kTimeoutMs = 100;
// A status call makes up to four requests, each read waiting up to the time
// limit, and once more after a clearing block.
constexpr uint64_t kStatusBoundMs = 9 * kTimeoutMs;
// A block takes the status first, then polls within its own bound.
constexpr uint64_t kBlockBoundMs = QUENVAR_CHECKED_BLOCK_BOUND_MS(kTimeoutMs) + kStatusBoundMs;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::shared_ptr<ScriptedSerialLine> line = ScriptedSerialLine::Make();
    g_flushedLine = line.get();
    if (size == 0) return 0;
    const uint8_t operations = data[0];
    line->start(Replies(data + 1, size - 1));

    VirtualTime virtualTime;
    void* port = OpenPort(line->name().c_str(), (operations & 0x10) ? "9600,n,8,1,h" : "9600,n,8,1,n", kTimeoutMs);
    Check(port != nullptr);
    VelmarPrinterStatus_2 status;
    if (operations & 0x01) {
        if (Timed(kStatusBoundMs, kTimeoutMs, [&] { return GetParsedStatusEx(port, &status, 2); }) == 1)
            CheckRecord(status);
    }
    if (operations & 0x02) {
        const int begun = Timed(kBlockBoundMs, kTimeoutMs, [&] { return BeginCheckedBlockEx(port, &status, 2); });
        if (begun == 1) {
            CheckRecord(status);
            if (status.offline == 0) Check(Holds(line->delivered(), kJobBeginConsent));
        }
    }
    if (operations & 0x04) {
        unsigned int written = 0;
        (void)WritePort(port, reinterpret_cast<const unsigned char*>("job"), 3, &written);
        const int ended = Timed(kBlockBoundMs, kTimeoutMs, [&] { return EndCheckedBlockEx(port, &status, 2); });
        if (ended == 1) {
            CheckRecord(status);
            if (status.offline == 0 && status.etbCounter == 1) Check(Holds(line->delivered(), kJobEndConfirmation));
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
