// How the virtual printer puts its state into bytes: the Velmar ASB block, the
// ESC/POS automatic status and real-time replies, status frames with extension
// blocks, and the discovery reply. Pure functions over a plain state value, so
// every front-end encodes the same state the same way.
#pragma once

#include <cstdint>
#include <string>

namespace emulator {

// Conditions the printer reports in its status. Each maps to one bit of the
// Velmar ASB block; several share a bit because the printer reports them as one.
enum class Condition {
    CoverOpen,              // byte 2 0x20
    Offline,                // byte 2 0x08 (also reported while printing is stopped, see offlineFollowsErrors)
    CompulsionSwitch,       // byte 2 0x04
    OverTemperature,        // byte 3 0x40
    UnrecoverableError,     // byte 3 0x20
    CutterError,            // byte 3 0x08
    MechanicalError,        // byte 3 0x04 (the head thermistor error shares it)
    ReceiveBufferOverflow,  // byte 4 0x40
    PageModeCommandError,   // byte 4 0x20
    BlackMarkError,         // byte 4 0x08
    PresenterPaperJam,      // byte 4 0x04
    HeadUp,                 // byte 4 0x02 (the voltage error shares it)
    BlackMarkDetected,      // byte 5 0x20
    PaperEmpty,             // byte 5 0x08
    PaperNearEndInner,      // byte 5 0x04
    PaperNearEndOuter,      // byte 5 0x02
    PresenterPaperPresent,  // byte 6 0x02 (peeler paper and stacker full share it; slip TOF reads it inverted)
    SlipNotAtCof,           // byte 6 0x04 (slip COF sensor off)
    SlipNotAtBof,           // byte 6 0x08 (slip BOF sensor off)
    ValidationPaperAbsent,  // byte 6 0x20
    SlipPaperAbsent,        // byte 6 0x40
};

// The part of the printer's state that its status reports.
struct PrinterStatus {
    uint32_t conditions = 0;           // one bit per Condition
    bool offlineFollowsErrors = true;  // report offline whenever printing is stopped
    unsigned blockLength = 9;          // Velmar ASB block length, 7..15
    unsigned etbCounter = 0;           // 0..31
    unsigned presenterState = 0;       // 0..7

    bool has(Condition condition) const;
    void set(Condition condition, bool on);
    bool canPrint() const;        // false while offline, cover open, paper empty or an error stops printing
    bool reportsOffline() const;  // the offline bit as the printer sends it
};

// The Velmar ASB block; header 2 is 0x80 (on the data connection an extension length follows).
std::string EncodeVelmarStatus(const PrinterStatus& status);
// The block with an extension block: identifier, payload and the payload
// length to declare (-1: the real one), which sits at the identifier's offset.
std::string EncodeExtensionFrame(const std::string& velmarBlock, const std::string& identifier,
                                 const std::string& payload, int declaredPayloadLength);
// The 4-byte ESC/POS automatic status block.
std::string EncodeEscposAutomaticStatus(const PrinterStatus& status);
// The reply byte to the real-time request DLE EOT n.
uint8_t EncodeRealTimeStatus(const PrinterStatus& status, uint8_t n);
// True for exactly the 28-byte discovery request.
bool IsDiscoveryRequest(const std::string& datagram);
// The discovery reply naming the model (NUL-terminated text at byte 36).
std::string EncodeDiscoveryReply(const std::string& modelName);

}  // namespace emulator
