#include <gtest/gtest.h>

#include <cstring>

#include "core/StatusConversion.h"

namespace {

// A record whose every byte differs, so a field copied from the wrong place shows.
VelmarPrinterStatus_2 distinctRecord(uint32_t rawLength) {
    VelmarPrinterStatus_2 s;
    unsigned char* bytes = reinterpret_cast<unsigned char*>(&s);
    for (size_t i = 0; i < sizeof s; ++i)
        bytes[i] = static_cast<unsigned char>(i + 1);
    s.rawLength = rawLength;
    return s;
}

template <class Caller>
void expectFieldByFieldCopy(unsigned int version) {
    for (uint32_t rawLength : {0u, 9u, 64u}) {
        VelmarPrinterStatus_2 record = distinctRecord(rawLength);
        Caller out;
        std::memset(&out, 0xEE, sizeof out);
        ConvertPrinterStatus(&record, &out, version);

#define EXPECT_SAME(field) EXPECT_EQ(0, std::memcmp(&out.field, &record.field, sizeof out.field)) << #field
        EXPECT_SAME(coverOpen);
        EXPECT_SAME(offline);
        EXPECT_SAME(compulsionSwitch);
        EXPECT_SAME(overTemp);
        EXPECT_SAME(unrecoverableError);
        EXPECT_SAME(cutterError);
        EXPECT_SAME(mechError);
        EXPECT_SAME(pageModeCmdError);
        EXPECT_SAME(blackMarkError);
        EXPECT_SAME(presenterPaperJamError);
        EXPECT_SAME(headUpError);
        EXPECT_SAME(receiptBlackMarkDetection);
        EXPECT_SAME(receiptPaperEmpty);
        EXPECT_SAME(receiptPaperNearEmptyInner);
        EXPECT_SAME(receiptPaperNearEmptyOuter);
        EXPECT_SAME(stackerFull);
        EXPECT_SAME(etbAvailable);
        EXPECT_SAME(etbCounter);
        EXPECT_SAME(presenterState);
        EXPECT_SAME(rawLength);
#undef EXPECT_SAME
        // Padding and the raw bytes from rawLength on keep the caller's bytes.
        EXPECT_EQ(out.padding[0], 0xEE);
        EXPECT_EQ(out.padding[1], 0xEE);
        EXPECT_EQ(0, std::memcmp(out.raw, record.raw, rawLength));
        for (size_t i = rawLength; i < sizeof out.raw; ++i)
            EXPECT_EQ(out.raw[i], 0xEE) << "raw " << i;
    }
}

TEST(ConvertPrinterStatus, Version2IsTheWholeRecord) {
    VelmarPrinterStatus_2 record = distinctRecord(3);
    VelmarPrinterStatus_2 out;
    std::memset(&out, 0, sizeof out);
    ConvertPrinterStatus(&record, &out, 2);
    EXPECT_EQ(0, std::memcmp(&out, &record, sizeof out));
}

TEST(ConvertPrinterStatus, Version1CopiesItsFieldsAndOnlyTheValidRawBytes) {
    expectFieldByFieldCopy<VelmarPrinterStatus_1>(1);
    VelmarPrinterStatus_2 record = distinctRecord(9);
    VelmarPrinterStatus_1 out;
    ConvertPrinterStatus(&record, &out, 1);
    EXPECT_EQ(out.receiveBufferOverflow, record.receiveBufferOverflow);
    EXPECT_EQ(out.presenterPaperPresent, record.presenterPaperPresent);
    EXPECT_EQ(out.peelerPaperPresent, record.peelerPaperPresent);
    EXPECT_EQ(out.slipTOF, record.slipTOF);
    EXPECT_EQ(out.slipCOF, record.slipCOF);
    EXPECT_EQ(out.slipBOF, record.slipBOF);
    EXPECT_EQ(out.validationPaperPresent, record.validationPaperPresent);
    EXPECT_EQ(out.slipPaperPresent, record.slipPaperPresent);
}

TEST(ConvertPrinterStatus, Version0CopiesItsFieldsAndOnlyTheValidRawBytes) {
    expectFieldByFieldCopy<VelmarPrinterStatus_0>(0);
}

TEST(ConvertPrinterStatus, StackerFullLandsAtItsVersionOffset) {
    VelmarPrinterStatus_2 record{};
    record.stackerFull = 1;
    record.headThermistorError = 1;
    record.voltageError = 1;
    record.receiveBufferOverflow = 1;
    record.slipTOF = 1;
    unsigned char v0[140] = {};
    unsigned char v1[172] = {};
    ConvertPrinterStatus(&record, v0, 0);
    ConvertPrinterStatus(&record, v1, 1);
    uint32_t at60, at72;
    std::memcpy(&at60, v0 + 60, 4);
    std::memcpy(&at72, v1 + 72, 4);
    EXPECT_EQ(at60, 1u);
    EXPECT_EQ(at72, 1u);
    // Conditions a version cannot carry leave no trace in it.
    int setFlags0 = 0, setFlags1 = 0;
    for (int off = 0; off < 68; off += 4)
        setFlags0 += v0[off];
    for (int off = 0; off < 100; off += 4)
        setFlags1 += v1[off];
    EXPECT_EQ(setFlags0, 1);  // stackerFull only
    EXPECT_EQ(setFlags1, 3);  // stackerFull, receiveBufferOverflow, slipTOF
}

TEST(ConvertPrinterStatus, UnknownVersionWritesNothing) {
    VelmarPrinterStatus_2 record = distinctRecord(64);
    unsigned char out[256];
    std::memset(out, 0x77, sizeof out);
    for (unsigned int version : {3u, 4u, 0xFFFFFFFFu}) {
        ConvertPrinterStatus(&record, out, version);
        for (unsigned char b : out)
            ASSERT_EQ(b, 0x77);
    }
}

}  // namespace
