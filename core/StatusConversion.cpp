#include "core/StatusConversion.h"

#include <cstring>

#include "core/StatusFlags.h"

namespace {

// Copies what a caller structure of type `Caller` carries from the record:
// the flags the version has (`offsetInVersion` says where each one goes),
// the two counters, rawLength, and only the valid raw bytes. Padding and the
// raw bytes from rawLength on keep the caller's bytes.
template <class Caller>
void copyFieldByField(const VelmarPrinterStatus_2& status, unsigned char* out,
                      std::ptrdiff_t quenvar::StatusFlag::*offsetInVersion) {
    for (const quenvar::StatusFlag& flag : quenvar::StatusFlags) {
        const std::ptrdiff_t target = flag.*offsetInVersion;
        if (target == quenvar::NotCarried) continue;
        std::memcpy(out + target, &(status.*flag.member), sizeof(uint32_t));
    }
    std::memcpy(out + offsetof(Caller, etbCounter), &status.etbCounter, sizeof status.etbCounter);
    std::memcpy(out + offsetof(Caller, presenterState), &status.presenterState, sizeof status.presenterState);
    std::memcpy(out + offsetof(Caller, rawLength), &status.rawLength, sizeof status.rawLength);

    size_t rawLength = status.rawLength;
    if (rawLength > sizeof status.raw) rawLength = sizeof status.raw;
    std::memcpy(out + offsetof(Caller, raw), status.raw, rawLength);
}

}  // namespace

void ConvertPrinterStatus(VelmarPrinterStatus_2* status, void* out, unsigned int version) {
    unsigned char* target = static_cast<unsigned char*>(out);
    switch (version) {
    case 2:
        std::memcpy(target, status, sizeof(VelmarPrinterStatus_2));
        break;
    case 1:
        copyFieldByField<VelmarPrinterStatus_1>(*status, target, &quenvar::StatusFlag::version1Offset);
        break;
    case 0:
        copyFieldByField<VelmarPrinterStatus_0>(*status, target, &quenvar::StatusFlag::version0Offset);
        break;
    default:
        break;
    }
}
