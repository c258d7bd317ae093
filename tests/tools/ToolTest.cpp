// The quenvar command run as a user runs it, against the virtual printer.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "emulator/NetworkPrinter.h"

namespace {

struct ToolRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/quenvar-tool-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        printer_.start();
    }
    void TearDown() override {
        printer_.stop();
        std::system(("rm -rf " + dir_).c_str());
    }

    // Runs `quenvar ARGS` with standard input from `input`, with `environment`
    // (NAME=value words) added to its environment.
    ToolRun quenvar(const std::string& args, const std::string& input = "", const std::string& environment = "") {
        std::ofstream(dir_ + "/in", std::ios::binary) << input;
        const std::string command = environment + " " + std::string(QUENVAR_TOOL_PATH) + " " + args + " <" + dir_ +
                                    "/in >" + dir_ + "/out 2>" + dir_ + "/err";
        const int status = std::system(command.c_str());
        ToolRun run;
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.out = slurp(dir_ + "/out");
        run.err = slurp(dir_ + "/err");
        return run;
    }

    std::string port() const { return printer_.portName(); }
    std::string file(const std::string& name, const std::string& content) {
        std::ofstream(dir_ + "/" + name, std::ios::binary) << content;
        return dir_ + "/" + name;
    }

    emulator::NetworkPrinter printer_;
    std::string dir_;
};

TEST_F(ToolTest, StatusInWordsAndAsJson) {
    printer_.model().setCoverOpen(true);
    printer_.model().setPaperNearEndInner(true);
    ToolRun text = quenvar("status " + port());
    EXPECT_EQ(text.exitCode, 0) << text.err;
    EXPECT_NE(text.out.find("online:      no"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("cover open"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("paper near end (inner sensor)"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("raw status:  23 "), std::string::npos) << text.out;

    ToolRun json = quenvar("status " + port() + " --json");
    ASSERT_EQ(json.exitCode, 0) << json.err;
    const nlohmann::json j = nlohmann::json::parse(json.out);
    EXPECT_EQ(j["coverOpen"], true);
    EXPECT_EQ(j["receiptPaperEmpty"], false);
    EXPECT_EQ(j["online"], false);
    EXPECT_EQ(j["etbAvailable"], true);
    EXPECT_EQ(j["port"], port());
}

TEST_F(ToolTest, ConfirmedPrintDeliversEveryByteOnce) {
    std::string job(300 * 1024, '\0');
    std::mt19937 random(7);
    for (char& c : job)
        c = static_cast<char>('A' + random() % 26);  // no command bytes inside
    ToolRun run = quenvar("print " + port() + " " + file("job.bin", job));
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("job confirmed"), std::string::npos) << run.out;
    EXPECT_EQ(run.err, "");  // no progress bar when output is no terminal
    EXPECT_TRUE(printer_.model().printedData() == job);

    // Standard input works the same way.
    ToolRun piped = quenvar("print " + port() + " -", "tail\n");
    EXPECT_EQ(piped.exitCode, 0) << piped.err;
    EXPECT_TRUE(printer_.model().printedData() == job + "tail\n");
}

TEST_F(ToolTest, PrintSendsAPipeWhileItIsStillBeingWritten) {
    // A job from a pipe starts printing before its input ends.
    const std::string command = std::string(QUENVAR_TOOL_PATH) + " print " + port() + " - >" + dir_ + "/out 2>&1";
    FILE* pipe = popen(command.c_str(), "w");
    ASSERT_NE(pipe, nullptr);
    const std::string first = "first half of a receipt\n";
    ASSERT_EQ(fwrite(first.data(), 1, first.size(), pipe), first.size());
    fflush(pipe);
    const std::size_t commandBytes = 2 * 6;  // status preamble and job begin go first
    EXPECT_TRUE(printer_.model().waitReceived(commandBytes + first.size(), std::chrono::seconds(10)));
    EXPECT_NE(printer_.model().printedData().find(first), std::string::npos);
    fputs("second half\n", pipe);
    const int status = pclose(pipe);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0) << slurp(dir_ + "/out");
    EXPECT_TRUE(printer_.model().printedData() == first + "second half\n");
}

TEST_F(ToolTest, APortThatTakesNothingIsAskedAgainUntilItsTimeLimit) {
    // The interposer makes the data connection take no bytes at all, as a
    // printer that holds its buffer full would.
    const std::string job = file("job.bin", "receipt\n");
    const auto start = std::chrono::steady_clock::now();
    ToolRun stuck = quenvar("print " + port() + " " + job + " --no-check --settings 9100 --timeout 400", "",
                            "QUENVAR_TEST_SEND_TAKES=0 LD_PRELOAD=" QUENVAR_PRELOAD_PATH
                            " ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0\"");
    const auto taken = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(stuck.exitCode, 6) << stuck.err;
    EXPECT_NE(stuck.err.find("sending failed after 0 bytes"), std::string::npos) << stuck.err;
    EXPECT_GE(taken, std::chrono::milliseconds(400));  // not given up at the first empty transfer
    EXPECT_LT(taken, std::chrono::seconds(10));
}

TEST_F(ToolTest, EachFailureHasItsExitCodeAndWords) {
    const std::string receipt = file("r.bin", "hello\n");

    printer_.model().setPaperEmpty(true);
    ToolRun paperOut = quenvar("print " + port() + " " + receipt);
    EXPECT_EQ(paperOut.exitCode, 4);
    EXPECT_NE(paperOut.err.find("paper out"), std::string::npos) << paperOut.err;
    printer_.model().setPaperEmpty(false);

    printer_.model().failNextJobBegin(0x02);
    ToolRun refused = quenvar("print " + port() + " " + receipt);
    EXPECT_EQ(refused.exitCode, 5);
    EXPECT_NE(refused.err.find("error"), std::string::npos) << refused.err;

    printer_.model().setAnswerCompletionCommands(false);
    const auto start = std::chrono::steady_clock::now();
    ToolRun silent = quenvar("print " + port() + " --timeout 100 " + receipt);
    EXPECT_EQ(silent.exitCode, 4);
    EXPECT_NE(silent.err.find("no answer from the printer within 1000 ms"), std::string::npos) << silent.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));  // does not hang

    EXPECT_EQ(quenvar("print").exitCode, 2);
    EXPECT_EQ(quenvar("status " + port() + " --timeout nope").exitCode, 2);
    EXPECT_EQ(quenvar("print " + port() + " " + dir_ + "/missing.bin").exitCode, 2);
    EXPECT_EQ(quenvar("reset " + port()).exitCode, 6);
    printer_.stop();
    ToolRun closed = quenvar("status " + port() + " --timeout 200");
    EXPECT_EQ(closed.exitCode, 3);
    EXPECT_NE(closed.err.find("could not open"), std::string::npos);
}

TEST_F(ToolTest, ReadShowsWhatThePrinterSends) {
    // The printer speaks once the reader has connected.
    const std::size_t connectionsBefore = printer_.model().connectionCount();
    ToolRun readRun;
    std::thread reader([&] { readRun = quenvar("read " + port() + " --max 13 --timeout 2000"); });
    const bool connected = printer_.model().waitConnections(connectionsBefore + 1, std::chrono::seconds(5));
    if (connected) printer_.model().sendRaw("hello printer");
    reader.join();
    ASSERT_TRUE(connected);
    EXPECT_EQ(readRun.exitCode, 0) << readRun.err;
    EXPECT_NE(readRun.out.find("68 65 6c 6c 6f 20 70 72"), std::string::npos) << readRun.out;
    EXPECT_NE(readRun.out.find("|hello printer|"), std::string::npos) << readRun.out;
}

TEST(ToolDemo, PassesOnTheBuiltInVirtualPrinter) {
    const int status = std::system((std::string(QUENVAR_TOOL_PATH) + " demo >/dev/null 2>&1").c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
