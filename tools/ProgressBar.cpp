#include "ProgressBar.h"

#include <unistd.h>

#include <cstdio>
#include <string>

namespace tools {

namespace {

// Jobs smaller than this finish before a bar would be read.
constexpr uint64_t kSmallestShownJob = 256 * 1024;
constexpr int kBarWidth = 30;

std::string humanBytes(double bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 3) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit ? "%.1f %s" : "%.0f %s", bytes, units[unit]);
    return text;
}

}  // namespace

ProgressBar::ProgressBar(uint64_t total)
    : total_(total),
      shown_((total == 0 || total >= kSmallestShownJob) && isatty(STDERR_FILENO)),
      start_(std::chrono::steady_clock::now()) {}

ProgressBar::~ProgressBar() {
    if (drawn_) std::fputc('\n', stderr);
}

void ProgressBar::update(uint64_t done) {
    if (!shown_ || (total_ == 0 && done < kSmallestShownJob)) return;
    const auto now = std::chrono::steady_clock::now();
    if ((total_ == 0 || done < total_) && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    drawn_ = true;

    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    if (total_ == 0 || done > total_) {
        // A pipe: how much went out and how fast, with nothing to count down.
        std::fprintf(stderr, "\r%s sent  %s/s ", humanBytes(static_cast<double>(done)).c_str(),
                     humanBytes(rate).c_str());
        std::fflush(stderr);
        return;
    }
    const int filled = static_cast<int>(kBarWidth * done / total_);
    const double left = rate > 0 ? static_cast<double>(total_ - done) / rate : 0;
    std::fprintf(stderr, "\r[%s%s] %s / %s  %s/s  %d:%02d left ", std::string(filled, '#').c_str(),
                 std::string(kBarWidth - filled, '-').c_str(), humanBytes(static_cast<double>(done)).c_str(),
                 humanBytes(static_cast<double>(total_)).c_str(), humanBytes(rate).c_str(), static_cast<int>(left) / 60,
                 static_cast<int>(left) % 60);
    std::fflush(stderr);
}

}  // namespace tools
