#include "ForeignDriver.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "PlainSocket.h"
#include "quenvar.h"

extern char** environ;

namespace bench {

namespace {

// Longest a driver may take to answer one command (its start included): only
// keeps a broken run from hanging.
constexpr int kAnswerBoundMs = 60000;

}  // namespace

ForeignDriver::ForeignDriver(std::vector<std::string> argv) : name_(argv.at(0)) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        throw std::runtime_error("cannot make a socket pair for " + name_);
    std::vector<char*> pointers;
    for (std::string& word : argv)
        pointers.push_back(word.data());
    pointers.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, pointers[0], &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    fd_ = ends[0];
    if (spawned != 0) {
        close(fd_);
        throw std::runtime_error("cannot start " + name_);
    }
    pid_ = pid;
}

ForeignDriver::~ForeignDriver() {
    close(fd_);  // end of input: the driver closes its port and exits
    const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > bound) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string ForeignDriver::ask(const std::string& command) {
    const std::string line = command + "\n";
    if (send(fd_, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size()))
        throw std::runtime_error(name_ + " is gone");
    const auto bound = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerBoundMs);
    std::string answer;
    for (;;) {
        const std::size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            answer = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            break;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(bound - std::chrono::steady_clock::now());
        pollfd p{fd_, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1)
            throw std::runtime_error(name_ + " did not answer " + command);
        char buffer[256];
        const ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
        if (got <= 0) throw std::runtime_error(name_ + " ended");
        pending_.append(buffer, static_cast<std::size_t>(got));
    }
    if (answer.rfind("error", 0) == 0) throw std::runtime_error(name_ + ": " + answer);
    return answer;
}

double CheckedJobFromC(void* port, const std::vector<unsigned char>& job) {
    VelmarPrinterStatus_2 status;
    const double start = WallSeconds();
    if (BeginCheckedBlockEx(port, &status, 2) != 1 || status.offline != 0) return 0;
    for (std::size_t sent = 0; sent < job.size();) {
        unsigned int written = 0;
        const unsigned int left = static_cast<unsigned int>(job.size() - sent);
        if (WritePort(port, job.data() + sent, left, &written) != 1 || written == 0) return 0;
        sent += written;
    }
    if (EndCheckedBlockEx(port, &status, 2) != 1 || status.offline != 0) return 0;
    return WallSeconds() - start;
}

}  // namespace bench
