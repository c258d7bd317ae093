// The fields the bridge looks up in the Java status object: the 27 flags of
// the status flag list, in record order, then the two counters, rawLength and
// raw. The Java tests check com.velmarworks.halvorn.PrinterStatus against this
// very table.
#pragma once

#include <cstddef>

#include "core/StatusFlags.h"

namespace halvorn {

// A Java field by its name and JNI type descriptor.
struct StatusField {
    const char* name;
    const char* descriptor;
};

constexpr std::size_t kFlagCount = quenvar::StatusFlagCount;
constexpr std::size_t kFieldCount = kFlagCount + 4;

// Slots of the fields after the flags; slot i < kFlagCount is the list's flag i.
constexpr std::size_t kEtbCounterSlot = kFlagCount;
constexpr std::size_t kPresenterStateSlot = kFlagCount + 1;
constexpr std::size_t kRawLengthSlot = kFlagCount + 2;
constexpr std::size_t kRawSlot = kFlagCount + 3;

#define HALVORN_FLAG_FIELD(name, inVersion0, inVersion1, role, words) StatusField{#name, "Z"},
constexpr StatusField kStatusFields[kFieldCount] = {
    QUENVAR_STATUS_FLAGS(HALVORN_FLAG_FIELD)  // booleans
    StatusField{"etbCounter", "B"},
    StatusField{"presenterState", "B"},
    StatusField{"rawLength", "I"},
    StatusField{"raw", "[B"},
};
#undef HALVORN_FLAG_FIELD

}  // namespace halvorn
