// A one-line progress display for long jobs on a terminal: bytes, rate and
// time left. Shows nothing when standard error is no terminal or the job is small.
#pragma once

#include <chrono>
#include <cstdint>

namespace tools {

class ProgressBar {
public:
    explicit ProgressBar(uint64_t total);
    ~ProgressBar();  // ends the line if one was drawn

    void update(uint64_t done);

private:
    uint64_t total_;
    bool shown_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_{};
};

}  // namespace tools
