#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/StatusDecoders.h"

namespace {

VelmarPrinterStatus_2 recordWith(std::vector<unsigned char> raw) {
    VelmarPrinterStatus_2 s;
    std::memset(&s, 0, sizeof s);
    std::memcpy(s.raw, raw.data(), raw.size());
    s.rawLength = static_cast<uint32_t>(raw.size());
    return s;
}

// A 9-byte Velmar ASB block with one status byte set.
VelmarPrinterStatus_2 blockWithByte(int index, unsigned char value) {
    std::vector<unsigned char> raw{0x23, 0x80, 0, 0, 0, 0, 0, 0, 0};
    raw[index] = value;
    return recordWith(raw);
}

TEST(CalculateStatusLength, AcceptsExactlyTheNineHeaders) {
    const int expected[][2] = {{0x0F, 7},  {0x21, 8},  {0x23, 9},  {0x25, 10}, {0x27, 11},
                               {0x29, 12}, {0x2B, 13}, {0x2D, 14}, {0x2F, 15}};
    int accepted = 0;
    for (int header = 0; header < 256; ++header) {
        int want = 0;
        for (const auto& e : expected)
            if (e[0] == header) want = e[1];
        EXPECT_EQ(CalculateStatusLength(static_cast<unsigned char>(header)), want) << "header " << header;
        accepted += want != 0;
    }
    EXPECT_EQ(accepted, 9);
}

TEST(BuildParsedStatus, MapsEachStatusBitToItsFlags) {
    struct Case {
        int byte;
        unsigned char bit;
        std::vector<uint32_t VelmarPrinterStatus_2::*> flags;
    };
    const Case cases[] = {
        {2, 0x20, {&VelmarPrinterStatus_2::coverOpen}},
        {2, 0x08, {&VelmarPrinterStatus_2::offline}},
        {2, 0x04, {&VelmarPrinterStatus_2::compulsionSwitch}},
        {3, 0x40, {&VelmarPrinterStatus_2::overTemp}},
        {3, 0x20, {&VelmarPrinterStatus_2::unrecoverableError}},
        {3, 0x08, {&VelmarPrinterStatus_2::cutterError}},
        {3, 0x04, {&VelmarPrinterStatus_2::mechError, &VelmarPrinterStatus_2::headThermistorError}},
        {4, 0x40, {&VelmarPrinterStatus_2::receiveBufferOverflow}},
        {4, 0x20, {&VelmarPrinterStatus_2::pageModeCmdError}},
        {4, 0x08, {&VelmarPrinterStatus_2::blackMarkError}},
        {4, 0x04, {&VelmarPrinterStatus_2::presenterPaperJamError}},
        {4, 0x02, {&VelmarPrinterStatus_2::headUpError, &VelmarPrinterStatus_2::voltageError}},
        {5, 0x20, {&VelmarPrinterStatus_2::receiptBlackMarkDetection}},
        {5, 0x08, {&VelmarPrinterStatus_2::receiptPaperEmpty}},
        {5, 0x04, {&VelmarPrinterStatus_2::receiptPaperNearEmptyInner}},
        {5, 0x02, {&VelmarPrinterStatus_2::receiptPaperNearEmptyOuter}},
    };
    // Flags of printer status 5 that are 1 when that byte is 0 (the slip sensors).
    const std::vector<uint32_t VelmarPrinterStatus_2::*> setByZeroByte6{
        &VelmarPrinterStatus_2::slipTOF, &VelmarPrinterStatus_2::slipCOF, &VelmarPrinterStatus_2::slipBOF,
        &VelmarPrinterStatus_2::slipPaperPresent, &VelmarPrinterStatus_2::etbAvailable};

    for (const Case& c : cases) {
        VelmarPrinterStatus_2 s = blockWithByte(c.byte, c.bit);
        std::memset(&s, 0xFF, offsetof(VelmarPrinterStatus_2, etbCounter));  // every flag must be written
        EXPECT_EQ(BuildParsedStatus(&s), 1);
        const uint32_t* flags = &s.coverOpen;
        for (int i = 0; i < 27; ++i) {
            const uint32_t* field = flags + i;
            bool expectSet = false;
            for (auto f : c.flags)
                expectSet |= &(s.*f) == field;
            for (auto f : setByZeroByte6)
                expectSet |= &(s.*f) == field;
            EXPECT_EQ(*field, expectSet ? 1u : 0u) << "byte " << c.byte << " bit " << int(c.bit) << " flag " << i;
        }
    }
}

TEST(BuildParsedStatus, DecodesPresenterSlipAndValidationSensors) {
    VelmarPrinterStatus_2 s = blockWithByte(6, 0x02);
    BuildParsedStatus(&s);
    EXPECT_EQ(s.presenterPaperPresent, 1u);
    EXPECT_EQ(s.peelerPaperPresent, 1u);
    EXPECT_EQ(s.stackerFull, 1u);
    EXPECT_EQ(s.slipTOF, 0u);

    s = blockWithByte(6, 0x0C);
    BuildParsedStatus(&s);
    EXPECT_EQ(s.slipTOF, 1u);
    EXPECT_EQ(s.slipCOF, 0u);
    EXPECT_EQ(s.slipBOF, 0u);

    const struct {
        unsigned char byte6;
        uint32_t slip, validation;
    } table[] = {{0x00, 1, 0}, {0x20, 1, 0}, {0x40, 0, 1}, {0x60, 0, 0}};
    for (const auto& row : table) {
        s = blockWithByte(6, row.byte6);
        BuildParsedStatus(&s);
        EXPECT_EQ(s.slipPaperPresent, row.slip) << int(row.byte6);
        EXPECT_EQ(s.validationPaperPresent, row.validation) << int(row.byte6);
    }
}

TEST(BuildParsedStatus, ExtractsEtbCounterAndPresenterState) {
    const struct {
        unsigned char byte7;
        int etb;
    } etb[] = {{0x6E, 31}, {0x22, 9}, {0x91, 0}, {0x40, 16}, {0x02, 1}};
    for (const auto& row : etb) {
        VelmarPrinterStatus_2 s = blockWithByte(7, row.byte7);
        BuildParsedStatus(&s);
        EXPECT_EQ(s.etbCounter, row.etb) << int(row.byte7);
    }
    VelmarPrinterStatus_2 s = blockWithByte(8, 0x0E);
    BuildParsedStatus(&s);
    EXPECT_EQ(s.presenterState, 7);
    s = blockWithByte(8, 0xF1);
    BuildParsedStatus(&s);
    EXPECT_EQ(s.presenterState, 0);
}

TEST(BuildParsedStatus, EtbIsAvailableFromNineBytesAndRawIsLeftAlone) {
    VelmarPrinterStatus_2 s = recordWith({0x21, 0x80, 0, 0, 0, 0, 0, 0x6E});
    BuildParsedStatus(&s);
    EXPECT_EQ(s.etbAvailable, 0u);
    EXPECT_EQ(s.etbCounter, 31);  // read from the buffer even so

    s = recordWith({0x23, 0x80, 0x28, 0, 0, 0, 0, 0, 0});
    VelmarPrinterStatus_2 before = s;
    BuildParsedStatus(&s);
    EXPECT_EQ(s.etbAvailable, 1u);
    EXPECT_EQ(s.rawLength, before.rawLength);
    EXPECT_EQ(0, std::memcmp(s.raw, before.raw, sizeof s.raw));
}

TEST(CheckEscposAsbStatus, FindsTheLatestBlockAndWritesOnlyItsFields) {
    VelmarPrinterStatus_2 s;
    std::memset(&s, 0x5A, sizeof s);
    const VelmarPrinterStatus_2 untouched = s;

    unsigned char three[] = {0x10, 0x00, 0x00};
    EXPECT_EQ(checkEscposAsbStatus(&s, three, 3), 0);
    EXPECT_EQ(0, std::memcmp(&s, &untouched, sizeof s));

    unsigned char paperOut[] = {0x18, 0x00, 0x0C, 0x00};
    s.receiptPaperNearEmptyInner = 1;
    EXPECT_EQ(checkEscposAsbStatus(&s, paperOut, 4), 1);
    EXPECT_EQ(s.offline, 1u);
    EXPECT_EQ(s.coverOpen, 0u);
    EXPECT_EQ(s.receiptPaperEmpty, 1u);
    EXPECT_EQ(s.receiptPaperNearEmptyInner, 1u);  // kept while the paper is out
    // Nothing else moved.
    VelmarPrinterStatus_2 expected = untouched;
    expected.offline = 1;
    expected.coverOpen = 0;
    expected.receiptPaperEmpty = 1;
    expected.receiptPaperNearEmptyInner = 1;
    EXPECT_EQ(0, std::memcmp(&s, &expected, sizeof s));

    unsigned char clear[] = {0x10, 0x00, 0x00, 0x00};
    EXPECT_EQ(checkEscposAsbStatus(&s, clear, 4), 1);
    EXPECT_EQ(s.offline | s.coverOpen | s.receiptPaperEmpty | s.receiptPaperNearEmptyInner, 0u);

    unsigned char cover[] = {0x30, 0x00, 0x00, 0x00};
    EXPECT_EQ(checkEscposAsbStatus(&s, cover, 4), 1);
    EXPECT_EQ(s.coverOpen, 1u);

    unsigned char two[] = {0x18, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00};
    EXPECT_EQ(checkEscposAsbStatus(&s, two, 8), 1);
    EXPECT_EQ(s.offline, 0u);
}

TEST(CheckEscposAsbStatus, RejectsBytesWithoutTheFixedBits) {
    const unsigned char notBlocks[][4] = {
        {0x11, 0, 0, 0},    {0x12, 0, 0, 0},    {0x90, 0, 0, 0},    {0x08, 0, 0, 0},
        {0x10, 0x10, 0, 0}, {0x10, 0, 0x80, 0}, {0x10, 0, 0, 0x10},
    };
    for (const auto& bytes : notBlocks) {
        VelmarPrinterStatus_2 s;
        std::memset(&s, 0x33, sizeof s);
        unsigned char copy[4];
        std::memcpy(copy, bytes, 4);
        EXPECT_EQ(checkEscposAsbStatus(&s, copy, 4), 0) << int(bytes[0]) << " " << int(bytes[1]);
        EXPECT_EQ(s.offline, 0x33333333u);
    }
    // A block found among other bytes, in an overlapping window.
    unsigned char mixed[] = {0xFF, 0x1B, 0x38, 0x00, 0x00, 0x00, 0xFF};
    VelmarPrinterStatus_2 s{};
    EXPECT_EQ(checkEscposAsbStatus(&s, mixed, sizeof mixed), 1);
    EXPECT_EQ(s.offline, 1u);
    EXPECT_EQ(s.coverOpen, 1u);
}

}  // namespace
