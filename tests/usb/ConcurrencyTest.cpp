// The USB library keeps one list of buses and devices for the whole process,
// and every search rebuilds it. Many threads opening and using their own
// printers, while printers come and go on the buses, must neither corrupt it
// nor fail one another (run under the sanitizers too).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "UsbTestSupport.h"

namespace usbtest {
namespace {

constexpr unsigned int kTimeoutMs = 500;
constexpr int kThreads = 8;
constexpr int kRounds = 15;

TEST(UsbConcurrency, ManyThreadsSearchAndUseTheirOwnPrintersAtOnce) {
    std::vector<std::unique_ptr<Vendor>> vendors;
    std::vector<std::unique_ptr<Class>> classes;
    for (int i = 0; i < kThreads; ++i) {
        const std::u16string serial = u"CONC000" + std::u16string(1, static_cast<char16_t>(u'0' + i));
        if (i % 2 == 0)
            vendors.push_back(std::make_unique<Vendor>(WithSerial(serial), 1 + i % 3));
        else
            classes.push_back(std::make_unique<Class>(WithSerial(serial), 1 + i % 3));
    }
    // Printers plugged in and pulled out meanwhile change what every rescan
    // finds, so the library's lists really change under the searches.
    std::atomic<bool> done{false};
    std::thread churn([&] {
        while (!done) {
            Vendor passing(WithSerial(u"PASSING0"), 2);
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    });
    std::atomic<int> failures{0};
    std::vector<std::thread> users;
    for (int i = 0; i < kThreads; ++i) {
        users.emplace_back([i, &failures] {
            const std::string name =
                std::string(i % 2 == 0 ? "usbven:" : "usbprn:") + ";sn:CONC000" + std::to_string(i);
            for (int round = 0; round < kRounds; ++round) {
                OpenedPort port(name, "", kTimeoutMs);
                unsigned int written = 0, online = 0;
                if (!port || WritePort(port.get(), reinterpret_cast<const unsigned char*>("abc"), 3, &written) != 1 ||
                    written != 3 || GetOnlineStatus(port.get(), &online) != 1 || online != 1)
                    ++failures;
            }
        });
    }
    for (std::thread& user : users)
        user.join();
    done = true;
    churn.join();
    EXPECT_EQ(failures.load(), 0);
    std::string expected;
    for (int round = 0; round < kRounds; ++round)
        expected += "abc";
    for (auto& vendor : vendors)
        EXPECT_TRUE(vendor->model().waitPrinted(expected.size(), std::chrono::seconds(5)));
    for (auto& vendor : vendors)
        EXPECT_EQ(vendor->model().printedData(), expected);
}

}  // namespace
}  // namespace usbtest
