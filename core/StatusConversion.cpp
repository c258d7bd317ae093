#include "core/StatusConversion.h"

#include <cstring>

namespace {

// Where a field of the record sits in each caller structure; -1: the
// version does not carry it.
struct FieldPlacement {
    size_t recordOffset;
    size_t size;
    long version0Offset;
    long version1Offset;
};

#define QUENVAR_FIELD(name, v0, v1) \
    FieldPlacement { offsetof(VelmarPrinterStatus_2, name), sizeof(VelmarPrinterStatus_2::name), v0, v1 }
#define QUENVAR_IN_V0(name) static_cast<long>(offsetof(VelmarPrinterStatus_0, name))
#define QUENVAR_IN_V1(name) static_cast<long>(offsetof(VelmarPrinterStatus_1, name))
#define QUENVAR_BOTH(name) QUENVAR_FIELD(name, QUENVAR_IN_V0(name), QUENVAR_IN_V1(name))
#define QUENVAR_V1_ONLY(name) QUENVAR_FIELD(name, -1, QUENVAR_IN_V1(name))

// Every field but `raw`, in record order.
const FieldPlacement kFieldPlacements[] = {
    QUENVAR_BOTH(coverOpen),
    QUENVAR_BOTH(offline),
    QUENVAR_BOTH(compulsionSwitch),
    QUENVAR_BOTH(overTemp),
    QUENVAR_BOTH(unrecoverableError),
    QUENVAR_BOTH(cutterError),
    QUENVAR_BOTH(mechError),
    QUENVAR_FIELD(headThermistorError, -1, -1),
    QUENVAR_V1_ONLY(receiveBufferOverflow),
    QUENVAR_BOTH(pageModeCmdError),
    QUENVAR_BOTH(blackMarkError),
    QUENVAR_BOTH(presenterPaperJamError),
    QUENVAR_BOTH(headUpError),
    QUENVAR_FIELD(voltageError, -1, -1),
    QUENVAR_BOTH(receiptBlackMarkDetection),
    QUENVAR_BOTH(receiptPaperEmpty),
    QUENVAR_BOTH(receiptPaperNearEmptyInner),
    QUENVAR_BOTH(receiptPaperNearEmptyOuter),
    QUENVAR_V1_ONLY(presenterPaperPresent),
    QUENVAR_V1_ONLY(peelerPaperPresent),
    QUENVAR_BOTH(stackerFull),
    QUENVAR_V1_ONLY(slipTOF),
    QUENVAR_V1_ONLY(slipCOF),
    QUENVAR_V1_ONLY(slipBOF),
    QUENVAR_V1_ONLY(validationPaperPresent),
    QUENVAR_V1_ONLY(slipPaperPresent),
    QUENVAR_BOTH(etbAvailable),
    QUENVAR_BOTH(etbCounter),
    QUENVAR_BOTH(presenterState),
    QUENVAR_BOTH(rawLength),
};

#undef QUENVAR_V1_ONLY
#undef QUENVAR_BOTH
#undef QUENVAR_IN_V1
#undef QUENVAR_IN_V0
#undef QUENVAR_FIELD

void copyFieldByField(const VelmarPrinterStatus_2* status, unsigned char* out, bool version1, size_t rawOffset) {
    const unsigned char* record = reinterpret_cast<const unsigned char*>(status);
    for (const FieldPlacement& field : kFieldPlacements) {
        const long target = version1 ? field.version1Offset : field.version0Offset;
        if (target < 0) continue;
        std::memcpy(out + target, record + field.recordOffset, field.size);
    }
    // Only the valid raw bytes; the caller's bytes beyond them stay as they were.
    size_t rawLength = status->rawLength;
    if (rawLength > sizeof status->raw) rawLength = sizeof status->raw;
    std::memcpy(out + rawOffset, status->raw, rawLength);
}

}  // namespace

void ConvertPrinterStatus(VelmarPrinterStatus_2* status, void* out, unsigned int version) {
    unsigned char* target = static_cast<unsigned char*>(out);
    switch (version) {
    case 2:
        std::memcpy(target, status, sizeof(VelmarPrinterStatus_2));
        break;
    case 1:
        copyFieldByField(status, target, true, offsetof(VelmarPrinterStatus_1, raw));
        break;
    case 0:
        copyFieldByField(status, target, false, offsetof(VelmarPrinterStatus_0, raw));
        break;
    default:
        break;
    }
}
