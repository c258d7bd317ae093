#include "core/StatusDecoders.h"

namespace {

uint32_t bit(unsigned char byte, unsigned char mask) { return (byte & mask) ? 1u : 0u; }

}  // namespace

int BuildParsedStatus(VelmarPrinterStatus_2* status) {
    const unsigned char* r = status->raw;

    // Printer status 1.
    status->coverOpen = bit(r[2], 0x20);
    status->offline = bit(r[2], 0x08);
    status->compulsionSwitch = bit(r[2], 0x04);

    // Printer status 2: one bit reports both the mechanism and the head thermistor.
    status->overTemp = bit(r[3], 0x40);
    status->unrecoverableError = bit(r[3], 0x20);
    status->cutterError = bit(r[3], 0x08);
    status->mechError = bit(r[3], 0x04);
    status->headThermistorError = bit(r[3], 0x04);

    // Printer status 3: one bit reports both head up and voltage.
    status->receiveBufferOverflow = bit(r[4], 0x40);
    status->pageModeCmdError = bit(r[4], 0x20);
    status->blackMarkError = bit(r[4], 0x08);
    status->presenterPaperJamError = bit(r[4], 0x04);
    status->headUpError = bit(r[4], 0x02);
    status->voltageError = bit(r[4], 0x02);

    // Printer status 4: receipt paper.
    status->receiptBlackMarkDetection = bit(r[5], 0x20);
    status->receiptPaperEmpty = bit(r[5], 0x08);
    status->receiptPaperNearEmptyInner = bit(r[5], 0x04);
    status->receiptPaperNearEmptyOuter = bit(r[5], 0x02);

    // Printer status 5: presenter, peeler and stacker share bit 0x02, whose
    // clear state is the slip TOF; the slip sensors report "present" as clear.
    status->presenterPaperPresent = bit(r[6], 0x02);
    status->peelerPaperPresent = bit(r[6], 0x02);
    status->stackerFull = bit(r[6], 0x02);
    status->slipTOF = 1u - bit(r[6], 0x02);
    status->slipCOF = 1u - bit(r[6], 0x04);
    status->slipBOF = 1u - bit(r[6], 0x08);
    const bool validationBit = (r[6] & 0x40) != 0;
    const bool slipBit = (r[6] & 0x20) != 0;
    status->slipPaperPresent = validationBit ? 0u : 1u;
    status->validationPaperPresent = (validationBit && !slipBit) ? 1u : 0u;

    // Blocks of 9 bytes or more carry the ETB counter and the presenter state.
    status->etbAvailable = status->rawLength > 8 ? 1u : 0u;
    status->etbCounter = static_cast<uint8_t>(((r[7] & 0x60) >> 2) | ((r[7] & 0x0E) >> 1));
    status->presenterState = static_cast<uint8_t>((r[8] & 0x0E) >> 1);
    return 1;
}

int CalculateStatusLength(unsigned char header) {
    // Bit 0 set, bits 4, 6 and 7 clear; bit 5 adds 8 to the length in bits 3..1.
    // Only the nine headers a printer sends are accepted.
    switch (header) {
    case 0x0F:
        return 7;
    case 0x21:
        return 8;
    case 0x23:
        return 9;
    case 0x25:
        return 10;
    case 0x27:
        return 11;
    case 0x29:
        return 12;
    case 0x2B:
        return 13;
    case 0x2D:
        return 14;
    case 0x2F:
        return 15;
    default:
        return 0;
    }
}

int checkEscposAsbStatus(VelmarPrinterStatus_2* status, unsigned char* data, unsigned int length) {
    if (data == nullptr || length < 4) return 0;

    // The printer's latest report lies nearest the end: search backwards.
    for (unsigned int n = length - 4 + 1; n-- > 0;) {
        const unsigned char* b = data + n;
        if ((b[0] & 0x93) != 0x10) continue;
        if ((b[1] & 0x90) || (b[2] & 0x90) || (b[3] & 0x90)) continue;

        status->offline = bit(b[0], 0x08);
        status->coverOpen = bit(b[0], 0x20);
        if (b[2] & 0x0C) {
            // Paper out; the near-end report stays as the printer last gave it.
            status->receiptPaperEmpty = 1;
        } else {
            status->receiptPaperEmpty = 0;
            status->receiptPaperNearEmptyInner = 0;
        }
        return 1;
    }
    return 0;
}
