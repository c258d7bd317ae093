// quenvar print: send a file as one print job and report whether the printer
// confirmed it. The file is sent while it is read, so a job of any size takes
// little memory and a pipe starts printing before its input ends.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <iostream>
#include <memory>

#include "CheckedPrint.h"
#include "Commands.h"
#include "PortOptions.h"
#include "ProgressBar.h"

namespace tools {

namespace {

struct PrintSettings {
    PortOptions port;
    std::string file = "-";
    bool noCheck = false;
};

// The job's input, read while it is sent: a file, or standard input for "-".
class JobInput {
public:
    explicit JobInput(const std::string& file)
        : fd_(file == "-" ? STDIN_FILENO : ::open(file.c_str(), O_RDONLY | O_CLOEXEC)), owned_(file != "-") {
        struct stat info {};
        if (fd_ >= 0 && ::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode)) size_ = static_cast<uint64_t>(info.st_size);
    }
    ~JobInput() {
        if (owned_ && fd_ >= 0) ::close(fd_);
    }
    JobInput(const JobInput&) = delete;
    JobInput& operator=(const JobInput&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    // The size when the input is a regular file; 0 when it cannot be known
    // (a pipe), which the progress display shows as such.
    uint64_t size() const { return size_; }
    long read(char* buffer, std::size_t room) {
        for (;;) {
            const ssize_t got = ::read(fd_, buffer, room);
            if (got >= 0 || errno != EINTR) return static_cast<long>(got);
        }
    }

private:
    int fd_;
    bool owned_;
    uint64_t size_ = 0;
};

int runPrint(const PrintSettings& settings) {
    JobInput input(settings.file);
    if (!input.isOpen()) {
        std::cerr << "quenvar: cannot read " << settings.file << "\n";
        return kExitUsage;
    }
    OpenedPort port(settings.port);
    if (!port.isOpen()) {
        std::cerr << "quenvar: " << notOpenedMessage(settings.port) << "\n";
        return kExitNotOpened;
    }
    JobOutcome outcome;
    {
        ProgressBar bar(input.size());
        outcome = printJob(
            port.handle(), [&input](char* buffer, std::size_t room) { return input.read(buffer, room); },
            !settings.noCheck, settings.port.timeoutMs, [&bar](uint64_t sent) { bar.update(sent); });
    }
    (outcome.code == kExitSuccess ? std::cout : std::cerr)
        << (outcome.code == kExitSuccess ? "" : "quenvar: ") << outcome.message << "\n";
    return outcome.code;
}

}  // namespace

void addPrintCommand(CLI::App& app, int& exitCode) {
    auto settings = std::make_shared<PrintSettings>();
    CLI::App* command = app.add_subcommand(
        "print", "Send FILE (or standard input) as one print job and wait for the printer to confirm it");
    settings->port.addTo(command);
    command->add_option("FILE", settings->file, "printer command bytes to send; - for standard input")
        ->capture_default_str();
    command->add_flag("--no-check", settings->noCheck, "send without a checked block (no confirmation)");
    command->callback([settings, &exitCode] { exitCode = runPrint(*settings); });
}

}  // namespace tools
