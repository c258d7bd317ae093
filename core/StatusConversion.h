// Conversion of the status record into the caller's structure of a version.
#pragma once

#include "quenvar.h"

// Writes the caller's structure `out` of `version` from `*status`:
// version 2 all 180 bytes; versions 0 and 1 field by field, with only the
// first `rawLength` bytes of `raw`; any other version nothing.
void ConvertPrinterStatus(VelmarPrinterStatus_2* status, void* out, unsigned int version);
