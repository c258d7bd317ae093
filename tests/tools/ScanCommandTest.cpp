// quenvar scan against networks of virtual printers on loopback addresses.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "emulator/NetworkPrinter.h"
#include "emulator/StatusEncoding.h"

namespace {

constexpr uint16_t kDiscoveryPort = 22222;

struct ScanRun {
    int exitCode = -1;
    std::string out;
    std::string err;
    std::chrono::milliseconds took{};
};

ScanRun scan(const std::string& args) {
    char pattern[] = "/tmp/quenvar-scan-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return {};
    const std::string dir = pattern;
    const auto start = std::chrono::steady_clock::now();
    const int status = std::system(
        (std::string(QUENVAR_TOOL_PATH) + " scan " + args + " </dev/null >" + dir + "/out 2>" + dir + "/err").c_str());
    ScanRun run;
    run.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    for (auto [name, text] : {std::pair{"/out", &run.out}, std::pair{"/err", &run.err}}) {
        std::ifstream in(dir + name);
        std::ostringstream s;
        s << in.rdbuf();
        *text = s.str();
    }
    std::system(("rm -rf " + dir).c_str());
    return run;
}

// A /24 of loopback addresses held for one test: a UDP socket on the discovery
// port of every host address keeps the printers of tests running alongside
// off it, and makes each address a host that hears the request and stays
// silent. A printer takes its address over with release().
class LoopbackRange {
public:
    LoopbackRange() {
        std::mt19937 random(std::random_device{}());
        for (int attempt = 0; attempt < 100 && prefix_.empty(); ++attempt) {
            // 127.0.0.x is left to the Java tests' printers.
            const std::string candidate =
                "127." + std::to_string(1 + random() % 254) + "." + std::to_string(random() % 256) + ".";
            if (holdAll(candidate)) prefix_ = candidate;
        }
    }
    ~LoopbackRange() { closeAll(); }

    bool held() const { return !prefix_.empty(); }
    std::string at(int host) const { return prefix_ + std::to_string(host); }
    int socketAt(int host) const { return sockets_[static_cast<std::size_t>(host)]; }
    void release(int host) {
        close(sockets_[static_cast<std::size_t>(host)]);
        sockets_[static_cast<std::size_t>(host)] = -1;
    }

private:
    bool holdAll(const std::string& prefix) {
        sockets_.assign(256, -1);
        for (int host = 1; host <= 254; ++host) {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(kDiscoveryPort);
            inet_pton(AF_INET, (prefix + std::to_string(host)).c_str(), &a.sin_addr);
            const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockets_[static_cast<std::size_t>(host)] = fd;
            if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                closeAll();
                return false;
            }
        }
        return true;
    }
    void closeAll() {
        for (int& fd : sockets_)
            if (fd >= 0) close(fd), fd = -1;
    }

    std::string prefix_;
    std::vector<int> sockets_;
};

class ScanTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(range_.held()) << "no free loopback /24"; }

    emulator::NetworkPrinter& printerAt(int host, const std::string& model, bool automaticStatus = true) {
        range_.release(host);
        emulator::NetworkPrinter::Options options;
        options.address = range_.at(host);
        options.modelName = model;
        options.automaticStatus = automaticStatus;
        printers_.push_back(std::make_unique<emulator::NetworkPrinter>(options));
        printers_.back()->start();
        return *printers_.back();
    }

    LoopbackRange range_;
    std::vector<std::unique_ptr<emulator::NetworkPrinter>> printers_;
};

TEST_F(ScanTest, ListsEachPrinterOfANetworkWithItsStatusModeAndStatus) {
    printerAt(2, "QV-VIRTUAL");
    printerAt(9, "NXCB-KW11/12", false).model().setCoverOpen(true);
    printerAt(4, "QV-VIRTUAL").setAnswerDiscovery(false);  // open for print data, silent to discovery
    const std::string network = range_.at(0) + "/28";

    ScanRun json = scan(network + " --json --timeout 1000");
    ASSERT_EQ(json.exitCode, 0) << json.err;
    const nlohmann::json j = nlohmann::json::parse(json.out);
    EXPECT_EQ(j["addresses"], 14);
    EXPECT_EQ(j["notAsked"], 0);
    ASSERT_EQ(j["printers"].size(), 2u) << json.out;
    const struct {
        int host;
        const char* model;
        int statusPort;
    } expected[] = {{2, "QV-VIRTUAL", 9100}, {9, "NXCB-KW11/12", 9101}};
    for (std::size_t i = 0; i < 2; ++i) {
        const nlohmann::json& p = j["printers"][i];
        EXPECT_EQ(p["address"], range_.at(expected[i].host));
        EXPECT_EQ(p["model"], expected[i].model);
        EXPECT_EQ(p["statusPort"], expected[i].statusPort);
        EXPECT_EQ(p["port"], "tcp:" + range_.at(expected[i].host));
        EXPECT_FALSE(p.contains("status"));
    }

    // The port names open, and each selects its own printer.
    ScanRun status = scan(network + " --json --status --timeout 1000");
    ASSERT_EQ(status.exitCode, 0) << status.err;
    const nlohmann::json s = nlohmann::json::parse(status.out);
    ASSERT_EQ(s["printers"].size(), 2u) << status.out;
    EXPECT_EQ(s["printers"][0]["status"]["coverOpen"], false);
    EXPECT_EQ(s["printers"][1]["status"]["coverOpen"], true);
    EXPECT_EQ(s["printers"][1]["status"]["online"], false);

    ScanRun text = scan(network + " --status --timeout 1000");
    EXPECT_EQ(text.exitCode, 0) << text.err;
    EXPECT_NE(text.out.find("9101 (asked on 9101)"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("    conditions:  cover open"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("2 printers answered at 14 addresses"), std::string::npos) << text.out;

    // A printer found that then fails to open is reported, not passed over.
    printers_[0]->setRefuseConnections(true);
    ScanRun refused = scan(range_.at(2) + " --status --timeout 500");
    EXPECT_EQ(refused.exitCode, 3) << refused.out;
    EXPECT_NE(refused.out.find("the port could not be opened"), std::string::npos) << refused.out;
}

TEST_F(ScanTest, ASlash24WithThreePrintersIsScannedWithinItsTimeLimit) {
    for (int host : {1, 77, 254})
        printerAt(host, "QV-VIRTUAL");
    ScanRun run = scan(range_.at(0) + "/24 --json");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const nlohmann::json j = nlohmann::json::parse(run.out);
    EXPECT_EQ(j["addresses"], 254);
    EXPECT_EQ(j["notAsked"], 0);
    ASSERT_EQ(j["printers"].size(), 3u) << run.out;
    EXPECT_EQ(j["printers"][0]["address"], range_.at(1));
    EXPECT_EQ(j["printers"][1]["address"], range_.at(77));
    EXPECT_EQ(j["printers"][2]["address"], range_.at(254));
    EXPECT_LT(run.took, std::chrono::milliseconds(2000 + 3000));  // the default 2 s, and room for a busy machine
}

// Hosts that answer oddly: .5 with a short reply, twice; .6 through another
// address; .7 with a model name that is not plain text.
TEST_F(ScanTest, ShortRepeatedAndMisaddressedRepliesAreHandled) {
    std::atomic<bool> stop{false};
    std::thread responder([&] {
        const std::string shortReply = "QVL_BCAST short";
        const std::string named = emulator::EncodeDiscoveryReply(std::string("Q\x01\xFF\\", 4));
        const std::string elsewhere = emulator::EncodeDiscoveryReply("QV-ELSEWHERE");
        pollfd fds[] = {
            {range_.socketAt(5), POLLIN, 0}, {range_.socketAt(6), POLLIN, 0}, {range_.socketAt(7), POLLIN, 0}};
        while (!stop) {
            if (poll(fds, 3, 50) <= 0) continue;
            for (int i = 0; i < 3; ++i) {
                if (!(fds[i].revents & POLLIN)) continue;
                char request[64];
                sockaddr_in from{};
                socklen_t length = sizeof from;
                if (recvfrom(fds[i].fd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&from), &length) < 0)
                    continue;
                auto reply = [&](int fd, const std::string& bytes) {
                    sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
                };
                if (i == 0) reply(fds[0].fd, shortReply), reply(fds[0].fd, shortReply);
                if (i == 1) reply(range_.socketAt(250), elsewhere);
                if (i == 2) reply(fds[2].fd, named);
            }
        }
    });
    ScanRun json = scan(range_.at(1) + "-" + range_.at(14) + " --json --timeout 800");
    ScanRun text = scan(range_.at(1) + "-14 --timeout 800");
    stop = true;
    responder.join();

    ASSERT_EQ(json.exitCode, 0) << json.err;
    const nlohmann::json j = nlohmann::json::parse(json.out);
    ASSERT_EQ(j["printers"].size(), 2u) << json.out;
    EXPECT_EQ(j["printers"][0]["address"], range_.at(5));
    EXPECT_TRUE(j["printers"][0]["model"].is_null());
    EXPECT_EQ(j["printers"][0]["replyLength"], 15);
    EXPECT_EQ(j["printers"][0]["statusPort"], 9100);  // what the library makes of a reply without a name
    EXPECT_EQ(j["printers"][1]["address"], range_.at(7));
    EXPECT_EQ(j["printers"][1]["model"], "Q\\x01\\xFF\\\\");
    EXPECT_GE(j["ignoredReplies"], 2);  // the repeat from .5 and at least one from .250

    EXPECT_EQ(text.exitCode, 0) << text.err;
    EXPECT_NE(text.out.find("(no model name in a 15-byte reply)"), std::string::npos) << text.out;
    EXPECT_EQ(text.out.find(range_.at(250)), std::string::npos) << text.out;
}

TEST_F(ScanTest, TargetsNameTheAddressesAskedAndBadOnesAreUsageErrors) {
    const std::string a = range_.at(0);
    const struct {
        std::string args;
        int exitCode;
        int addresses;  // asked, for a scan that runs
        const char* says;
    } cases[] = {
        {range_.at(3) + " --timeout 100", 0, 1, "no printer answered at 1 address within 100 ms"},
        {range_.at(10) + "-12 " + range_.at(12) + " --timeout 100", 0, 3, nullptr},
        {a + "/31 --timeout 100", 0, 2, nullptr},
        {range_.at(9) + "/30 --timeout 100", 0, 2, nullptr},  // host bits ignored; ends left out
        {"192.0.2.0/33", 2, 0, "not a network"},
        {"10.0.0.0/15", 2, 0, "more than 65536"},
        {"10.0.0.0-10.1.0.0", 2, 0, "more than 65536"},
        {"192.0.2.300", 2, 0, "not an IPv4 address"},
        {"192.0.2.010", 2, 0, "not an IPv4 address"},
        {"printer.example", 2, 0, "not an IPv4 address"},
        {"192.0.2.40-192.0.2.10", 2, 0, "ends before it begins"},
        {"192.0.2.10-256", 2, 0, "above 255"},
        {"224.0.0.1", 2, 0, "not a single host"},
        {"192.0.2.1 --timeout 0", 2, 0, "--timeout"},
        {"192.0.2.1 --parallel 0", 2, 0, "--parallel"},
        {"", 2, 0, "TARGET"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        ScanRun run = scan(c.args + (c.exitCode == 0 && !c.says ? " --json" : ""));
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
        if (c.says) {
            EXPECT_NE((run.out + run.err).find(c.says), std::string::npos) << run.out << run.err;
        } else if (c.exitCode == 0) {
            EXPECT_EQ(nlohmann::json::parse(run.out)["addresses"], c.addresses);
        }
    }
}

}  // namespace
