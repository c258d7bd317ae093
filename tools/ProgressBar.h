// A one-line progress display for long jobs on a terminal: bytes, rate and
// time left (bytes and rate when the size is unknown). Shows nothing when
// standard error is no terminal or the job is small.
#pragma once

#include <chrono>
#include <cstdint>

namespace tools {

class ProgressBar {
public:
    // total: the job's size in bytes, or 0 when it is not known in advance.
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
