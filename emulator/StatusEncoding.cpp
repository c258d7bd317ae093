#include "emulator/StatusEncoding.h"

#include <array>

namespace emulator {

namespace {

struct StatusBit {
    unsigned byte;
    uint8_t mask;
};

// Where the printer reports each condition in its Velmar ASB block, in the
// order of the Condition enumeration.
constexpr std::array<StatusBit, 21> g_statusBits = {{
    {2, 0x20}, {2, 0x08}, {2, 0x04},                        // cover, offline, compulsion switch
    {3, 0x40}, {3, 0x20}, {3, 0x08}, {3, 0x04},             // temperature, unrecoverable, cutter, mechanical
    {4, 0x40}, {4, 0x20}, {4, 0x08}, {4, 0x04}, {4, 0x02},  // buffer, page mode, black mark, jam, head up
    {5, 0x20}, {5, 0x08}, {5, 0x04}, {5, 0x02},             // mark detected, empty, near end inner/outer
    {6, 0x02}, {6, 0x04}, {6, 0x08}, {6, 0x20}, {6, 0x40},  // presenter, slip COF/BOF, validation, slip
}};

constexpr uint32_t bit_of(Condition condition) { return 1u << static_cast<unsigned>(condition); }

// Conditions under which the printer stops printing.
constexpr uint32_t g_stoppingConditions =
    bit_of(Condition::Offline) | bit_of(Condition::CoverOpen) | bit_of(Condition::PaperEmpty) |
    bit_of(Condition::CutterError) | bit_of(Condition::MechanicalError) | bit_of(Condition::UnrecoverableError) |
    bit_of(Condition::OverTemperature) | bit_of(Condition::HeadUp) | bit_of(Condition::PresenterPaperJam);

// Header byte 0 of a Velmar ASB block by total length 7..15.
constexpr std::array<uint8_t, 9> g_lengthHeaders = {0x0F, 0x21, 0x23, 0x25, 0x27, 0x29, 0x2B, 0x2D, 0x2F};

// Offset of the payload length inside an extension block, by identifier.
unsigned payload_length_offset(const std::string& identifier) {
    static const char* const five[] = {"14"};
    static const char* const six[] = {"10", "12", "13", "15", "17", "18", "21",
                                      "22", "23", "24", "51", "61", "62", "A0"};
    for (const char* id : five)
        if (identifier == id) return 5;
    for (const char* id : six)
        if (identifier == id) return 6;
    return 4;
}

void append_big_endian16(std::string& out, std::size_t value) {
    out += static_cast<char>((value >> 8) & 0xFF);
    out += static_cast<char>(value & 0xFF);
}

const std::string g_discoveryRequest(
    "QVL_BCAST\0\0\0\0\0\0\0RQ1.0.0\0\x00\x1C"
    "d1",
    28);

}  // namespace

bool PrinterStatus::has(Condition condition) const { return (conditions & bit_of(condition)) != 0; }

void PrinterStatus::set(Condition condition, bool on) {
    if (on)
        conditions |= bit_of(condition);
    else
        conditions &= ~bit_of(condition);
}

bool PrinterStatus::canPrint() const { return (conditions & g_stoppingConditions) == 0; }

bool PrinterStatus::reportsOffline() const { return has(Condition::Offline) || (offlineFollowsErrors && !canPrint()); }

std::string EncodeVelmarStatus(const PrinterStatus& status) {
    unsigned length = status.blockLength < 7 ? 7 : (status.blockLength > 15 ? 15 : status.blockLength);
    std::string block(15, '\0');
    block[0] = static_cast<char>(g_lengthHeaders[length - 7]);
    block[1] = static_cast<char>(0x80);
    for (std::size_t i = 0; i < g_statusBits.size(); ++i)
        if (status.conditions & (1u << i)) block[g_statusBits[i].byte] |= static_cast<char>(g_statusBits[i].mask);
    if (status.reportsOffline()) block[2] |= 0x08;
    // ETB counter bits 4..3 go to bits 6..5, bits 2..0 to bits 3..1.
    unsigned etb = status.etbCounter % 32;
    block[7] = static_cast<char>(((etb & 0x18) << 2) | ((etb & 0x07) << 1));
    block[8] = static_cast<char>((status.presenterState & 7) << 1);
    block.resize(length);
    return block;
}

std::string EncodeExtensionFrame(const std::string& velmarBlock, const std::string& identifier,
                                 const std::string& payload, int declaredPayloadLength) {
    std::string id = identifier;
    id.resize(2, '0');
    unsigned offset = payload_length_offset(id);
    std::size_t declared = declaredPayloadLength < 0 ? payload.size() : static_cast<std::size_t>(declaredPayloadLength);
    std::string block = id + std::string(offset - 2, '\0');
    append_big_endian16(block, declared);
    block += payload;
    std::string frame = velmarBlock;
    append_big_endian16(frame, block.size());
    return frame + block;
}

std::string EncodeEscposAutomaticStatus(const PrinterStatus& status) {
    std::string out(4, '\0');
    out[0] =
        static_cast<char>(0x10 | (status.reportsOffline() ? 0x08 : 0) | (status.has(Condition::CoverOpen) ? 0x20 : 0));
    out[1] = static_cast<char>(
        (status.has(Condition::MechanicalError) ? 0x04 : 0) | (status.has(Condition::CutterError) ? 0x08 : 0) |
        (status.has(Condition::UnrecoverableError) ? 0x20 : 0) | (status.has(Condition::OverTemperature) ? 0x40 : 0));
    bool nearEnd = status.has(Condition::PaperNearEndInner) || status.has(Condition::PaperNearEndOuter);
    out[2] = static_cast<char>((nearEnd ? 0x03 : 0) | (status.has(Condition::PaperEmpty) ? 0x0C : 0));
    return out;
}

uint8_t EncodeRealTimeStatus(const PrinterStatus& status, uint8_t n) {
    bool error = status.has(Condition::CutterError) || status.has(Condition::MechanicalError) ||
                 status.has(Condition::UnrecoverableError) || status.has(Condition::OverTemperature);
    bool nearEnd = status.has(Condition::PaperNearEndInner) || status.has(Condition::PaperNearEndOuter);
    uint8_t reply = 0x12;  // fixed bits of every real-time reply
    switch (n) {
    case 1:
        reply |= status.reportsOffline() ? 0x08 : 0;
        break;
    case 2:
        reply |= (status.has(Condition::CoverOpen) ? 0x04 : 0) | (status.has(Condition::PaperEmpty) ? 0x20 : 0) |
                 (error ? 0x40 : 0);
        break;
    case 3:
        // Only the mechanical and cutter bits: the other error bits are fixed in this reply.
        reply |= (status.has(Condition::MechanicalError) ? 0x04 : 0) | (status.has(Condition::CutterError) ? 0x08 : 0);
        break;
    case 4:
        reply |= (nearEnd ? 0x0C : 0) | (status.has(Condition::PaperEmpty) ? 0x60 : 0);
        break;
    default:
        break;
    }
    return reply;
}

bool IsDiscoveryRequest(const std::string& datagram) { return datagram == g_discoveryRequest; }

std::string EncodeDiscoveryReply(const std::string& modelName) {
    // The reply repeats the request's frame with the reply marker; hosts read
    // only the NUL-terminated model name at byte 36.
    std::string reply("QVL_BCAST\0\0\0\0\0\0\0RS1.0.0\0", 24);
    append_big_endian16(reply, 36 + modelName.size() + 1);
    reply += "d1";
    reply.resize(36, '\0');
    reply += modelName;
    reply += '\0';
    return reply;
}

}  // namespace emulator
