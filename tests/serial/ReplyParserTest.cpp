// The job end cycle's reply parser on byte sequences that no single read of a
// checked block brings whole: a status byte ahead of an answer, two answers.
#include <gtest/gtest.h>

#include <cstring>

#include "SerialTestSupport.h"
#include "transports/SerPort.h"

using namespace serialtest;

TEST(SerialReplyParser, WhatDecidesAndWhatIsSent) {
    struct Case {
        const char* what;
        Bytes raw;
        int result;
        uint32_t offline, etbCounter;
        Bytes sent;
    };
    const Case cases[] = {
        {"an answer", JobEndAnswer(0x00, 0x01), 1, 0, 1, kPreamble},
        // A reply not beginning with 1B is a status byte, even with an answer behind it.
        {"a status byte hides the answer behind it", Concat({{0x12}, JobEndAnswer(0x00, 0x01)}), 1, 0, 0, {}},
        {"an offline status byte", {0x1A}, 1, 1, 0, {}},
        {"a lone 1B is a status byte too", {0x1B}, 1, 1, 0, {}},
        {"the later of two answers decides: error",
         Concat({JobEndAnswer(0x01, 0x01), JobEndAnswer(0x00, 0x02)}),
         0,
         0,
         0,
         {}},
        {"the later of two answers decides: complete", Concat({JobEndAnswer(0x01, 0x02), JobEndAnswer(0x00, 0x01)}), 1,
         0, 1, kPreamble},
        {"begins like an answer but is too short", {0x1B, 0x1D, 0x03, 0x00, 0x01, 0x01, 0x01}, 0, 0, 0, {}},
        {"eight bytes that are no answer", {0x1B, 0x1D, 0x03, 0x00, 0x01, 0x02, 0x01, 0x00}, 1, 0, 0, {}},
        {"nothing received decides nothing", {}, 1, 0, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedLine printer;
        SerPort port(printer.name().c_str(), kSettings, 200);
        VelmarPrinterStatus_2 status{};
        status.raw[0] = 0x1A;  // an earlier reply left in the record
        if (!c.raw.empty()) std::memcpy(status.raw, c.raw.data(), c.raw.size());
        status.rawLength = static_cast<uint32_t>(c.raw.size());
        EXPECT_EQ(port.SerReadBufParser(&status), c.result);
        EXPECT_EQ(status.offline, c.offline);
        EXPECT_EQ(status.etbCounter, c.etbCounter);
        EXPECT_EQ(Written(printer.line()), c.sent);
    }
}
