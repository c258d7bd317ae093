// quenvar emulate: runs the virtual network printer in the foreground, shows or
// saves what it prints, and lets a person change its state from the terminal.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "Commands.h"
#include "emulator/NetworkPrinter.h"

namespace tools {

namespace {

struct EmulateSettings {
    std::string address;
    std::string model;
    unsigned statusPort = 0;  // 0: follow the model name
    unsigned printSpeed = 0;
    std::string output;
    bool noInput = false;
};

// Models whose status the library fetches from port 9101 instead of the data connection.
bool uses_status_port(const std::string& model) { return model == "NXCB-KW11/12" || model == "QRX450NET"; }

std::string readable(const std::string& data, std::size_t limit) {
    std::string out;
    for (std::size_t i = 0; i < data.size() && i < limit; ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    if (data.size() > limit) out += "...";
    return out;
}

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

void print_help() { std::cout << kConsoleCommands; }

void print_state(emulator::NetworkPrinter& printer) {
    using emulator::Condition;
    emulator::PrinterModel& m = printer.model();
    std::string paper = m.get(Condition::PaperEmpty)                                                   ? "out"
                        : (m.get(Condition::PaperNearEndInner) || m.get(Condition::PaperNearEndOuter)) ? "near end"
                                                                                                       : "ok";
    bool reportedOffline = (m.velmarStatusBlock()[2] & 0x08) != 0;
    std::cout << "state: " << (reportedOffline ? "offline" : "online") << (m.canPrint() ? "" : ", not printing")
              << ", cover " << (m.get(Condition::CoverOpen) ? "open" : "closed") << ", paper " << paper
              << (m.silent() ? ", silent" : "") << "\n"
              << "  model " << m.modelName() << ", ETB counter " << m.etbCounter() << ", printed " << m.printedSize()
              << " bytes, waiting " << m.unprintedSize() << ", connections " << m.connectionCount() << "\n"
              << "  status block " << hex_bytes(m.velmarStatusBlock()) << std::endl;
}

// Applies one command line; false when the person asked to quit.
bool run_command(const std::string& line, emulator::NetworkPrinter& printer) {
    std::istringstream words(line);
    std::string command, argument;
    words >> command >> argument;
    emulator::PrinterModel& m = printer.model();
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
            std::cout << (m.silent() ? "silent: the printer answers nothing" : "talking again") << std::endl;
            return true;
        } else if (command == "fail-next-job") {
            m.failNextJobEnd(value(0x00));
            std::cout << "the next job end answer reports failure" << std::endl;
            return true;
        } else if (command == "fail-next-begin") {
            m.failNextJobBegin(value(0x01));
            std::cout << "the next job begin answer reports failure" << std::endl;
            return true;
        } else if (command == "status") {
        } else if (command == "help") {
            print_help();
            return true;
        } else if (command == "quit" || command == "exit") {
            return false;
        } else {
            std::cerr << "unknown command: " << line << " (type help)" << std::endl;
            return true;
        }
    } catch (const std::exception&) {
        std::cerr << "not a number: " << argument << std::endl;
        return true;
    }
    print_state(printer);
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

    std::unique_ptr<std::ofstream> output;
    if (!settings.output.empty()) {
        output = std::make_unique<std::ofstream>(settings.output, std::ios::binary | std::ios::trunc);
        if (!*output) {
            std::cerr << "cannot write " << settings.output << std::endl;
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

    emulator::NetworkPrinter printer(options);
    try {
        printer.start();
    } catch (const std::exception& error) {
        std::cerr << "quenvar emulate: " << error.what() << std::endl;
        if (signalFd >= 0) close(signalFd);
        return 1;
    }
    std::cout << "listening on " << printer.address() << std::endl;
    std::cout << "model " << options.modelName << ", status "
              << (options.automaticStatus ? "automatic on 9100" : "on request from 9101") << ", print speed "
              << (options.printSpeedBps ? std::to_string(options.printSpeedBps) + " bytes/s" : "instant")
              << (settings.noInput ? "" : "; type help for commands") << std::endl;

    std::size_t shown = 0;
    unsigned connections = 0;
    std::string input;
    std::string line;  // printed text not yet shown on the terminal
    auto lineStarted = std::chrono::steady_clock::now();
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
                    running = run_command(input.substr(0, end), printer);
                    input.erase(0, end + 1);
                }
            }
        }

        unsigned nowConnections = printer.model().connectionCount();
        if (nowConnections != connections) {
            connections = nowConnections;
            std::cout << "host connected (connection " << connections << ")" << std::endl;
        }
        std::string fresh = printer.model().printedSince(shown);
        shown += fresh.size();
        if (output) {
            if (!fresh.empty()) {
                output->write(fresh.data(), static_cast<std::streamsize>(fresh.size()));
                output->flush();
            }
            continue;
        }
        // On the terminal the receipt appears line by line; a line that stays
        // unfinished for a moment is shown as it is.
        auto now = std::chrono::steady_clock::now();
        if (!fresh.empty()) {
            if (line.empty()) lineStarted = now;
            line += fresh;
        }
        std::size_t end;
        while ((end = line.find('\n')) != std::string::npos) {
            std::cout << "printed: " << readable(line.substr(0, end), 200) << std::endl;
            line.erase(0, end + 1);
            lineStarted = now;
        }
        if (!line.empty() && (now - lineStarted > std::chrono::milliseconds(500) || !running)) {
            std::cout << "printed: " << readable(line, 200) << std::endl;
            line.clear();
        }
    }

    printer.stop();
    if (signalFd >= 0) close(signalFd);
    std::cout << "stopped after printing " << printer.model().printedSize() << " bytes" << std::endl;
    return 0;
}

}  // namespace

void addEmulateCommand(CLI::App& app, int& exitCode) {
    auto settings = std::make_shared<EmulateSettings>();
    CLI::App* command =
        app.add_subcommand("emulate",
                           "Run a virtual network printer in the foreground until Ctrl-C, SIGTERM or end of input\n"
                           "(input from /dev/null is not read). Prints 'listening on ADDRESS' once ready.");
    command->add_option("--address", settings->address,
                        "IPv4 address to listen on (ports 9100, 9101, UDP 22222); default: a free 127.x.y.z");
    command->add_option("--model", settings->model,
                        "model name in the discovery reply (NXCB-KW11/12 and QRX450NET make the library use 9101)");
    command
        ->add_option("--status-port", settings->statusPort,
                     "9100: automatic status on the data connection; 9101: status only on request "
                     "(default model then QRX450NET)")
        ->check(CLI::IsMember({9100u, 9101u}));
    command->add_option("--print-speed", settings->printSpeed, "bytes printed per second (default: instant)");
    command->add_option("--output", settings->output, "write the printed data to this file");
    command->add_flag("--no-input", settings->noInput, "do not read commands; run until a signal");
    command->footer(kConsoleCommands);
    command->callback([settings, &exitCode] { exitCode = run_emulate(*settings); });
}

}  // namespace tools
