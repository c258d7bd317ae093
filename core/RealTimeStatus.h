// ESC/POS real-time status: the request DLE EOT n and the single reply byte
// that the serial, parallel and USB printer-class printers answer it with, and
// the four-byte automatic status those printers may send on their own.
#pragma once

#include <functional>

#include "quenvar.h"

namespace quenvar {

constexpr unsigned int RealTimeRequestLength = 3;

// The requests in the order a host asks them: error cause (3), printer status
// (1), offline cause (2), paper sensor (4).
constexpr unsigned char RealTimeStatusSequence[4] = {3, 1, 2, 4};

// The request DLE EOT n, 10 04 n.
struct RealTimeRequest {
    unsigned char bytes[RealTimeRequestLength];
};
constexpr RealTimeRequest MakeRealTimeRequest(unsigned char n) { return RealTimeRequest{{0x10, 0x04, n}}; }

// What the reply byte to DLE EOT n tells the host to do next.
enum class RealTimeStep {
    BadByte,  // the fixed bits are wrong (or, for n 3, an error bit is set): no status from this byte
    Online,   // n 1 with the offline bit clear: offline, coverOpen and receiptPaperEmpty are now 0
    Next,     // ask the next request of the sequence (n 1: offline is now 1; n 2: coverOpen is set)
    Done,     // n 4: receiptPaperEmpty is set; the sequence is complete
};

// Tests the reply byte `b` to DLE EOT `n` and writes what it reports into
// `*status`. The fixed bits are tested with the mask F3 for n 3 and 1, 93 for
// n 2 and 4, and must give 12. Bit 3 (08) of the printer status is offline,
// bit 2 (04) of the offline cause is cover open, bits 5 and 6 (60) of the
// paper sensor are paper end. Nothing is written for BadByte or for n 3.
RealTimeStep ApplyRealTimeStatusByte(unsigned char n, unsigned char b, VelmarPrinterStatus_2* status);

// True when the record's `raw` holds exactly the four bytes of an ESC/POS
// automatic status block that reports the printer offline; the block's flags
// are then in `*status`. Used while polling for a job answer, where such a
// block means the job will not be confirmed.
bool AutomaticStatusReportsOffline(VelmarPrinterStatus_2* status);

// Asks DLE EOT 3, 1, 2 and 4 in turn, as the parallel and USB printer-class
// ports do, and writes what the replies report into `*status`.
// exchange: in, called with each n; writes DLE EOT n, waits for the reply and
//   reads it into status->raw and status->rawLength. Returns false when the
//   request was not taken whole or the read failed.
// Returns 1 when the record holds a status: online after DLE EOT 1, all four
// asked, or a reply of several bytes that holds an automatic status block
// (decoded). Returns 0 when a request or read failed, a reply was empty, a
// single reply byte has wrong fixed bits, or a longer reply holds no block.
int AskRealTimeStatus(VelmarPrinterStatus_2* status, const std::function<bool(unsigned char n)>& exchange);

}  // namespace quenvar
