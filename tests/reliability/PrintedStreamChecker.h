// Checks what one printer printed against the jobs sent to it, as it is
// printed, keeping only the bytes not yet accounted for. Jobs are text that
// begins with '<' and holds no other '<', each with a name of its own after
// it; a job the printer did not get whole is a beginning of itself cut
// anywhere, so the printed stream is a beginning of each job in turn:
// whole for every confirmed job, and never a byte twice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace reliability {

class PrintedStreamChecker {
public:
    // A job about to be sent (jobs come in the order they are sent).
    void expect(std::string content);
    // The outcome of the oldest job whose outcome is not known yet.
    void outcome(bool confirmed);
    // Bytes the printer printed, in order (its printed sink).
    void printed(const char* data, std::size_t length);
    // The printer has stopped: what is left decides the last jobs.
    void finish();

    std::vector<std::string> problems() const;
    uint64_t confirmedWhole() const;  // confirmed jobs found whole and once
    uint64_t partial() const;         // jobs not confirmed that printed a beginning only (or nothing)

private:
    struct Job {
        std::string content;
        int outcome = -1;  // -1 unknown, 0 not confirmed, 1 confirmed
    };
    void match(bool final);
    void problem(const std::string& what);

    mutable std::mutex mutex_;
    std::deque<Job> jobs_;
    std::size_t outcomesKnown_ = 0;  // jobs_ entries, from the front, whose outcome is known
    std::string buffer_;             // printed, not yet accounted for
    uint64_t confirmedWhole_ = 0;
    uint64_t partial_ = 0;
    std::vector<std::string> problems_;
};

}  // namespace reliability
