#include "CheckedPrint.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "StatusText.h"

namespace tools {

namespace {

// Jobs are read and sent in slices of this size: memory stays flat however
// large the job, and the progress display moves.
constexpr std::size_t kSliceBytes = 64 * 1024;
// Pauses before asking again a port that took nothing.
constexpr std::chrono::milliseconds kFirstRetryPause{1};
constexpr std::chrono::milliseconds kLongestRetryPause{50};

uint64_t elapsedMs(std::chrono::steady_clock::time_point since) {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count());
}

// Why a job command came back with the printer offline.
std::string notConfirmedReason(const VelmarPrinterStatus_2& status, uint64_t elapsed, unsigned timeoutMs) {
    std::vector<std::string> conditions = statusConditions(status);
    conditions.erase(std::remove(conditions.begin(), conditions.end(), "offline"), conditions.end());
    if (!conditions.empty()) {
        std::string words;
        for (const std::string& c : conditions)
            words += (words.empty() ? "" : ", ") + c;
        return "printer offline: " + words;
    }
    const uint64_t bound = QUENVAR_CHECKED_BLOCK_BOUND_MS(timeoutMs);
    if (elapsed + 50 >= bound) return "no answer from the printer within " + std::to_string(bound) + " ms";
    return "printer offline, or the connection to it was lost";
}

// Runs one checked-block command; on failure fills `outcome` with its exit
// code and words and returns false.
bool jobCommandSucceeded(int (*command)(void*, void*, unsigned int), void* port, unsigned timeoutMs,
                         const char* offlineWords, const char* errorWords, JobOutcome* outcome) {
    const auto start = std::chrono::steady_clock::now();
    if (!command(port, &outcome->status, 2)) {
        outcome->code = kExitErrorAnswer;
        outcome->message = errorWords;
        return false;
    }
    if (outcome->status.offline) {
        outcome->code = kExitNotConfirmed;
        outcome->message =
            std::string(offlineWords) + ": " + notConfirmedReason(outcome->status, elapsedMs(start), timeoutMs);
        return false;
    }
    return true;
}

}  // namespace

uint64_t writeAll(void* port, const char* data, std::size_t size, unsigned timeoutMs, bool* failed) {
    *failed = false;
    uint64_t sent = 0;
    // A port may take nothing for a while: a serial printer holding DSR off
    // while its buffer is full, a USB printer busy past a transfer's limit.
    // It is asked again after short pauses until it has taken nothing for the
    // port's time limit (1 s when that is 0), then counts as failed.
    const auto idleLimit = std::chrono::milliseconds(timeoutMs != 0 ? timeoutMs : 1000);
    std::chrono::steady_clock::time_point idleSince{};
    bool idle = false;
    auto pause = kFirstRetryPause;
    while (sent < size) {
        unsigned int written = 0;
        const std::size_t rest = size - static_cast<std::size_t>(sent);
        const auto request = static_cast<unsigned int>(std::min<std::size_t>(rest, UINT32_MAX));
        if (!WritePort(port, reinterpret_cast<const unsigned char*>(data + sent), request, &written) ||
            written > request) {
            *failed = true;
            break;
        }
        if (written > 0) {
            sent += written;
            idle = false;
            pause = kFirstRetryPause;
            continue;
        }
        const auto now = std::chrono::steady_clock::now();
        if (!idle) {
            idle = true;
            idleSince = now;
        } else if (now - idleSince >= idleLimit) {
            *failed = true;
            break;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, kLongestRetryPause);
    }
    return sent;
}

JobOutcome printJob(void* port, const JobReader& read, bool checked, unsigned timeoutMs, const JobProgress& progress) {
    JobOutcome outcome;
    if (checked && !jobCommandSucceeded(BeginCheckedBlockEx, port, timeoutMs, "job not started",
                                        "job refused: the printer answered the job begin with an error, "
                                        "or its status could not be read",
                                        &outcome))
        return outcome;

    std::vector<char> slice(kSliceBytes);
    for (;;) {
        const long got = read(slice.data(), slice.size());
        if (got < 0) {
            outcome.code = kExitIoFailure;
            outcome.message = "reading the job failed after " + std::to_string(outcome.bytesSent) +
                              " bytes were sent; the job was not ended";
            return outcome;
        }
        if (got == 0) break;
        bool failed = false;
        outcome.bytesSent += writeAll(port, slice.data(), static_cast<std::size_t>(got), timeoutMs, &failed);
        if (progress) progress(outcome.bytesSent);
        if (failed) {
            outcome.code = kExitIoFailure;
            outcome.message = "sending failed after " + std::to_string(outcome.bytesSent) + " bytes";
            return outcome;
        }
    }
    if (!checked) {
        outcome.message = "sent " + std::to_string(outcome.bytesSent) + " bytes (not confirmed: --no-check)";
        return outcome;
    }

    if (jobCommandSucceeded(EndCheckedBlockEx, port, timeoutMs, "job not confirmed",
                            "job failed: the printer answered the job end with an error", &outcome))
        outcome.message = "job confirmed by the printer (" + std::to_string(outcome.bytesSent) + " bytes)";
    return outcome;
}

JobOutcome printJob(void* port, const std::string& data, bool checked, unsigned timeoutMs,
                    const JobProgress& progress) {
    std::size_t offset = 0;
    const JobReader fromMemory = [&data, &offset](char* buffer, std::size_t room) -> long {
        const std::size_t count = std::min(room, data.size() - offset);
        std::copy_n(data.data() + offset, count, buffer);
        offset += count;
        return static_cast<long>(count);
    };
    return printJob(port, fromMemory, checked, timeoutMs, progress);
}

}  // namespace tools
