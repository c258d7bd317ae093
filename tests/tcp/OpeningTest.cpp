// Opening a network port: names, settings, connection and discovery.
#include <gtest/gtest.h>

#include "ScriptedPeer.h"
#include "quenvar.h"

using namespace tcptest;

TEST(TcpOpening, AutomaticModePortTakesOpeningStatusAndSendsData) {
    ScriptedPeer peer({StatusFrame(9), {}, {}, {}, true});
    void* port = OpenPort(peer.portName().c_str(), "9100", 2000);
    ASSERT_NE(port, nullptr);
    unsigned int written = 0;
    const unsigned char data[] = {'h', 'e', 'l', 'l', 'o'};
    EXPECT_EQ(WritePort(port, data, sizeof data, &written), 1);
    EXPECT_EQ(written, 5u);
    ClosePort(port);
    EXPECT_EQ(peer.received(0), Text("hello"));
}
