// `quenvar emulate` as other programs use it: started as a process, waited on
// for its "listening on" line, steered through standard input, stopped.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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
