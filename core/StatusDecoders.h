// Decoders from the printer's raw status bytes into the status record.
#pragma once

#include "quenvar.h"

// Decodes `status->raw` as a Velmar ASB block into every flag and both
// counters of `*status`. `raw` and `rawLength` are read, never changed.
// Always returns 1.
int BuildParsedStatus(VelmarPrinterStatus_2* status);

// Total length (7 to 15) of the Velmar ASB block whose first byte is
// `header`, or 0 when the byte begins no block.
int CalculateStatusLength(unsigned char header);

// Looks for the ESC/POS automatic status block nearest the end of the
// `length` bytes at `data`. When one is found, writes only `offline`,
// `coverOpen`, `receiptPaperEmpty` and `receiptPaperNearEmptyInner` and returns
// 1; otherwise leaves `*status` untouched and returns 0.
int checkEscposAsbStatus(VelmarPrinterStatus_2* status, unsigned char* data, unsigned int length);
