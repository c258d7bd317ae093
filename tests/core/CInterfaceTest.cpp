// The C interface over a fake transport: forwarding, the status call by
// version, and that nothing thrown inside a port escapes.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "core/Port.h"
#include "quenvar.h"

namespace {

class FakePort : public Port {
public:
    explicit FakePort(bool* destroyed = nullptr) : destroyed_(destroyed) {}
    ~FakePort() override {
        if (destroyed_) *destroyed_ = true;
    }

    int result = 1;
    bool throwing = false;
    bool partial = false;  // writes a few fields only, as a transport that reads part of a status
    int statusCalls = 0;
    const char* lastOperation = "";

    int readPort(unsigned char* buf, unsigned int size, unsigned int* read) override {
        check("read");
        for (unsigned int i = 0; i < size; ++i)
            buf[i] = static_cast<unsigned char>(i);
        *read = size;
        return result;
    }
    int writePort(const unsigned char*, unsigned int size, unsigned int* written) override {
        check("write");
        *written = size / 2;
        return result;
    }
    int getOnlineStatus(unsigned int* online) override {
        check("online");
        *online = 1;
        return result;
    }
    int getParsedStatus(VelmarPrinterStatus_2* s) override { return fill("status", s); }
    int beginCheckedBlock(VelmarPrinterStatus_2* s) override { return fill("begin", s); }
    int endCheckedBlock(VelmarPrinterStatus_2* s) override { return fill("end", s); }
    int resetDevice() override {
        check("reset");
        return result;
    }

private:
    void check(const char* operation) {
        lastOperation = operation;
        if (throwing) throw std::runtime_error("transport failure");
    }
    int fill(const char* operation, VelmarPrinterStatus_2* s) {
        check(operation);
        ++statusCalls;
        if (partial) {
            s->offline = 1;
            return result;
        }
        std::memset(s, 0, sizeof *s);
        s->coverOpen = 1;
        s->headThermistorError = 1;
        s->stackerFull = 1;
        s->etbCounter = 17;
        s->rawLength = 2;
        s->raw[0] = 0x23;
        s->raw[1] = 0x80;
        return result;
    }

    bool* destroyed_;
};

TEST(CInterface, OpenPortRefusesNamesNoTransportTakes) {
    for (const char* name : {"", "Tcp:127.0.0.1", "tcp", "/dev/usb/lp0", "usb:printer", "x/dev/ttyS0"})
        EXPECT_EQ(OpenPort(name, "", 10), nullptr) << name;
    EXPECT_EQ(OpenPort(nullptr, "", 10), nullptr);
    EXPECT_EQ(OpenPort("TCP:127.0.0.1", nullptr, 10), nullptr);
    EXPECT_EQ(ClosePort(nullptr), 1);
}

TEST(CInterface, ClosePortDestroysThePortThroughItsDestructor) {
    bool destroyed = false;
    EXPECT_EQ(ClosePort(new FakePort(&destroyed)), 1);
    EXPECT_TRUE(destroyed);
}

TEST(CInterface, ForwardsEachOperationAndItsResult) {
    FakePort port;
    unsigned char buf[4] = {9, 9, 9, 9};
    unsigned int count = 99;
    EXPECT_EQ(ReadPort(&port, buf, 4, &count), 1);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(buf[3], 3);
    EXPECT_EQ(WritePort(&port, buf, 4, &count), 1);
    EXPECT_EQ(count, 2u);
    unsigned int online = 0;
    EXPECT_EQ(GetOnlineStatus(&port, &online), 1);
    EXPECT_EQ(online, 1u);
    port.result = 0;
    EXPECT_EQ(ResetDevice(&port), 0);
    EXPECT_STREQ(port.lastOperation, "reset");
}

TEST(CInterface, StatusReachesTheCallerOnlyOnSuccessAndOnlyForKnownVersions) {
    FakePort port;
    using StatusFunction = int (*)(void*, void*, unsigned int);
    const StatusFunction functions[] = {GetParsedStatusEx, BeginCheckedBlockEx, EndCheckedBlockEx};
    for (StatusFunction call : functions) {
        VelmarPrinterStatus_2 out;
        std::memset(&out, 0xAB, sizeof out);
        const VelmarPrinterStatus_2 before = out;

        port.result = 0;
        EXPECT_EQ(call(&port, &out, 2), 0);
        EXPECT_EQ(0, std::memcmp(&out, &before, sizeof out));

        port.result = 1;
        const int callsBefore = port.statusCalls;
        EXPECT_EQ(call(&port, &out, 3), 1);  // the printer is still asked
        EXPECT_EQ(port.statusCalls, callsBefore + 1);
        EXPECT_EQ(0, std::memcmp(&out, &before, sizeof out));

        EXPECT_EQ(call(&port, &out, 2), 1);
        EXPECT_EQ(out.coverOpen, 1u);
        EXPECT_EQ(out.etbCounter, 17);
        EXPECT_EQ(out.raw[2], 0);  // version 2 is the whole record
    }
}

// Leaves non-zero bytes where the next call's frames, and the interface's
// status record, will lie.
__attribute__((noinline)) void DirtyTheStackBelow() {
    volatile unsigned char noise[8192];
    for (auto& byte : noise)
        byte = 0x5A;
}

TEST(CInterface, AStatusRecordTheTransportFillsOnlyInPartIsZeroElsewhere) {
    FakePort port;
    port.partial = true;
    DirtyTheStackBelow();
    VelmarPrinterStatus_2 out;
    std::memset(&out, 0xAB, sizeof out);
    ASSERT_EQ(GetParsedStatusEx(&port, &out, 2), 1);
    VelmarPrinterStatus_2 expected;
    std::memset(&expected, 0, sizeof expected);
    expected.offline = 1;
    EXPECT_EQ(0, std::memcmp(&out, &expected, sizeof out));
}

TEST(CInterface, FunctionsWithoutExUseVersionZero) {
    FakePort port;
    using Plain = int (*)(void*, void*);
    using Ex = int (*)(void*, void*, unsigned int);
    const std::pair<Plain, Ex> pairs[] = {{GetParsedStatus, GetParsedStatusEx},
                                          {BeginCheckedBlock, BeginCheckedBlockEx},
                                          {EndCheckedBlock, EndCheckedBlockEx}};
    for (const auto& [plain, ex] : pairs) {
        VelmarPrinterStatus_0 a, b;
        std::memset(&a, 0xCD, sizeof a);
        std::memset(&b, 0xCD, sizeof b);
        EXPECT_EQ(plain(&port, &a), 1);
        EXPECT_EQ(ex(&port, &b, 0), 1);
        EXPECT_EQ(0, std::memcmp(&a, &b, sizeof a));
        EXPECT_EQ(a.stackerFull, 1u);
        EXPECT_EQ(a.rawLength, 2u);
        EXPECT_EQ(a.raw[2], 0xCD);  // beyond rawLength: the caller's bytes
    }
}

TEST(CInterface, NothingThrownInsideAPortCrossesTheInterface) {
    FakePort port;
    port.throwing = true;
    unsigned char buf[2];
    unsigned int count = 0;
    VelmarPrinterStatus_2 out;
    std::memset(&out, 0x11, sizeof out);
    EXPECT_EQ(ReadPort(&port, buf, 2, &count), 0);
    EXPECT_EQ(WritePort(&port, buf, 2, &count), 0);
    EXPECT_EQ(GetOnlineStatus(&port, &count), 0);
    EXPECT_EQ(GetParsedStatusEx(&port, &out, 2), 0);
    EXPECT_EQ(BeginCheckedBlock(&port, &out), 0);
    EXPECT_EQ(EndCheckedBlockEx(&port, &out, 1), 0);
    EXPECT_EQ(ResetDevice(&port), 0);
    EXPECT_EQ(out.offline, 0x11111111u);
}

TEST(CInterface, NullHandlesAndOutPointersFailInsteadOfCrashing) {
    FakePort port;
    unsigned char buf[2];
    unsigned int count = 0;
    EXPECT_EQ(ReadPort(nullptr, buf, 2, &count), 0);
    EXPECT_EQ(ReadPort(&port, buf, 2, nullptr), 0);
    EXPECT_EQ(WritePort(&port, nullptr, 2, &count), 0);
    EXPECT_EQ(GetOnlineStatus(&port, nullptr), 0);
    EXPECT_EQ(GetParsedStatusEx(&port, nullptr, 2), 0);
    EXPECT_EQ(ResetDevice(nullptr), 0);
    EXPECT_STREQ(port.lastOperation, "");
}

}  // namespace
