#include "PrintedOutput.h"

namespace tools {

namespace {

// Bytes of a console line shown; the rest of a longer line becomes "...".
constexpr std::size_t g_shownBytes = 200;
// A line that stays unfinished this long is shown as it is.
constexpr auto g_unfinishedLine = std::chrono::milliseconds(500);

}  // namespace

std::string ReadablePrintData(const std::string& data, std::size_t limit, std::size_t total) {
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
    if (data.size() > limit || total > limit) out += "...";
    return out;
}

PrintedOutput::PrintedOutput(std::FILE* file, std::ostream& console, std::mutex& consoleLock)
    : file_(file), console_(console), consoleLock_(consoleLock) {}

void PrintedOutput::take(const char* data, std::size_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_) {
        // Flushed at once, so whoever follows the file sees each piece as it is printed.
        if (std::fwrite(data, 1, length, file_) != length || std::fflush(file_) != 0) failed_ = true;
        return;
    }
    for (std::size_t i = 0; i < length; ++i) {
        if (lineBytes_ == 0) lineStarted_ = std::chrono::steady_clock::now();
        if (data[i] == '\n') {
            showLine();
            continue;
        }
        if (line_.size() < g_shownBytes) line_ += data[i];
        ++lineBytes_;
    }
}

void PrintedOutput::tick(bool final) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_ || lineBytes_ == 0) return;
    if (final || std::chrono::steady_clock::now() - lineStarted_ > g_unfinishedLine) showLine();
}

bool PrintedOutput::failed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failed_;
}

void PrintedOutput::showLine() {
    {
        std::lock_guard<std::mutex> console(consoleLock_);
        console_ << "printed: " << ReadablePrintData(line_, g_shownBytes, lineBytes_) << std::endl;
    }
    line_.clear();
    lineBytes_ = 0;
}

}  // namespace tools
