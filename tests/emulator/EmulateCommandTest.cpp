// `quenvar emulate` as other programs use it: started as a process, waited on
// for its "listening on" line, steered through standard input, stopped.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "RawHost.h"

using rawhost::Connection;
using namespace std::chrono_literals;

namespace {

class EmulateProcess {
public:
    explicit EmulateProcess(std::vector<std::string> arguments) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            dup2(out[1], STDERR_FILENO);
            std::vector<char*> argv;
            std::string tool = QUENVAR_TOOL_PATH;
            argv.push_back(tool.data());
            for (std::string& argument : arguments)
                argv.push_back(argument.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        input_ = in[1];
        output_ = out[0];
    }
    ~EmulateProcess() {
        if (input_ >= 0) close(input_);
        if (pid_ > 0 && exitCode(2s) == -1) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(output_);
    }

    // Reads output until a line containing `text`; returns that line, or "" at the bound.
    std::string waitForLine(const std::string& text, std::chrono::milliseconds bound = 10s) {
        auto deadline = std::chrono::steady_clock::now() + bound;
        while (std::chrono::steady_clock::now() < deadline) {
            std::size_t end;
            while ((end = pending_.find('\n')) != std::string::npos) {
                std::string line = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                if (line.find(text) != std::string::npos) return line;
            }
            pollfd p{output_, POLLIN, 0};
            if (poll(&p, 1, 100) == 1) {
                char buffer[512];
                ssize_t n = read(output_, buffer, sizeof buffer);
                if (n <= 0) break;
                pending_.append(buffer, static_cast<std::size_t>(n));
            }
        }
        return "";
    }

    void type(const std::string& line) {
        std::string text = line + "\n";
        ASSERT_EQ(write(input_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void endInput() {
        close(input_);
        input_ = -1;
    }
    void signal(int number) { kill(pid_, number); }
    pid_t pid() const { return pid_; }

    // The exit status, or -1 when the process is still running at the bound.
    int exitCode(std::chrono::milliseconds bound) {
        if (exited_) return code_;
        auto deadline = std::chrono::steady_clock::now() + bound;
        do {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return code_;
            }
            std::this_thread::sleep_for(10ms);
        } while (std::chrono::steady_clock::now() < deadline);
        return -1;
    }

private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::string pending_;
    bool exited_ = false;
    int code_ = -1;
};

std::string address_from(const std::string& line) { return line.substr(line.rfind(' ') + 1); }

// Status block byte 5 as the status port reports it, polled until it matches.
bool status_byte_becomes(const std::string& address, unsigned index, char value) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        Connection status(address, 9101);
        status.send("3");
        std::string reply = status.receive(9);
        if (reply.size() > index && reply[index] == value) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

std::string file_contents(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

std::size_t file_size(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? static_cast<std::size_t>(info.st_size) : 0;
}

// The peak resident memory of a process in KiB, from /proc.
[[maybe_unused]] long peak_resident_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

}  // namespace

TEST(EmulateCommand, ReportsReadinessTakesCommandsShowsPrintsAndStopsAtEndOfInput) {
    EmulateProcess process({"emulate", "--print-speed", "100000"});
    std::string ready = process.waitForLine("listening on ");
    ASSERT_FALSE(ready.empty());
    std::string address = address_from(ready);

    process.type("paper out");
    EXPECT_TRUE(status_byte_becomes(address, 5, 0x08));
    process.type("paper ok");
    process.type("cover open");
    EXPECT_TRUE(status_byte_becomes(address, 2, 0x28));
    process.type("cover close");
    EXPECT_TRUE(status_byte_becomes(address, 2, 0x00));

    Connection host(address, 9100);
    host.send("Thank you\n");
    EXPECT_FALSE(process.waitForLine("printed: Thank you").empty());

    process.endInput();
    EXPECT_EQ(process.exitCode(10s), 0);
}

TEST(EmulateCommand, StatusPort9101ModeStopsOnSigtermAndFailsOnATakenAddress) {
    EmulateProcess process({"emulate", "--status-port", "9101"});
    std::string ready = process.waitForLine("listening on ");
    ASSERT_FALSE(ready.empty());
    std::string address = address_from(ready);
    std::string reply = rawhost::exchange_datagram(address, 22222,
                                                   std::string("QVL_BCAST\0\0\0\0\0\0\0RQ1.0.0\0\x00\x1C"
                                                               "d1",
                                                               28),
                                                   5s);
    ASSERT_GT(reply.size(), 36u);
    EXPECT_STREQ(reply.c_str() + 36, "QRX450NET");
    Connection host(address, 9100);
    EXPECT_EQ(host.receive(1, 300ms), "") << "no automatic status in 9101 mode";

    EmulateProcess clash({"emulate", "--address", address});
    EXPECT_NE(clash.exitCode(10s), 0);

    process.signal(SIGTERM);
    EXPECT_EQ(process.exitCode(10s), 0);
}

TEST(EmulateCommand, OutputFileFollowsThePrintingAndALongRunStaysSmall) {
    const std::string path = testing::TempDir() + "emulate-output-" + std::to_string(getpid()) + ".bin";
    EmulateProcess process({"emulate", "--output", path, "--no-input"});
    std::string ready = process.waitForLine("listening on ");
    ASSERT_FALSE(ready.empty());
    Connection host(address_from(ready), 9100);

    host.send("first receipt\n");
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (file_contents(path) != "first receipt\n" && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(file_contents(path), "first receipt\n") << "printed data reaches the file while the printer runs";

    // 48 MiB: a printer that kept what it printed and received would hold twice that.
    std::string block(1024 * 1024, '\0');
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>('a' + i % 23);
    for (int i = 0; i < 48; ++i)
        host.send(block);
    const std::size_t total = 14 + 48 * block.size();
    deadline = std::chrono::steady_clock::now() + 30s;
    while (file_size(path) < total && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(50ms);
    const std::string written = file_contents(path);
    ASSERT_EQ(written.size(), total);
    EXPECT_TRUE(written.compare(14, block.size(), block) == 0 &&
                written.compare(total - block.size(), block.size(), block) == 0);
#if !defined(__SANITIZE_ADDRESS__)
    // The sanitizer's quarantine holds freed memory, so the bound means something only without it.
    EXPECT_LT(peak_resident_kib(process.pid()), 40 * 1024);
#endif
    process.signal(SIGTERM);
    EXPECT_EQ(process.exitCode(10s), 0);
    std::remove(path.c_str());
}

TEST(EmulateCommand, APrinterWhosePollFailsSaysSoAndTheRunFails) {
    EmulateProcess process({"emulate"});
    ASSERT_FALSE(process.waitForLine("listening on ").empty());
    // The printer's thread polls five descriptors; a limit below that makes
    // poll itself fail (EINVAL), as no test hook could.
    rlimit original{};
    ASSERT_EQ(prlimit(process.pid(), RLIMIT_NOFILE, nullptr, &original), 0);
    rlimit tight = original;
    tight.rlim_cur = 4;
    ASSERT_EQ(prlimit(process.pid(), RLIMIT_NOFILE, &tight, nullptr), 0);
    EXPECT_FALSE(process.waitForLine("poll failed").empty());
    // The rest of the process may open files again (a sanitizer's report at exit does).
    prlimit(process.pid(), RLIMIT_NOFILE, &original, nullptr);
    EXPECT_EQ(process.exitCode(10s), 1);
}
