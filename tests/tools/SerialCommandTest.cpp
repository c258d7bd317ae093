// `quenvar emulate --serial` as a person uses it: a name in /dev for the
// virtual serial printer, which `quenvar status` and `quenvar print` reach
// through the library as any serial printer. Links in /dev need root: the
// test is skipped without it, and the refusal is tested as another user.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

struct CommandRun {
    int exitCode = -1;
    std::string out, err;
};

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class SerialCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/quenvar-serial-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        name_ = "/dev/ttyQVtool" + std::to_string(getpid());
    }
    void TearDown() override {
        stopEmulator();
        std::system(("rm -rf " + dir_).c_str());
    }

    // Runs `prefix quenvar ARGS`.
    CommandRun quenvar(const std::string& args, const std::string& prefix = "") {
        const std::string command =
            prefix + std::string(QUENVAR_TOOL_PATH) + " " + args + " </dev/null >" + dir_ + "/out 2>" + dir_ + "/err";
        const int status = std::system(command.c_str());
        return CommandRun{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(dir_ + "/out"), slurp(dir_ + "/err")};
    }

    // Starts `quenvar emulate --serial NAME`, its commands from a pipe and its
    // output in a file; true once it says it is listening.
    bool startEmulator() {
        int in[2];
        if (pipe2(in, O_CLOEXEC) != 0) return false;
        emulator_ = fork();
        if (emulator_ == 0) {
            dup2(in[0], STDIN_FILENO);
            const int out = open((dir_ + "/emulate").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
            execl(QUENVAR_TOOL_PATH, QUENVAR_TOOL_PATH, "emulate", "--serial", name_.c_str(), nullptr);
            _exit(127);
        }
        close(in[0]);
        commands_ = in[1];
        return waitForOutput("listening on " + name_);
    }
    bool waitForOutput(const std::string& text) const {
        for (auto until = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < until;
             std::this_thread::sleep_for(20ms))
            if (slurp(dir_ + "/emulate").find(text) != std::string::npos) return true;
        return false;
    }
    void type(const std::string& line) {
        const std::string text = line + "\n";
        ASSERT_EQ(write(commands_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    // Ends the emulator's input and returns its exit status (-1: it had to be killed).
    int stopEmulator() {
        if (emulator_ <= 0) return -1;
        close(commands_);
        int status = 0;
        for (auto until = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < until;
             std::this_thread::sleep_for(20ms)) {
            if (waitpid(emulator_, &status, WNOHANG) == emulator_) {
                emulator_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
        }
        kill(emulator_, SIGKILL);
        waitpid(emulator_, nullptr, 0);
        emulator_ = -1;
        return -1;
    }

    std::string dir_, name_;
    pid_t emulator_ = -1;
    int commands_ = -1;
};

TEST_F(SerialCommandTest, StatusAndPrintThroughTheLinkedName) {
    if (geteuid() != 0) GTEST_SKIP() << "a name in /dev needs root";
    ASSERT_TRUE(startEmulator()) << slurp(dir_ + "/emulate");
    const std::string port = name_ + " --settings 9600,n,8,1,n --timeout 500";

    const CommandRun ready = quenvar("status " + port + " --json");
    ASSERT_EQ(ready.exitCode, 0) << ready.err;
    EXPECT_EQ(nlohmann::json::parse(ready.out)["offline"], false) << ready.out;

    type("cover open");
    ASSERT_TRUE(waitForOutput("cover open"));
    const CommandRun open = quenvar("status " + port);
    EXPECT_EQ(open.exitCode, 0) << open.err;
    EXPECT_NE(open.out.find("cover open"), std::string::npos) << open.out;
    std::ofstream(dir_ + "/never.bin", std::ios::binary) << "never\n";
    const CommandRun refused = quenvar("print " + port + " " + dir_ + "/never.bin");
    EXPECT_EQ(refused.exitCode, 4) << refused.err;
    EXPECT_NE(refused.err.find("cover open"), std::string::npos) << refused.err;
    type("cover close");
    ASSERT_TRUE(waitForOutput("cover closed"));

    std::ofstream(dir_ + "/receipt.bin", std::ios::binary) << "Thank you\r\nfor your visit\n";
    const CommandRun printed = quenvar("print " + port + " " + dir_ + "/receipt.bin");
    EXPECT_EQ(printed.exitCode, 0) << printed.err;
    EXPECT_NE(printed.out.find("job confirmed"), std::string::npos) << printed.out;
    EXPECT_TRUE(waitForOutput("printed: for your visit"));

    EXPECT_EQ(stopEmulator(), 0);
    struct stat info {};
    EXPECT_NE(lstat(name_.c_str(), &info), 0) << "the link is removed when the printer stops";
}

TEST_F(SerialCommandTest, ANameThatCannotBeMadeIsAUsageError) {
    // Another user may not make names in /dev.
    const std::string asNobody = geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    if (!asNobody.empty() && std::system("command -v setpriv >/dev/null") != 0) GTEST_SKIP() << "no setpriv";
    const CommandRun unprivileged = quenvar("emulate --no-input --serial " + name_, asNobody);
    EXPECT_EQ(unprivileged.exitCode, 2);
    EXPECT_NE(unprivileged.err.find("need root"), std::string::npos) << unprivileged.err;

    // A name in use is never replaced.
    const std::string taken = dir_ + "/taken";
    std::ofstream(taken) << "keep me";
    const CommandRun inUse = quenvar("emulate --no-input --serial " + taken);
    EXPECT_EQ(inUse.exitCode, 2);
    EXPECT_NE(inUse.err.find("exists already"), std::string::npos) << inUse.err;
    EXPECT_EQ(slurp(taken), "keep me");
}

}  // namespace
