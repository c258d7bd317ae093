#include "core/RealTimeStatus.h"

#include "core/StatusDecoders.h"

namespace quenvar {

namespace {

constexpr unsigned char kFixedBits = 0x12;
constexpr unsigned char kStrictMask = 0xF3;  // also rejects the error bits 5 and 6
constexpr unsigned char kMask = 0x93;

}  // namespace

RealTimeStep ApplyRealTimeStatusByte(unsigned char n, unsigned char b, VelmarPrinterStatus_2* status) {
    const unsigned char mask = n == 3 || n == 1 ? kStrictMask : kMask;
    if ((b & mask) != kFixedBits) return RealTimeStep::BadByte;
    switch (n) {
    case 1:
        if ((b & 0x08) == 0) {
            status->offline = 0;
            status->coverOpen = 0;
            status->receiptPaperEmpty = 0;
            return RealTimeStep::Online;
        }
        status->offline = 1;
        return RealTimeStep::Next;
    case 2:
        status->coverOpen = (b & 0x04) != 0 ? 1 : 0;
        return RealTimeStep::Next;
    case 4:
        status->receiptPaperEmpty = (b & 0x60) != 0 ? 1 : 0;
        return RealTimeStep::Done;
    default:
        return RealTimeStep::Next;
    }
}

bool AutomaticStatusReportsOffline(VelmarPrinterStatus_2* status) {
    return status->rawLength == 4 && checkEscposAsbStatus(status, status->raw, 4) == 1 && status->offline == 1;
}

int AskRealTimeStatus(VelmarPrinterStatus_2* status, const std::function<bool(unsigned char n)>& exchange) {
    for (const unsigned char n : RealTimeStatusSequence) {
        if (!exchange(n) || status->rawLength == 0) return 0;
        // Several bytes are no reply byte: the printer sent its automatic
        // status, or something else.
        if (status->rawLength > 1) return checkEscposAsbStatus(status, status->raw, status->rawLength);
        switch (ApplyRealTimeStatusByte(n, status->raw[0], status)) {
        case RealTimeStep::BadByte:
            return 0;
        case RealTimeStep::Online:
        case RealTimeStep::Done:
            return 1;
        case RealTimeStep::Next:
            break;
        }
    }
    return 1;
}

}  // namespace quenvar
