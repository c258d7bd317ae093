// The printer model on its own, as every front-end uses it: change listeners
// that can never be called once their front-end is gone, printed data handed
// on as it is printed for long runs, and the ESC/POS automatic status command.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "RawHost.h"
#include "emulator/NetworkPrinter.h"

using emulator::NetworkPrinter;
using emulator::PrinterModel;
using rawhost::Connection;
using namespace std::chrono_literals;

TEST(Model, EndingASubscriptionWaitsForTheCallInProgressAndStopsLaterOnes) {
    PrinterModel model;
    std::atomic<int> calls{0};
    std::atomic<bool> inCall{false}, callEnded{false};
    auto subscription = model.subscribe([&] {
        ++calls;
        inCall = true;
        std::this_thread::sleep_for(100ms);
        callEnded = true;
    });
    std::thread changer([&] { model.setCoverOpen(true); });
    while (!inCall)
        std::this_thread::yield();
    subscription.reset();
    EXPECT_TRUE(callEnded) << "the subscription ended while its listener still ran";
    changer.join();
    model.setCoverOpen(false);
    EXPECT_EQ(calls, 1);

    // Front-ends come and go on a shared model that another thread keeps changing.
    auto shared = std::make_shared<PrinterModel>();
    std::atomic<bool> stop{false};
    std::thread toggler([&] {
        for (bool on = true; !stop; on = !on)
            shared->setOffline(on);
    });
    for (int i = 0; i < 200; ++i)
        NetworkPrinter frontEnd(NetworkPrinter::Options{}, shared);
    stop = true;
    toggler.join();
}

TEST(Model, PrintedSinkGetsEveryByteInOrderWhileTheModelKeepsOnlyATail) {
    PrinterModel model;
    std::string sunk;
    model.setPrintedSink([&](const char* data, std::size_t length) { sunk.append(data, length); }, 16);
    model.hostConnected();
    std::string job;
    for (int i = 0; job.size() < 300 * 1024; ++i)
        job += "line " + std::to_string(i) + "\n";
    const std::string jobEnd("\x1B\x1D\x03\x01\x01\x01", 6);
    // Held by a stopped printer, then printed at a set speed: both paths reach the sink.
    model.setPaperEmpty(true);
    model.consume("held", 4);
    model.setPaperEmpty(false);
    model.setPrintSpeed(1000);
    model.advance(PrinterModel::Clock::now() + 1s);
    model.setPrintSpeed(0);
    for (std::size_t at = 0; at < job.size(); at += 4096)
        model.consume(job.data() + at, std::min<std::size_t>(4096, job.size() - at));
    model.consume(jobEnd.data(), jobEnd.size());

    EXPECT_TRUE(sunk == "held" + job) << sunk.size();
    EXPECT_EQ(model.printedSize(), 4 + job.size());
    EXPECT_EQ(model.receivedSize(), 4 + job.size() + jobEnd.size());
    EXPECT_LT(model.printedData().size(), 100u * 1024) << "the model kept what went to the sink";
    EXPECT_LT(model.allReceived().size(), 100u * 1024);
    EXPECT_EQ(model.printedSince(model.printedSize() - 16), job.substr(job.size() - 16));
    EXPECT_EQ(model.takeOutput(), std::string("\x1B\x1D\x03\x01\x01\x01\x01\x00", 8)) << "answers are unchanged";
}

TEST(Model, AutomaticStatusCommandIsTakenOutOfTheDataAndRestartsTheReport) {
    PrinterModel model;
    model.hostConnected();
    model.consume("a\x1D\x61\x02", 4);
    EXPECT_EQ(model.automaticStatusMask(), 0u) << "off by default: GS a n is print data";
    model.setTakeAutomaticStatusCommand(true);
    model.consume(
        "b\x1D\x61\x02"
        "c\x1D\x62"
        "d\x1D",
        9);
    model.consume(
        "\x61\x00"
        "e",
        3);
    EXPECT_EQ(model.printedData(),
              "a\x1D\x61\x02"
              "bc\x1D\x62"
              "de");
    EXPECT_EQ(model.automaticStatusMask(), 0u);
    EXPECT_EQ(model.automaticStatusStarts(), 1u);

    // Each start sends the wire's report at once, even with nothing changed.
    NetworkPrinter printer;
    printer.model().setTakeAutomaticStatusCommand(true);
    printer.start();
    Connection host(printer.address(), 9100);
    const std::string frame = host.receive(11);
    ASSERT_EQ(frame.size(), 11u);
    host.send(std::string("\x1D\x61\x02", 3));
    EXPECT_EQ(host.receive(11), frame);
    host.send(std::string("\x1D\x61\x00", 3));
    EXPECT_EQ(host.receive(1, 300ms), "");
}
