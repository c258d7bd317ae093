// The three status decoders on any bytes a printer may send: every flag 0 or
// 1, counters in range, nothing read or written outside the record and the
// bytes given, and checkEscposAsbStatus touching only its four fields, and
// only when the bytes hold a block.
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/StatusDecoders.h"

namespace {

void check(bool condition) {
    if (!condition) __builtin_trap();
}

// Every 32-bit flag of the record, by offset (27 of them, before etbCounter).
constexpr std::size_t kFlags = offsetof(VelmarPrinterStatus_2, etbCounter) / sizeof(uint32_t);

void checkFlags(const VelmarPrinterStatus_2& status) {
    uint32_t flags[kFlags];
    std::memcpy(flags, &status, sizeof flags);
    for (uint32_t flag : flags)
        check(flag <= 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // BuildParsedStatus: the raw bytes as received, rawLength of them valid.
    VelmarPrinterStatus_2 status;
    std::memset(&status, 0xA5, sizeof status);
    status.rawLength = static_cast<uint32_t>(size < sizeof status.raw ? size : sizeof status.raw);
    std::memcpy(status.raw, data, status.rawLength);
    const VelmarPrinterStatus_2 before = status;
    check(BuildParsedStatus(&status) == 1);
    checkFlags(status);
    check(status.etbCounter <= 31 && status.presenterState <= 7);
    check(status.etbAvailable == (status.rawLength > 8 ? 1u : 0u));
    check(status.rawLength == before.rawLength && std::memcmp(status.raw, before.raw, sizeof status.raw) == 0);

    // CalculateStatusLength: 0, or the length the header's bits give.
    for (size_t i = 0; i < size && i < 4; ++i) {
        const unsigned header = data[i];
        const int length = CalculateStatusLength(data[i]);
        check(length == 0 || (length == int(((header >> 1) & 7) + ((header & 0x20) ? 8 : 0)) && length >= 7 &&
                              length <= 15 && (header & 0xD1) == 0x01));
    }

    // checkEscposAsbStatus on exactly the bytes given (a copy of their exact
    // size, so a read past them is caught).
    std::vector<unsigned char> bytes(data, data + size);
    std::memset(&status, 0x5A, sizeof status);
    const VelmarPrinterStatus_2 untouched = status;
    const int found =
        checkEscposAsbStatus(&status, bytes.empty() ? nullptr : bytes.data(), static_cast<unsigned int>(bytes.size()));
    VelmarPrinterStatus_2 others = status;
    if (found == 1) {
        check(status.offline <= 1 && status.coverOpen <= 1 && status.receiptPaperEmpty <= 1);
        others.offline = untouched.offline;
        others.coverOpen = untouched.coverOpen;
        others.receiptPaperEmpty = untouched.receiptPaperEmpty;
        others.receiptPaperNearEmptyInner = untouched.receiptPaperNearEmptyInner;
        bool block = false;
        for (size_t n = 0; n + 4 <= size && !block; ++n)
            block = (data[n] & 0x93) == 0x10 && ((data[n + 1] | data[n + 2] | data[n + 3]) & 0x90) == 0;
        check(block);
    } else {
        check(found == 0);
    }
    check(std::memcmp(&others, &untouched, sizeof others) == 0);
    return 0;
}
