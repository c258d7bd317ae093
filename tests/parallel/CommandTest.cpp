// The quenvar command on an emulated parallel port: the virtual printer is
// preloaded into the command's own process.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#if defined(QUENVAR_TOOL_PATH)

namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

class ParallelCommand : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/quenvar-parallel-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

    // Runs `quenvar ARGS` with a printer on `device` preloaded; the printer
    // writes what it printed to printed(). Returns the exit status; the
    // output goes to out().
    int Quenvar(const std::string& device, const std::string& args) {
        // Under the address sanitizer the preloaded library comes before its
        // runtime, which the runtime accepts when told.
        const std::string command =
            "LD_PRELOAD=" QUENVAR_PRELOAD_PRINTER_PATH " QUENVAR_TEST_PRINTER='parallel:" + device +
            ",printed=" + printed() + "' ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0\" " +
            QUENVAR_TOOL_PATH + " " + args + " >" + dir_ + "/out 2>" + dir_ + "/err </dev/null";
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string out() const { return Slurp(dir_ + "/out"); }
    std::string err() const { return Slurp(dir_ + "/err"); }
    std::string printed() const { return dir_ + "/printed"; }

    std::string dir_;
};

TEST_F(ParallelCommand, StatusAndAConfirmedPrint) {
    const std::string device = "/dev/parport-qv-command";
    EXPECT_EQ(Quenvar(device, "status " + device), 0) << err();
    EXPECT_NE(out().find("online:      yes"), std::string::npos) << out();

    std::string job(100 * 1024, '\0');
    for (std::size_t i = 0; i < job.size(); ++i)
        job[i] = static_cast<char>('a' + i % 26);
    std::ofstream(dir_ + "/job", std::ios::binary) << job;
    EXPECT_EQ(Quenvar(device, "print " + device + " " + dir_ + "/job"), 0) << err();
    EXPECT_NE(out().find("job confirmed"), std::string::npos) << out();
    EXPECT_TRUE(Slurp(printed()) == job);
}

}  // namespace

#endif
