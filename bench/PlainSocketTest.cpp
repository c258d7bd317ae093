// The baselines' own primitives: a baseline that drops bytes or counts memory
// wrongly would make every ratio built on it wrong without a sign.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "PlainSocket.h"

namespace {

struct Pair {
    Pair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0); }
    ~Pair() {
        close(fds[0]);
        close(fds[1]);
    }
    int fds[2] = {-1, -1};
};

TEST(PlainSocket, SendAllAndReceiveExactlyMoveEveryByteInOrder) {
    Pair pair;
    std::vector<unsigned char> sent(300000);
    for (std::size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<unsigned char>(i * 7);
    std::vector<unsigned char> received(sent.size());
    // More than the socket holds at once: both loops must go on after partial transfers.
    std::thread reader([&] { EXPECT_EQ(bench::ReceiveExactly(pair.fds[1], received.data(), received.size()), 1); });
    EXPECT_EQ(bench::SendAll(pair.fds[0], sent.data(), sent.size(), 4096), 1);
    reader.join();
    EXPECT_EQ(received, sent);
}

TEST(PlainSocket, ReceiveExactlyFailsWhenThePeerClosesEarly) {
    Pair pair;
    const unsigned char three[3] = {1, 2, 3};
    ASSERT_EQ(bench::SendAll(pair.fds[0], three, 3, 64), 1);
    shutdown(pair.fds[0], SHUT_WR);
    unsigned char buffer[11];
    EXPECT_EQ(bench::ReceiveExactly(pair.fds[1], buffer, sizeof buffer), 0);
}

TEST(PlainSocket, LayeredSendSendsWhatAPlainSendWould) {
    Pair pair;
    const std::string text = "through the layers";
    EXPECT_EQ(bench::LayeredSend(pair.fds[0], reinterpret_cast<const unsigned char*>(text.data()), text.size()),
              static_cast<long>(text.size()));
    char buffer[64] = {};
    EXPECT_EQ(recv(pair.fds[1], buffer, sizeof buffer, 0), static_cast<ssize_t>(text.size()));
    EXPECT_EQ(std::string(buffer), text);
    EXPECT_EQ(bench::LayeredSend(-1, reinterpret_cast<const unsigned char*>(text.data()), text.size()), -1);
}

TEST(PlainSocket, ResidentMemoryCountsTouchedPagesOnly) {
    const std::size_t before = bench::ResidentBytes();
    ASSERT_GT(before, 0u);
    const std::size_t size = 8 << 20;
    char* block = static_cast<char*>(std::malloc(size));
    ASSERT_NE(block, nullptr);
    const std::size_t untouched = bench::ResidentBytes();
    std::memset(block, 1, size);
    asm volatile("" : : "r"(block) : "memory");  // the pages are written, not optimised away
    const std::size_t touched = bench::ResidentBytes();
    std::free(block);
    EXPECT_LT(untouched - before, std::size_t{1} << 20) << "allocating alone made memory resident";
    EXPECT_GE(touched - before, size - (std::size_t{1} << 20));
}

}  // namespace
