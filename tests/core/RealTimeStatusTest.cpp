// The single real-time status byte test shared by the serial, parallel and
// USB printer-class ports.
#include <gtest/gtest.h>

#include <cstring>

#include "core/RealTimeStatus.h"

namespace {

using quenvar::ApplyRealTimeStatusByte;
using quenvar::RealTimeStep;

struct Case {
    unsigned char n, b;
    RealTimeStep step;
    int offline, coverOpen, paperEmpty;  // -1: left as it was (0xEE...)
};

TEST(RealTimeStatus, EachReplyByteGivesItsStepAndFlags) {
    const Case cases[] = {
        {3, 0x12, RealTimeStep::Next, -1, -1, -1},     // no error
        {3, 0x32, RealTimeStep::BadByte, -1, -1, -1},  // error bit 5: the strict mask rejects it
        {3, 0x52, RealTimeStep::BadByte, -1, -1, -1}, {1, 0x12, RealTimeStep::Online, 0, 0, 0},
        {1, 0x1A, RealTimeStep::Next, 1, -1, -1},                                                // offline
        {1, 0x13, RealTimeStep::BadByte, -1, -1, -1}, {2, 0x16, RealTimeStep::Next, -1, 1, -1},  // cover open
        {2, 0x32, RealTimeStep::Next, -1, 0, -1},  // bit 5 is free under the mask 93
        {2, 0x92, RealTimeStep::BadByte, -1, -1, -1}, {4, 0x72, RealTimeStep::Done, -1, -1, 1},  // paper end
        {4, 0x12, RealTimeStep::Done, -1, -1, 0},     {4, 0x02, RealTimeStep::BadByte, -1, -1, -1},
    };
    for (const Case& c : cases) {
        VelmarPrinterStatus_2 status;
        std::memset(&status, 0xEE, sizeof status);
        EXPECT_EQ(ApplyRealTimeStatusByte(c.n, c.b, &status), c.step) << int(c.n) << " " << int(c.b);
        const auto expect = [&](uint32_t field, int want, const char* name) {
            EXPECT_EQ(field, want < 0 ? 0xEEEEEEEEu : static_cast<uint32_t>(want))
                << name << " for n " << int(c.n) << " byte " << int(c.b);
        };
        expect(status.offline, c.offline, "offline");
        expect(status.coverOpen, c.coverOpen, "coverOpen");
        expect(status.receiptPaperEmpty, c.paperEmpty, "receiptPaperEmpty");
    }
}

TEST(RealTimeStatus, OnlyAFourByteAutomaticStatusThatSaysOfflineCounts) {
    const struct {
        std::vector<unsigned char> raw;
        bool offline;
    } cases[] = {
        {{0x18, 0x00, 0x00, 0x00}, true},
        {{0x10, 0x00, 0x00, 0x00}, false},
        {{0x18, 0x00, 0x00, 0x00, 0x00}, false},  // not a four-byte reply
        {{0x19, 0x00, 0x00, 0x00}, false},        // not a block
    };
    for (const auto& c : cases) {
        VelmarPrinterStatus_2 status{};
        std::memcpy(status.raw, c.raw.data(), c.raw.size());
        status.rawLength = static_cast<uint32_t>(c.raw.size());
        EXPECT_EQ(quenvar::AutomaticStatusReportsOffline(&status), c.offline) << c.raw.size();
    }
}

TEST(RealTimeStatus, RequestsAreDleEotN) {
    const auto request = quenvar::MakeRealTimeRequest(4);
    EXPECT_EQ(request.bytes[0], 0x10);
    EXPECT_EQ(request.bytes[1], 0x04);
    EXPECT_EQ(request.bytes[2], 0x04);
}

}  // namespace
