// Where `quenvar emulate` puts what the virtual printer prints, as it prints
// it: the bytes as they are to a file, or the receipt line by line on the
// console. Nothing is kept beyond the line being shown, so a long run stays
// small. take() runs on the printer's thread; the console lock keeps its lines
// whole next to the command's own.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <mutex>
#include <ostream>
#include <string>

namespace tools {

class PrintedOutput {
public:
    // file: the open file to write to, or nullptr for the console `console`.
    PrintedOutput(std::FILE* file, std::ostream& console, std::mutex& consoleLock);

    void take(const char* data, std::size_t length);  // printed bytes, in print order
    // Shows a console line left unfinished for a moment (or at once when `final`).
    void tick(bool final);
    bool failed() const;  // a write to the file failed

private:
    void showLine();

    std::FILE* file_;
    std::ostream& console_;
    std::mutex& consoleLock_;
    mutable std::mutex mutex_;
    bool failed_ = false;
    std::string line_;           // the start of the line being printed, as much as is shown
    std::size_t lineBytes_ = 0;  // bytes of that line so far
    std::chrono::steady_clock::time_point lineStarted_{};
};

// Print data made readable on one line: escapes for control bytes, at most
// `limit` bytes, "..." when there were more (`total`, when larger than data).
std::string ReadablePrintData(const std::string& data, std::size_t limit, std::size_t total = 0);

}  // namespace tools
