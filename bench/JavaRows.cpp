// The Java API against the C interface: the same checked job (begin, 1 MiB,
// end) through Printer.printJob and through BeginCheckedBlockEx, WritePort
// and EndCheckedBlockEx, each side on a virtual printer of its own with the
// same options, measured in pairs.
//
// The Java side runs in one JVM started for the whole run (JavaJobDriver.java)
// that times its own jobs: neither the JVM's start nor the exchange over its
// standard input and output is in the figure.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "PlainSocket.h"
#include "Rows.h"
#include "emulator/NetworkPrinter.h"
#include "quenvar.h"

extern char** environ;

namespace bench {

#ifdef QUENVAR_BENCH_JAVA

namespace {

constexpr unsigned int kTimeoutMs = 2000;
// Longest a JVM may take to answer one command (its start included): only
// keeps a broken run from hanging.
constexpr int kAnswerBoundMs = 60000;

// A long-lived JVM running JavaJobDriver, spoken to over one socket that is
// both its standard input and its standard output.
class JavaDriver {
public:
    // smoke: a JVM that starts cheaply (no optimising compiler), for a run
    // whose numbers are not judged.
    explicit JavaDriver(bool smoke) {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
            throw std::runtime_error("cannot make a socket pair for the JVM");
        std::vector<std::string> words{QUENVAR_BENCH_JAVA, "-XX:+UseSerialGC"};
        if (smoke) words.insert(words.end(), {"-XX:TieredStopAtLevel=1", "-XX:CICompilerCount=1"});
        words.insert(words.end(), {"-cp", QUENVAR_BENCH_JAVA_CLASSPATH, "JavaJobDriver"});
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ends[1], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
        const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(ends[1]);
        fd_ = ends[0];
        if (spawned != 0) {
            pid_ = -1;
            throw std::runtime_error("cannot start " + words[0]);
        }
    }

    ~JavaDriver() {
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
    JavaDriver(const JavaDriver&) = delete;
    JavaDriver& operator=(const JavaDriver&) = delete;

    // Sends one command line and returns the answer line; throws when the
    // driver is gone, silent past the bound, or answers with an error.
    std::string ask(const std::string& command) {
        const std::string line = command + "\n";
        if (send(fd_, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size()))
            throw std::runtime_error("the JVM is gone");
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
                throw std::runtime_error("the JVM did not answer " + command);
            char buffer[256];
            const ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
            if (got <= 0) throw std::runtime_error("the JVM ended");
            pending_.append(buffer, static_cast<std::size_t>(got));
        }
        if (answer.rfind("error", 0) == 0) throw std::runtime_error("JVM: " + answer);
        return answer;
    }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    std::string pending_;
};

// The one JVM of the run, started by the first repetition that needs it.
JavaDriver& java_driver(bool smoke, bool* fresh) {
    static std::unique_ptr<JavaDriver> driver;
    *fresh = !driver;
    if (!driver) driver = std::make_unique<JavaDriver>(smoke);
    return *driver;
}

// Begin, the job in WritePort calls of what is left, end: the seconds it
// took, or 0 when a step failed.
double c_job(void* port, const std::vector<unsigned char>& job) {
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

void java_job(benchmark::State& state, bool smoke, std::size_t bytes) {
    const std::string command = "job " + std::to_string(bytes);
    void* port = nullptr;
    JavaDriver* driver = nullptr;
    try {
        emulator::NetworkPrinter forC, forJava;
        forC.start();
        forJava.start();
        bool fresh = false;
        driver = &java_driver(smoke, &fresh);
        driver->ask("open " + forJava.portName() + " 9100 " + std::to_string(kTimeoutMs));
        // A new JVM first runs a few jobs untimed: its compilers see the job path.
        for (int i = 0; fresh && !smoke && i < 5; ++i)
            driver->ask(command);
        port = OpenPort(forC.portName().c_str(), "9100", kTimeoutMs);
        if (port == nullptr) return state.SkipWithError("cannot open the port");
        const std::vector<unsigned char> job(bytes, 'A');
        std::string failure;
        RunPaired(
            state, [&] { return c_job(port, job); },
            [&] {
                try {
                    return std::stod(driver->ask(command));
                } catch (const std::exception& e) {
                    failure = e.what();
                    return 0.0;
                }
            });
        if (!failure.empty()) std::cerr << "\njava/job: " << failure << "\n";
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    }
    if (port != nullptr) ClosePort(port);
    try {
        if (driver != nullptr) driver->ask("close");
    } catch (const std::exception&) {
        // a JVM that failed has said so already
    }
}

}  // namespace

void AddJavaRows(Suite& suite) {
    const bool smoke = suite.config().smoke;
    const std::size_t bytes = smoke ? 4096 : 1024 * 1024;
    // Each pair waits out four 100 ms pauses: fewer repetitions.
    suite
        .add(
            "java/job", [=](benchmark::State& s) { java_job(s, smoke, bytes); }, true, 3.0 / 7)
        ->Iterations(smoke ? 1 : 5);
    suite.row(PairedTimeRow(
        std::string("checked job via Java Printer.printJob: begin, ") + (smoke ? "4 KiB" : "1 MiB") + ", end",
        "the same job from C", "java/job", Goal::AtMost, 1.1, 1e3, "ms"));
}

#else

// Without the Java bridge in the build there is nothing to compare.
void AddJavaRows(Suite&) {}

#endif

}  // namespace bench
