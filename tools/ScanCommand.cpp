// quenvar scan: which addresses of a network have a printer, what model it
// says it is, how the library will get its status, and the port name to open.
#include <algorithm>
#include <atomic>
#include <iostream>
#include <memory>
#include <sstream>
#include <thread>

#include "Commands.h"
#include "DiscoverySweep.h"
#include "ExitCodes.h"
#include "PortOptions.h"
#include "ScanTargets.h"
#include "StatusText.h"
#include "core/NetworkDiscovery.h"
#include "quenvar.h"

namespace tools {

namespace {

// Below this a printer on a busy network may answer too late; the user is told.
constexpr unsigned kShortWaitUs = 20000;
// Printers whose status is taken at the same time.
constexpr std::size_t kStatusWorkers = 8;

struct ScanSettings {
    std::vector<std::string> targets;
    unsigned timeoutMs = 2000;
    unsigned parallel = 64;
    bool status = false;
    bool json = false;
};

struct FoundPrinter {
    std::string address;
    bool named = false;  // the reply carried a NUL-terminated model name
    std::string model;   // printable: other bytes as \xNN, backslash as \\ .
    std::size_t replyLength = 0;
    uint16_t statusPort = 0;
    std::string portName;
    // With --status:
    int statusResult = kExitSuccess;  // kExitNotOpened or kExitIoFailure when it failed
    VelmarPrinterStatus_2 status{};
    bool onlineKnown = false;
    unsigned int online = 0;
};

// The name as text a terminal and JSON take as it is: a printer's reply is
// not to be trusted to hold only printable characters.
std::string printable(std::string_view bytes) {
    std::string out;
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b == '\\') {
            out += "\\\\";
        } else if (b >= 0x20 && b < 0x7F) {
            out += c;
        } else {
            static const char hex[] = "0123456789ABCDEF";
            out += "\\x";
            out += hex[b >> 4];
            out += hex[b & 0xF];
        }
    }
    return out;
}

FoundPrinter describe_answer(const DiscoveryAnswer& answer) {
    FoundPrinter p;
    p.address = dottedAddress(answer.address);
    const auto length = static_cast<unsigned int>(answer.reply.size());
    std::string_view name;
    p.named = quenvar::DiscoveryModelName(answer.reply.data(), length, &name);
    if (p.named) p.model = printable(name);
    p.replyLength = answer.reply.size();
    p.statusPort = quenvar::StatusPortForReply(answer.reply.data(), length);
    p.portName = "tcp:" + p.address;
    return p;
}

// Opens each printer as an application would (its port name, no settings) and
// takes its status, a few printers at a time.
void take_statuses(std::vector<FoundPrinter>& printers, unsigned timeoutMs) {
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t i = next++; i < printers.size(); i = next++) {
            FoundPrinter& p = printers[i];
            OpenedPort port(PortOptions{p.portName, "", timeoutMs});
            if (!port.isOpen()) {
                p.statusResult = kExitNotOpened;
                continue;
            }
            if (!GetParsedStatusEx(port.handle(), &p.status, 2)) {
                p.statusResult = kExitIoFailure;
                continue;
            }
            p.onlineKnown = GetOnlineStatus(port.handle(), &p.online) != 0;
        }
    };
    std::vector<std::thread> workers;
    for (std::size_t w = 0; w < std::min(kStatusWorkers, printers.size()); ++w)
        workers.emplace_back(work);
    for (std::thread& t : workers)
        t.join();
}

const char* status_failure(const FoundPrinter& p) {
    return p.statusResult == kExitNotOpened ? "the port could not be opened" : "the status could not be read";
}

std::string mode_words(uint16_t statusPort) {
    return statusPort == quenvar::StatusRequestPort ? "9101 (asked on 9101)" : "9100 (on the data connection)";
}

void print_json(const std::vector<FoundPrinter>& printers, std::size_t asked, const SweepResult& sweep,
                const ScanSettings& settings) {
    nlohmann::json list = nlohmann::json::array();
    for (const FoundPrinter& p : printers) {
        nlohmann::json j;
        j["address"] = p.address;
        j["model"] = p.named ? nlohmann::json(p.model) : nlohmann::json(nullptr);
        j["replyLength"] = p.replyLength;
        j["statusPort"] = p.statusPort;
        j["port"] = p.portName;
        if (settings.status) {
            if (p.statusResult != kExitSuccess) {
                j["statusError"] = status_failure(p);
            } else {
                j["status"] = statusJson(p.status);
                j["status"]["online"] = p.onlineKnown ? nlohmann::json(p.online != 0) : nlohmann::json(nullptr);
            }
        }
        list.push_back(j);
    }
    nlohmann::json out;
    out["printers"] = list;
    out["addresses"] = asked;
    out["notAsked"] = sweep.notAsked;
    out["ignoredReplies"] = sweep.ignoredReplies;
    out["timeoutMs"] = settings.timeoutMs;
    std::cout << out.dump(2) << "\n";
}

void print_text(const std::vector<FoundPrinter>& printers, std::size_t asked, const ScanSettings& settings) {
    std::vector<std::string> models;
    std::size_t addressWidth = 7, modelWidth = 5;
    for (const FoundPrinter& p : printers) {
        models.push_back(p.named ? p.model : "(no model name in a " + std::to_string(p.replyLength) + "-byte reply)");
        addressWidth = std::max(addressWidth, p.address.size());
        modelWidth = std::max(modelWidth, models.back().size());
    }
    auto padded = [](const std::string& text, std::size_t width) {
        return text + std::string(width - std::min(width, text.size()) + 2, ' ');
    };
    if (!printers.empty())
        std::cout << padded("address", addressWidth) << padded("model", modelWidth) << padded("status", 29) << "port\n";
    for (std::size_t i = 0; i < printers.size(); ++i) {
        const FoundPrinter& p = printers[i];
        std::cout << padded(p.address, addressWidth) << padded(models[i], modelWidth)
                  << padded(mode_words(p.statusPort), 29) << p.portName << "\n";
        if (!settings.status) continue;
        if (p.statusResult != kExitSuccess) {
            std::cout << "    " << status_failure(p) << " within " << settings.timeoutMs << " ms\n";
            continue;
        }
        std::istringstream lines(
            "online:      " + std::string(p.onlineKnown ? (p.online ? "yes" : "no") : "unknown (query failed)") + "\n" +
            describeStatus(p.status));
        for (std::string line; std::getline(lines, line);)
            std::cout << "    " << line << "\n";
    }
    if (printers.empty())
        std::cout << "no printer answered at " << asked << (asked == 1 ? " address" : " addresses") << " within "
                  << settings.timeoutMs << " ms\n";
    else
        std::cout << printers.size() << (printers.size() == 1 ? " printer" : " printers") << " answered at " << asked
                  << (asked == 1 ? " address" : " addresses") << "\n";
}

int run_scan(const ScanSettings& settings) {
    std::vector<uint32_t> addresses;
    const std::string why = parseScanTargets(settings.targets, &addresses);
    if (!why.empty()) {
        std::cerr << "quenvar: " << why << "\nRun with --help for more information.\n";
        return kExitUsage;
    }
    const SweepPlan plan = planSweep(addresses.size(), settings.parallel, settings.timeoutMs);
    if (plan.attemptWaitUs < kShortWaitUs)
        std::cerr << "quenvar: " << addresses.size() << " addresses in " << settings.timeoutMs << " ms, "
                  << settings.parallel << " at a time, leave " << plan.attemptWaitUs / 1000.0
                  << " ms for each answer; raise --timeout or --parallel if printers are missed\n";

    SweepResult sweep;
    try {
        sweep = runDiscoverySweep(addresses, settings.parallel, settings.timeoutMs);
    } catch (const std::exception& e) {
        std::cerr << "quenvar: " << e.what() << "\n";
        return kExitIoFailure;
    }
    if (sweep.notAsked != 0)
        std::cerr << "quenvar: the time limit ended before " << sweep.notAsked
                  << " addresses were asked; raise --timeout or --parallel\n";

    std::vector<FoundPrinter> printers;
    for (const DiscoveryAnswer& answer : sweep.answers)
        printers.push_back(describe_answer(answer));
    if (settings.status) take_statuses(printers, settings.timeoutMs);

    if (settings.json)
        print_json(printers, addresses.size(), sweep, settings);
    else
        print_text(printers, addresses.size(), settings);

    int result = kExitSuccess;
    for (const FoundPrinter& p : printers)
        if (p.statusResult == kExitNotOpened || (p.statusResult == kExitIoFailure && result == kExitSuccess))
            result = p.statusResult;
    return result;
}

}  // namespace

void addScanCommand(CLI::App& app, int& exitCode) {
    auto settings = std::make_shared<ScanSettings>();
    CLI::App* command = app.add_subcommand(
        "scan", "Find the network printers of an address range: model name, status mode (9100/9101), port name");
    command
        ->add_option("TARGET", settings->targets,
                     "addresses to ask: 192.0.2.7, 192.0.2.0/24 (network and broadcast address left out; /16 at "
                     "most), 192.0.2.10-192.0.2.40 or 192.0.2.10-40; several allowed, 65536 addresses at most")
        ->required();
    command
        ->add_option("--timeout,-t", settings->timeoutMs,
                     "time limit in milliseconds for the whole scan (with --status also for each printer's "
                     "exchanges)")
        ->check(CLI::Range(1u, 600000u))
        ->capture_default_str();
    command
        ->add_option("--parallel,-p", settings->parallel,
                     "addresses asked at once; each is asked up to 5 times while the time limit allows")
        ->check(CLI::Range(1u, 4096u))
        ->capture_default_str();
    command->add_flag("--status", settings->status, "also open each printer found and show its decoded status");
    command->add_flag("--json", settings->json, "print one JSON object instead");
    command->callback([settings, &exitCode] { exitCode = run_scan(*settings); });
}

}  // namespace tools
