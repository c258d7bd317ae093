// quenvar emulate: runs the virtual printer in the foreground, on the network
// or on a serial line, shows or saves what it prints as it prints it, and lets
// a person change its state from the terminal.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>

#include "Commands.h"
#include "ExitCodes.h"
#include "PrintedOutput.h"
#include "core/NetworkDiscovery.h"
#include "emulator/NetworkPrinter.h"
#include "emulator/SerialPrinter.h"

namespace tools {

namespace {

struct EmulateSettings {
    std::string address;
    std::string model;
    unsigned statusPort = 0;  // 0: follow the model name
    unsigned printSpeed = 0;
    std::string output;
    bool noInput = false;
    std::string serial;  // a name to link to the serial printer's line; empty: network
};

// A name in /dev for the serial printer's pseudo-terminal, as a symbolic link:
// the serial port opens only names that begin with /dev/tty.
class DeviceLink {
public:
    // Links `path` to `target`; `*why` says what went wrong when it could not.
    DeviceLink(std::string path, std::string target, std::string* why)
        : path_(std::move(path)), target_(std::move(target)) {
        struct stat info {};
        // A link left by a run that was killed points nowhere: it may go.
        if (::lstat(path_.c_str(), &info) == 0 && S_ISLNK(info.st_mode) && ::stat(path_.c_str(), &info) != 0)
            ::unlink(path_.c_str());
        if (::symlink(target_.c_str(), path_.c_str()) == 0) {
            made_ = true;
            return;
        }
        const int error = errno;
        *why = "cannot create " + path_ + ": " + std::strerror(error);
        if (error == EEXIST)
            *why = path_ + " exists already; give a name that is not in use";
        else if ((error == EACCES || error == EPERM || error == EROFS) && ::geteuid() != 0)
            *why += " (names in /dev need root: run quenvar emulate --serial as root)";
    }
    // Removes the link, if it still leads to the printer's line.
    ~DeviceLink() {
        char target[4096];
        const ssize_t length = made_ ? ::readlink(path_.c_str(), target, sizeof target - 1) : -1;
        if (length > 0 && std::string(target, static_cast<std::size_t>(length)) == target_) ::unlink(path_.c_str());
    }
    DeviceLink(const DeviceLink&) = delete;
    DeviceLink& operator=(const DeviceLink&) = delete;
    bool made() const { return made_; }

private:
    std::string path_;
    std::string target_;
    bool made_ = false;
};

// Models whose status the library fetches from port 9101 instead of the data connection.
bool uses_status_port(const std::string& model) { return quenvar::IsOnRequestStatusModel(model); }

std::string hex_bytes(const std::string& data) {
    std::string out;
    for (unsigned char c : data) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02X ", c);
        out += hex;
    }
    if (!out.empty()) out.pop_back();
    return out;
}

// A background job started by a script reads /dev/null: its immediate end of
// input is no request to stop, so such input is not read at all.
bool input_is_null_device() {
    struct stat input {
    }, null{};
    return fstat(STDIN_FILENO, &input) == 0 && stat("/dev/null", &null) == 0 && S_ISCHR(input.st_mode) &&
           input.st_rdev == null.st_rdev;
}

// The console commands, for `help` at the console and for `quenvar emulate
// --help` (and so the manual page) alike.
const char* kConsoleCommands =
    "Commands on standard input, one per line:\n"
    "  cover open, cover close           open or close the printer's cover\n"
    "  paper out, paper near-end         the receipt paper runs out, or nearly\n"
    "  paper ok                          new paper: no paper condition left\n"
    "  offline, online                   the printer reports itself offline, or online again\n"
    "  silent [on|off]                   answer nothing at all, keeping connections open\n"
    "                                    (without on or off: switch)\n"
    "  fail-next-job [C]                 the next job end answer carries C instead of 01 (default 00)\n"
    "  fail-next-begin [C]               the next job begin answer carries C instead of 00 (default 01)\n"
    "  status                            show the printer's state\n"
    "  help                              list these commands\n"
    "  quit, exit                        stop the printer (so does the end of input)\n";

void print_help(std::ostream& out) { out << kConsoleCommands; }

void print_state(emulator::PrinterModel& m, std::ostream& out) {
    using emulator::Condition;
    std::string paper = m.get(Condition::PaperEmpty)                                                   ? "out"
                        : (m.get(Condition::PaperNearEndInner) || m.get(Condition::PaperNearEndOuter)) ? "near end"
                                                                                                       : "ok";
    bool reportedOffline = (m.velmarStatusBlock()[2] & 0x08) != 0;
    out << "state: " << (reportedOffline ? "offline" : "online") << (m.canPrint() ? "" : ", not printing") << ", cover "
        << (m.get(Condition::CoverOpen) ? "open" : "closed") << ", paper " << paper << (m.silent() ? ", silent" : "")
        << "\n"
        << "  model " << m.modelName() << ", ETB counter " << m.etbCounter() << ", printed " << m.printedSize()
        << " bytes, waiting " << m.unprintedSize() << ", connections " << m.connectionCount() << "\n"
        << "  status block " << hex_bytes(m.velmarStatusBlock()) << std::endl;
}

// Applies one command line, saying what it did on `out` and what was wrong on
// `errors`; false when the person asked to quit.
bool run_command(const std::string& line, emulator::PrinterModel& m, std::ostream& out, std::ostream& errors) {
    std::istringstream words(line);
    std::string command, argument;
    words >> command >> argument;
    auto value = [&](unsigned fallback) -> uint8_t {
        return static_cast<uint8_t>(argument.empty() ? fallback : std::stoul(argument, nullptr, 0));
    };
    try {
        if (command.empty()) {
            return true;
        } else if (command == "cover" && (argument == "open" || argument == "close")) {
            m.setCoverOpen(argument == "open");
        } else if (command == "paper" && argument == "out") {
            m.setPaperEmpty(true);
        } else if (command == "paper" && argument == "near-end") {
            m.setPaperNearEndInner(true);
        } else if (command == "paper" && argument == "ok") {
            m.setPaperEmpty(false);
            m.setPaperNearEndInner(false);
            m.setPaperNearEndOuter(false);
        } else if (command == "offline" || command == "online") {
            m.setOffline(command == "offline");
        } else if (command == "silent") {
            m.setSilent(argument.empty() ? !m.silent() : argument == "on");
            out << (m.silent() ? "silent: the printer answers nothing" : "talking again") << std::endl;
            return true;
        } else if (command == "fail-next-job") {
            m.failNextJobEnd(value(0x00));
            out << "the next job end answer reports failure" << std::endl;
            return true;
        } else if (command == "fail-next-begin") {
            m.failNextJobBegin(value(0x01));
            out << "the next job begin answer reports failure" << std::endl;
            return true;
        } else if (command == "status") {
        } else if (command == "help") {
            print_help(out);
            return true;
        } else if (command == "quit" || command == "exit") {
            return false;
        } else {
            errors << "unknown command: " << line << " (type help)" << std::endl;
            return true;
        }
    } catch (const std::exception&) {
        errors << "not a number: " << argument << std::endl;
        return true;
    }
    print_state(m, out);
    return true;
}

int run_emulate(const EmulateSettings& settings) {
    emulator::NetworkPrinter::Options options;
    options.address = settings.address;
    unsigned statusPort = settings.statusPort;
    if (!settings.model.empty())
        options.modelName = settings.model;
    else if (statusPort == 9101)
        options.modelName = "QRX450NET";
    if (statusPort == 0) statusPort = uses_status_port(options.modelName) ? 9101 : 9100;
    if (statusPort == 9100 && uses_status_port(options.modelName))
        std::cerr << "note: for model " << options.modelName
                  << " the library asks port 9101 unless its settings say 9100" << std::endl;
    if (statusPort == 9101 && !uses_status_port(options.modelName))
        std::cerr << "note: for model " << options.modelName
                  << " the library expects status on 9100 unless its settings say 9101" << std::endl;
    options.automaticStatus = statusPort == 9100;
    options.printSpeedBps = settings.printSpeed;
    const bool serial = !settings.serial.empty();
    if (serial && settings.serial.rfind("/dev/tty", 0) != 0)
        std::cerr << "note: the library opens serial printers only by names that begin with /dev/tty" << std::endl;

    std::FILE* file = nullptr;
    if (!settings.output.empty()) {
        file = std::fopen(settings.output.c_str(), "wb");
        if (!file) {
            std::cerr << "cannot write " << settings.output << ": " << std::strerror(errno) << std::endl;
            return 1;
        }
    }

    // Signals arrive through a descriptor, so the printer's thread (which
    // inherits this mask) never sees them and stopping stays orderly.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);

    // The printer's thread writes printed lines while this one answers
    // commands: one lock keeps every console line whole.
    std::mutex consoleLock;
    auto say = [&](const std::string& text, std::ostream& stream = std::cout) {
        if (text.empty()) return;
        std::lock_guard<std::mutex> lock(consoleLock);
        stream << text << std::flush;
    };
    PrintedOutput printed(file, std::cout, consoleLock);
    int exitCode = 0;
    {
        // The printer on the chosen wire; the console needs only its model.
        std::unique_ptr<emulator::NetworkPrinter> network;
        std::unique_ptr<emulator::SerialPrinter> line;
        if (serial)
            line = std::make_unique<emulator::SerialPrinter>(emulator::SerialPrinter::Options{settings.printSpeed});
        else
            network = std::make_unique<emulator::NetworkPrinter>(options);
        emulator::StreamFrontEnd& printer =
            serial ? static_cast<emulator::StreamFrontEnd&>(*line) : static_cast<emulator::StreamFrontEnd&>(*network);
        // Printed data streams out as it is printed; the printer keeps none of it.
        printer.model().setPrintedSink(
            [&printed](const char* data, std::size_t length) { printed.take(data, length); });
        printer.setErrorHandler(
            [&](const std::string& message) { say("quenvar emulate: " + message + "\n", std::cerr); });
        std::unique_ptr<DeviceLink> link;
        try {
            if (serial)
                line->start();
            else
                network->start();
        } catch (const std::exception& error) {
            std::cerr << "quenvar emulate: " << error.what() << std::endl;
            if (signalFd >= 0) close(signalFd);
            if (file) std::fclose(file);
            return 1;
        }
        if (serial) {
            std::string why;
            link = std::make_unique<DeviceLink>(settings.serial, line->devicePath(), &why);
            if (!link->made()) {
                std::cerr << "quenvar emulate: " << why << std::endl;
                line->stop();
                if (signalFd >= 0) close(signalFd);
                if (file) std::fclose(file);
                return kExitUsage;
            }
        }
        {
            const std::string speed =
                settings.printSpeed ? std::to_string(settings.printSpeed) + " bytes/s" : "instant";
            std::ostringstream banner;
            if (serial)
                banner << "listening on " << settings.serial << "\n"
                       << "serial line " << line->devicePath()
                       << " (any line settings; flow n: a pseudo-terminal carries no DSR), print speed " << speed;
            else
                banner << "listening on " << network->address() << "\n"
                       << "model " << options.modelName << ", status "
                       << (options.automaticStatus ? "automatic on 9100" : "on request from 9101") << ", print speed "
                       << speed;
            banner << (settings.noInput ? "" : "; type help for commands") << "\n";
            say(banner.str());
        }

        // The serial printer's line is up from the start: only new hosts are news.
        unsigned connections = printer.model().connectionCount();
        std::string input;
        bool reading = !settings.noInput && !input_is_null_device();
        bool running = true;
        while (running) {
            pollfd fds[2] = {{signalFd, POLLIN, 0}, {reading ? STDIN_FILENO : -1, POLLIN, 0}};
            poll(fds, 2, 100);
            if (fds[0].revents & POLLIN) running = false;
            if (reading && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
                char buffer[512];
                ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
                if (n <= 0) {
                    running = false;
                } else {
                    input.append(buffer, static_cast<std::size_t>(n));
                    std::size_t end;
                    while (running && (end = input.find('\n')) != std::string::npos) {
                        std::ostringstream out, errors;
                        running = run_command(input.substr(0, end), printer.model(), out, errors);
                        say(out.str());
                        say(errors.str(), std::cerr);
                        input.erase(0, end + 1);
                    }
                }
            }

            unsigned nowConnections = printer.model().connectionCount();
            if (nowConnections != connections) {
                connections = nowConnections;
                say("host connected (connection " + std::to_string(connections) + ")\n");
            }
            printed.tick(false);
            // A printer that stopped by itself has said why (the error handler);
            // the run has failed.
            if (!printer.failure().empty()) {
                exitCode = 1;
                running = false;
            }
            if (printed.failed()) {
                say("quenvar emulate: cannot write " + settings.output + "\n", std::cerr);
                exitCode = 1;
                running = false;
            }
        }

        if (serial)
            line->stop();
        else
            network->stop();
        link.reset();
        printed.tick(true);
        say("stopped after printing " + std::to_string(printer.model().printedSize()) + " bytes\n");
    }
    if (signalFd >= 0) close(signalFd);
    if (file && std::fclose(file) != 0 && exitCode == 0) {
        std::cerr << "quenvar emulate: cannot write " << settings.output << std::endl;
        exitCode = 1;
    }
    return exitCode;
}

}  // namespace

void addEmulateCommand(CLI::App& app, int& exitCode) {
    auto settings = std::make_shared<EmulateSettings>();
    CLI::App* command =
        app.add_subcommand("emulate",
                           "Run a virtual printer, on the network or on a serial line, in the foreground until\n"
                           "Ctrl-C, SIGTERM or end of input (input from /dev/null is not read). Prints\n"
                           "'listening on ADDRESS' (or the serial name) once ready.");
    CLI::Option* address =
        command->add_option("--address", settings->address,
                            "IPv4 address to listen on (ports 9100, 9101, UDP 22222); default: a free 127.x.y.z");
    CLI::Option* model =
        command->add_option("--model", settings->model,
                            "model name in the discovery reply (NXCB-KW11/12 and QRX450NET make the library use 9101)");
    CLI::Option* statusPort = command
                                  ->add_option("--status-port", settings->statusPort,
                                               "9100: automatic status on the data connection; 9101: status only "
                                               "on request (default model then QRX450NET)")
                                  ->check(CLI::IsMember({9100u, 9101u}));
    command
        ->add_option("--serial", settings->serial,
                     "be a serial printer instead: a pseudo-terminal under this name, e.g. /dev/ttyQV0 (a link in "
                     "/dev needs root; removed when the printer stops). Open it with flow n, e.g. 9600,n,8,1,n")
        ->excludes(address, model, statusPort);
    command->add_option("--print-speed", settings->printSpeed, "bytes printed per second (default: instant)");
    command->add_option("--output", settings->output,
                        "write the printed data to this file as it is printed (default: show it line by line)");
    command->add_flag("--no-input", settings->noInput, "do not read commands; run until a signal");
    command->footer(kConsoleCommands);
    command->callback([settings, &exitCode] { exitCode = run_emulate(*settings); });
}

}  // namespace tools
