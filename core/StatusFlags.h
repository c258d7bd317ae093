// The 27 flags of the printer status record, written down once. Everything
// else that goes through the flags one by one is built from this list: the
// conversion into the caller's structures of versions 0 and 1, the quenvar
// command's words and JSON keys, and the Java bridge's field tables.
//
// The public header keeps its own plain C structures with every offset
// pinned; the checks at the end of this file make the list and those
// structures agree (order, count, and which version carries which flag).
#pragma once

#include <cstddef>
#include <cstdint>

#include "quenvar.h"

// X(name, inVersion0, inVersion1, role, words), one per flag in record order:
//   name        the field of VelmarPrinterStatus_2; also its JSON key and the
//               Java status object's field
//   inVersion0  1 when VelmarPrinterStatus_0 carries the flag, 0 when not
//   inVersion1  the same for VelmarPrinterStatus_1
//   role        how the command shows it (StatusFlagRole below)
//   words       what the command says while the flag is set
// clang-format off
#define QUENVAR_STATUS_FLAGS(X)                                                                                    \
    X(coverOpen,                  1, 1, Condition, "cover open")                                                   \
    X(offline,                    1, 1, Condition, "offline")                                                      \
    X(compulsionSwitch,           1, 1, Condition, "compulsion switch active")                                     \
    X(overTemp,                   1, 1, Condition, "stopped: over temperature")                                    \
    X(unrecoverableError,         1, 1, Condition, "unrecoverable error")                                          \
    X(cutterError,                1, 1, Condition, "cutter error")                                                 \
    X(mechError,                  1, 1, Condition, "mechanical error")                                             \
    X(headThermistorError,        0, 0, Condition, "head thermistor error")                                        \
    X(receiveBufferOverflow,      0, 1, Condition, "receive buffer overflow")                                      \
    X(pageModeCmdError,           1, 1, Condition, "page mode command error")                                      \
    X(blackMarkError,             1, 1, Condition, "black mark error")                                             \
    X(presenterPaperJamError,     1, 1, Condition, "paper jam in the presenter")                                   \
    X(headUpError,                1, 1, Condition, "print head up")                                                \
    X(voltageError,               0, 0, Condition, "voltage error")                                                \
    X(receiptBlackMarkDetection,  1, 1, Condition, "black mark detected on the receipt paper")                     \
    X(receiptPaperEmpty,          1, 1, Condition, "paper out")                                                    \
    X(receiptPaperNearEmptyInner, 1, 1, Condition, "paper near end (inner sensor)")                                \
    X(receiptPaperNearEmptyOuter, 1, 1, Condition, "paper near end (outer sensor)")                                \
    X(presenterPaperPresent,      0, 1, Sensor,    "paper in the presenter")                                       \
    X(peelerPaperPresent,         0, 1, Sensor,    "paper in the peeler")                                          \
    X(stackerFull,                1, 1, Condition, "stacker full")                                                 \
    X(slipTOF,                    0, 1, Sensor,    "slip TOF")                                                     \
    X(slipCOF,                    0, 1, Sensor,    "slip COF")                                                     \
    X(slipBOF,                    0, 1, Sensor,    "slip BOF")                                                     \
    X(validationPaperPresent,     0, 1, Sensor,    "validation paper present")                                     \
    X(slipPaperPresent,           0, 1, Sensor,    "slip paper present")                                           \
    X(etbAvailable,               1, 1, EtbValid,  "ETB counter reported")
// clang-format on

namespace quenvar {

// Where the command shows a flag.
enum class StatusFlagRole {
    Condition,  // keeps the printer from printing or needs attention: listed under "conditions"
    Sensor,     // what a paper sensor of presenter, peeler, slip or validation reports: under "sensors"
    EtbValid,   // etbCounter holds a value the printer reported: shown with the counter itself
};

// A version's structure has no such field.
constexpr std::ptrdiff_t NotCarried = -1;

// One flag and where it sits: in the record, and in the caller's structures of
// versions 0 and 1 (NotCarried when the version has no such field).
struct StatusFlag {
    const char* name;
    uint32_t VelmarPrinterStatus_2::*member;
    std::size_t recordOffset;
    std::ptrdiff_t version0Offset;
    std::ptrdiff_t version1Offset;
    StatusFlagRole role;
    const char* words;
};

// Offsets come from the header's structures, whose offsets it pins; the list
// only says whether a version carries the flag at all.
#define QUENVAR_FLAG_OFFSET_1(type, name) static_cast<std::ptrdiff_t>(offsetof(type, name))
#define QUENVAR_FLAG_OFFSET_0(type, name) ::quenvar::NotCarried
#define QUENVAR_FLAG_OFFSET(carried, type, name) QUENVAR_FLAG_OFFSET_##carried(type, name)
#define QUENVAR_STATUS_FLAG_ENTRY(name, inVersion0, inVersion1, role, words) \
    StatusFlag{#name,                                                        \
               &VelmarPrinterStatus_2::name,                                 \
               offsetof(VelmarPrinterStatus_2, name),                        \
               QUENVAR_FLAG_OFFSET(inVersion0, VelmarPrinterStatus_0, name), \
               QUENVAR_FLAG_OFFSET(inVersion1, VelmarPrinterStatus_1, name), \
               StatusFlagRole::role,                                         \
               words},

inline constexpr StatusFlag StatusFlags[] = {QUENVAR_STATUS_FLAGS(QUENVAR_STATUS_FLAG_ENTRY)};

#undef QUENVAR_STATUS_FLAG_ENTRY
#undef QUENVAR_FLAG_OFFSET
#undef QUENVAR_FLAG_OFFSET_0
#undef QUENVAR_FLAG_OFFSET_1

constexpr std::size_t StatusFlagCount = sizeof StatusFlags / sizeof StatusFlags[0];

namespace status_flag_checks {

// The list's flags fill the record from offset 0, four bytes each, in list
// order, up to etbCounter: none missing, none twice, none out of place.
constexpr bool fillsTheRecordInOrder() {
    for (std::size_t i = 0; i < StatusFlagCount; ++i)
        if (StatusFlags[i].recordOffset != i * sizeof(uint32_t)) return false;
    return StatusFlagCount * sizeof(uint32_t) == offsetof(VelmarPrinterStatus_2, etbCounter);
}

// The flags the list gives a version fill that version's structure likewise,
// in list order, up to its etbCounter: so the list names exactly the flags the
// structure has. `flagsEnd` is the offset of the structure's etbCounter.
constexpr bool fillsTheVersionInOrder(std::ptrdiff_t StatusFlag::*offsetInVersion, std::size_t flagsEnd) {
    std::ptrdiff_t next = 0;
    for (const StatusFlag& flag : StatusFlags) {
        if (flag.*offsetInVersion == NotCarried) continue;
        if (flag.*offsetInVersion != next) return false;
        next += static_cast<std::ptrdiff_t>(sizeof(uint32_t));
    }
    return next == static_cast<std::ptrdiff_t>(flagsEnd);
}

constexpr std::size_t carriedBy(std::ptrdiff_t StatusFlag::*offsetInVersion) {
    std::size_t count = 0;
    for (const StatusFlag& flag : StatusFlags)
        if (flag.*offsetInVersion != NotCarried) ++count;
    return count;
}

static_assert(StatusFlagCount == 27, "the status record has 27 flags");
static_assert(fillsTheRecordInOrder(), "the flag list and VelmarPrinterStatus_2 disagree");
static_assert(fillsTheVersionInOrder(&StatusFlag::version0Offset, offsetof(VelmarPrinterStatus_0, etbCounter)),
              "the flag list and VelmarPrinterStatus_0 disagree");
static_assert(fillsTheVersionInOrder(&StatusFlag::version1Offset, offsetof(VelmarPrinterStatus_1, etbCounter)),
              "the flag list and VelmarPrinterStatus_1 disagree");
static_assert(carriedBy(&StatusFlag::version0Offset) == 17, "version 0 carries 17 flags");
static_assert(carriedBy(&StatusFlag::version1Offset) == 25, "version 1 carries 25 flags");

}  // namespace status_flag_checks

}  // namespace quenvar
