// quenvar status and print on both USB routes: the command runs with a
// virtual USB printer preloaded into its own process.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class UsbToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/quenvar-usbtool-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // Runs `quenvar ARGS` with the printer `printer` (a QUENVAR_TEST_PRINTER
    // value) in its process; its output goes to out_, its exit code back.
    int quenvar(const std::string& printer, const std::string& args) {
        // Under the address sanitizer the preloaded library comes before its
        // runtime, which the runtime accepts when told.
        const std::string command = "QUENVAR_TEST_PRINTER='" + printer +
                                    "' LD_PRELOAD=" QUENVAR_PRELOAD_PATH
                                    " ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0\" " +
                                    std::string(QUENVAR_TOOL_PATH) + " " + args + " >" + dir_ + "/out 2>&1";
        const int status = std::system(command.c_str());
        out_ = slurp(dir_ + "/out");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string dir_;
    std::string out_;
};

TEST_F(UsbToolTest, StatusOnBothRoutes) {
    EXPECT_EQ(quenvar("usbven:serial=STAT0001,cover-open,etb=9", "status 'usbven:;sn:STAT0001' -t 100"), 0) << out_;
    EXPECT_NE(out_.find("cover open"), std::string::npos) << out_;
    EXPECT_NE(out_.find("ETB counter: 9"), std::string::npos) << out_;

    EXPECT_EQ(quenvar("usbprn:serial=STAT0002,paper-empty", "status 'usbprn:MDL:QV-U100;sn:STAT0002' -t 100"), 0)
        << out_;
    EXPECT_NE(out_.find("online:      no"), std::string::npos) << out_;
    EXPECT_NE(out_.find("paper out"), std::string::npos) << out_;
}

TEST_F(UsbToolTest, ConfirmedPrintOnBothRoutes) {
    const std::string job = "a receipt over USB\n";
    std::ofstream(dir_ + "/job.bin", std::ios::binary) << job;
    const std::string printed = dir_ + "/printed.bin";

    EXPECT_EQ(quenvar("usbven:serial=PRNT0001,speed=2000,printed=" + printed,
                      "print 'usbven:;sn:PRNT0001' " + dir_ + "/job.bin -t 200"),
              0)
        << out_;
    EXPECT_NE(out_.find("job confirmed"), std::string::npos) << out_;
    EXPECT_EQ(slurp(printed), job + "\x17");  // the job, then the ETB that confirmed it

    EXPECT_EQ(quenvar("usbprn:serial=PRNT0002,speed=2000,printed=" + printed,
                      "print 'usbprn:;sn:PRNT0002' " + dir_ + "/job.bin -t 200"),
              0)
        << out_;
    EXPECT_NE(out_.find("job confirmed"), std::string::npos) << out_;
    EXPECT_EQ(slurp(printed), job);
}

}  // namespace
