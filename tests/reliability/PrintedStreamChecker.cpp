#include "PrintedStreamChecker.h"

#include <algorithm>

namespace reliability {

namespace {

// Problems kept in full; the rest are counted only.
constexpr std::size_t kProblemsKept = 20;

std::string NameOf(const std::string& content) { return content.substr(0, content.find(' ')); }

// At most 40 bytes of `bytes` for a problem text, bytes that are not
// printable as \xNN.
std::string Shown(const std::string& bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < bytes.size() && i < 40; ++i) {
        const unsigned char b = static_cast<unsigned char>(bytes[i]);
        if (b >= 0x20 && b < 0x7F && b != '\\')
            out += static_cast<char>(b);
        else
            out += std::string("\\x") + kHex[b >> 4] + kHex[b & 15];
    }
    return out;
}

}  // namespace

void PrintedStreamChecker::expect(std::string content) {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(Job{std::move(content), -1});
}

void PrintedStreamChecker::outcome(bool confirmed) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (outcomesKnown_ >= jobs_.size()) {
        problem("an outcome for a job never sent");
        return;
    }
    jobs_[outcomesKnown_++].outcome = confirmed ? 1 : 0;
    match(false);
}

void PrintedStreamChecker::printed(const char* data, std::size_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    buffer_.append(data, length);
    match(false);
}

void PrintedStreamChecker::finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    match(true);
    if (!buffer_.empty()) problem("printed bytes of no job sent: \"" + Shown(buffer_) + "\"");
    buffer_.clear();
}

std::vector<std::string> PrintedStreamChecker::problems() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return problems_;
}

uint64_t PrintedStreamChecker::confirmedWhole() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return confirmedWhole_;
}

uint64_t PrintedStreamChecker::partial() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return partial_;
}

void PrintedStreamChecker::problem(const std::string& what) {
    if (problems_.size() < kProblemsKept)
        problems_.push_back(what);
    else if (problems_.size() == kProblemsKept)
        problems_.push_back("(more problems not shown)");
}

// Takes the oldest job off the printed bytes while the bytes decide how much
// of it was printed: all of it, or a beginning followed by the next job's
// '<'. A job whose outcome is not known yet waits (more of it may come, and a
// confirmed one must be whole).
void PrintedStreamChecker::match(bool final) {
    while (!jobs_.empty() && (outcomesKnown_ > 0 || final)) {
        Job& job = jobs_.front();
        const std::string& c = job.content;
        const std::size_t n = std::min(c.size(), buffer_.size());
        const std::size_t common = static_cast<std::size_t>(
            std::mismatch(c.begin(), c.begin() + static_cast<std::ptrdiff_t>(n), buffer_.begin()).first - c.begin());
        std::size_t taken;
        if (common == c.size()) {
            taken = common;  // whole
        } else if (common < buffer_.size()) {
            // Cut short: the next byte must begin the next job; anything else
            // means this job printed nothing and the bytes are another's.
            taken = buffer_[common] == '<' && common > 0 ? common : 0;
        } else if (final) {
            taken = common;  // the printer stopped within it
        } else {
            return;  // the bytes so far do not decide yet
        }
        if (job.outcome == 1 && taken != c.size())
            problem("confirmed job " + NameOf(c) + " printed " + std::to_string(taken) + " of " +
                    std::to_string(c.size()) + " bytes");
        else if (job.outcome == 1)
            ++confirmedWhole_;
        else
            ++partial_;
        buffer_.erase(0, taken);
        jobs_.pop_front();
        if (outcomesKnown_ > 0) --outcomesKnown_;
        if (taken == 0 && !buffer_.empty() && buffer_[0] != '<') {
            // Bytes that begin no job at all: report them and find the next job.
            const std::size_t next = buffer_.find('<');
            problem("printed bytes of no job sent: \"" + Shown(buffer_.substr(0, next)) + "\"");
            buffer_.erase(0, next == std::string::npos ? buffer_.size() : next);
        }
    }
}

}  // namespace reliability
