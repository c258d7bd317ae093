// Many ports used at once from many threads: the library keeps no shared
// state, so every job must reach its own printer whole and only once.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "TcpTestSupport.h"
#include "emulator/NetworkPrinter.h"

using emulator::NetworkPrinter;

namespace {

struct JobResult {
    int begun = -1, ended = -1, closed = -1;
    unsigned int beginOffline = 9, endOffline = 9;
    bool allWritten = false;
};

std::string JobFor(int printer) {
    std::string job;
    for (int line = 0; line < 400; ++line)
        job += "printer " + std::to_string(printer) + " line " + std::to_string(line) + "\n";
    return job;
}

JobResult RunJob(const std::string& portName, const std::string& job) {
    JobResult r;
    void* port = OpenPort(portName.c_str(), "", 5000);
    if (port == nullptr) return r;
    VelmarPrinterStatus_2 status{};
    r.begun = BeginCheckedBlockEx(port, &status, 2);
    r.beginOffline = status.offline;
    std::size_t sent = 0;
    while (sent < job.size()) {
        // Uneven pieces, so that the writes of the threads interleave.
        const unsigned int piece = static_cast<unsigned int>(std::min<std::size_t>(job.size() - sent, 97 + sent % 300));
        unsigned int written = 0;
        if (WritePort(port, reinterpret_cast<const unsigned char*>(job.data()) + sent, piece, &written) != 1) break;
        sent += written;
    }
    r.allWritten = sent == job.size();
    r.ended = EndCheckedBlockEx(port, &status, 2);
    r.endOffline = status.offline;
    r.closed = ClosePort(port);
    return r;
}

}  // namespace

TEST(TcpConcurrency, ThirtyTwoPortsOnThirtyTwoThreadsEachDeliverTheirJobExactlyOnce) {
    constexpr int kPorts = 32;
    std::vector<std::unique_ptr<NetworkPrinter>> printers;
    for (int i = 0; i < kPorts; ++i) {
        printers.push_back(std::make_unique<NetworkPrinter>());
        printers.back()->start();
    }
    std::vector<JobResult> results(kPorts);
    std::vector<std::thread> threads;
    for (int i = 0; i < kPorts; ++i)
        threads.emplace_back([&, i] { results[i] = RunJob(printers[i]->portName(), JobFor(i)); });
    for (std::thread& t : threads)
        t.join();

    for (int i = 0; i < kPorts; ++i) {
        SCOPED_TRACE("printer " + std::to_string(i));
        EXPECT_EQ(results[i].begun, 1);
        EXPECT_EQ(results[i].beginOffline, 0u);
        EXPECT_TRUE(results[i].allWritten);
        EXPECT_EQ(results[i].ended, 1);
        EXPECT_EQ(results[i].endOffline, 0u);
        EXPECT_EQ(results[i].closed, 1);
        // The job end is answered only once everything before it is printed.
        EXPECT_EQ(printers[i]->model().printedData(), JobFor(i));
        EXPECT_EQ(printers[i]->model().connectionCount(), 1u);
    }
}
