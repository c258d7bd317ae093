#include "Stress.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "PrintedStreamChecker.h"
#include "quenvar.h"

namespace reliability {

namespace {

// A port that takes nothing this many times in a row is given up, as the
// quenvar command does.
constexpr int kMostWritesWithoutProgress = 3;
// Printed data the models keep besides handing it to the checkers.
constexpr std::size_t kPrintedTail = 1024;
// Problems kept in full.
constexpr std::size_t kProblemsKept = 40;
// Under a sanitizer the process keeps memory of the sanitizer's own (shadow,
// histories, freed blocks held back), which grows with the work done: there,
// resident memory is shown but not judged.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kJudgeResidentMemory = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kJudgeResidentMemory = false;
#else
constexpr bool kJudgeResidentMemory = true;
#endif
#else
constexpr bool kJudgeResidentMemory = true;
#endif
// How long a printer whose fault was taken away is left before its next job.
constexpr unsigned kBackAgainMs = 50;

// Threads wait for each other here; the last to come runs `atEveryMeeting` first.
class Meeting {
public:
    Meeting(unsigned parties, std::function<void()> atEveryMeeting)
        : parties_(parties), atEveryMeeting_(std::move(atEveryMeeting)) {}
    void arrive() {
        std::unique_lock<std::mutex> lock(mutex_);
        const uint64_t round = round_;
        if (++arrived_ == parties_) {
            atEveryMeeting_();
            arrived_ = 0;
            ++round_;
            all_.notify_all();
            return;
        }
        all_.wait(lock, [&] { return round_ != round; });
    }

private:
    std::mutex mutex_;
    std::condition_variable all_;
    const unsigned parties_;
    unsigned arrived_ = 0;
    uint64_t round_ = 0;
    std::function<void()> atEveryMeeting_;
};

struct Slot {
    const StressTransport* transport = nullptr;
    unsigned index = 0;  // among all printers, names its jobs
    std::unique_ptr<RigPrinter> printer;
    std::shared_ptr<PrintedStreamChecker> checker = std::make_shared<PrintedStreamChecker>();
    void* port = nullptr;
    uint64_t jobs = 0;
};

struct ThreadTally {
    uint64_t jobs = 0, confirmed = 0, mandatedMs = 0;
    std::map<std::string, uint64_t> endings;
    std::map<std::string, uint64_t> endingMs;  // time the jobs of each ending took in all
    std::vector<std::string> problems;
};

std::string Payload(std::size_t size, std::mt19937& random) {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789 .,-";
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kLetters - 2);
    std::string text(size, ' ');
    for (char& c : text)
        c = kLetters[pick(random)];
    return text;
}

class Driver {
public:
    Driver(const StressOptions& options, ThreadTally& tally) : options_(options), tally_(tally) {}

    // One checked job on `slot`, with `fault` (or none) brought on in its middle.
    void job(Slot& slot, const StressFault* fault, std::mt19937& random) {
        const StressTransport& t = *slot.transport;
        const std::size_t payload =
            std::uniform_int_distribution<std::size_t>(options_.smallestJob, options_.largestJob)(random);
        const std::string content = "<J" + std::to_string(slot.index) + "." + std::to_string(slot.jobs++) + " " +
                                    Payload(payload, random) + "|\n";
        const std::size_t faultAt = std::uniform_int_distribution<std::size_t>(1, content.size() - 1)(random);
        slot.checker->expect(content);
        const uint64_t jobStart = NowMs();

        bool brought = false;
        const auto bringOn = [&](std::size_t sent) {
            if (fault == nullptr || brought) return;
            fault->bringOn(*slot.printer, sent, content.size(), random);
            brought = true;
        };
        VelmarPrinterStatus_2 status{};
        JobEnd end;
        int result = timed(slot, "BeginCheckedBlockEx", t.bounds.block,
                           [&] { return BeginCheckedBlockEx(slot.port, &status, 2); });
        if (result == 0) {
            end = JobEnd::BeginError;
        } else if (status.offline) {
            end = JobEnd::BeginOffline;
        } else {
            end = write(slot, content, faultAt, random, bringOn) ? JobEnd::EndError : JobEnd::WriteFailed;
            if (end != JobEnd::WriteFailed) {
                bringOn(content.size());
                result = timed(slot, "EndCheckedBlockEx", t.bounds.block,
                               [&] { return EndCheckedBlockEx(slot.port, &status, 2); });
                end = result == 0 ? JobEnd::EndError : status.offline ? JobEnd::EndOffline : JobEnd::Confirmed;
            }
        }
        slot.checker->outcome(end == JobEnd::Confirmed);
        const uint64_t jobMs = NowMs() - jobStart;
        if (fault != nullptr && fault->takeAway) {
            fault->takeAway(*slot.printer);
            // The printer's report that it is back reaches the port before
            // its next job, as it would on a printer fixed by hand.
            std::this_thread::sleep_for(std::chrono::milliseconds(kBackAgainMs));
            tally_.mandatedMs += kBackAgainMs;
        }
        ++tally_.jobs;
        if (end == JobEnd::Confirmed) ++tally_.confirmed;
        tally_.mandatedMs += t.mandatedMs(fault != nullptr ? fault->name : std::string(), end);
        const std::string ending =
            t.name + ", " + (fault ? fault->name : std::string("no fault")) + ": " + JobEndWords(end);
        ++tally_.endings[ending];
        tally_.endingMs[ending] += jobMs;
    }

private:
    template <class Call>
    int timed(const Slot& slot, const char* name, uint64_t bound, Call call) {
        const uint64_t start = NowMs();
        const int result = call();
        const uint64_t ms = NowMs() - start;
        if (ms > bound + Slack(bound) && tally_.problems.size() < kProblemsKept)
            tally_.problems.push_back(slot.transport->name + " printer " + std::to_string(slot.index) + ": " + name +
                                      " took " + std::to_string(ms) + " ms, bound " + std::to_string(bound) + " ms");
        return result;
    }

    // WritePort in pieces of random sizes, as an application hands over its
    // job; the fault comes once `faultAt` bytes are sent. False when a write
    // failed or the port stopped taking bytes.
    template <class BringOn>
    bool write(Slot& slot, const std::string& content, std::size_t faultAt, std::mt19937& random,
               const BringOn& bringOn) {
        std::size_t sent = 0;
        int withoutProgress = 0;
        while (sent < content.size()) {
            if (sent >= faultAt) bringOn(sent);
            const std::size_t piece =
                std::min(content.size() - sent, std::uniform_int_distribution<std::size_t>(1, 4096)(random));
            unsigned int written = 0;
            const int ok = timed(slot, "WritePort", slot.transport->bounds.write, [&] {
                return WritePort(slot.port, reinterpret_cast<const unsigned char*>(content.data() + sent),
                                 static_cast<unsigned int>(piece), &written);
            });
            if (!ok || (written == 0 && ++withoutProgress >= kMostWritesWithoutProgress)) return false;
            if (written > 0) withoutProgress = 0;
            sent += written;
        }
        return true;
    }

    const StressOptions& options_;
    ThreadTally& tally_;
};

std::string Line(const char* format, double a, double b = 0, double c = 0) {
    char text[200];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

}  // namespace

StressFault OfflineForAJob() {
    return {"offline", [](RigPrinter& p, std::size_t, std::size_t, std::mt19937&) { p.model().setOffline(true); },
            [](RigPrinter& p) { p.model().setOffline(false); }};
}

StressFault PaperOutForAJob() {
    return {"paper out", [](RigPrinter& p, std::size_t, std::size_t, std::mt19937&) { p.model().setPaperEmpty(true); },
            [](RigPrinter& p) { p.model().setPaperEmpty(false); }};
}

StressFault ErrorAnswer() {
    return {"error answer",
            [](RigPrinter& p, std::size_t, std::size_t, std::mt19937&) { p.model().failNextJobEnd(0x00); }, nullptr};
}

StressFault Noise() {
    return {"noise", [](RigPrinter& p, std::size_t, std::size_t, std::mt19937&) { p.model().sendRaw(kNoise); },
            nullptr};
}

StressFault UnplugReplug() {
    return {"unplugged and back",
            [](RigPrinter& p, std::size_t, std::size_t, std::mt19937&) {
                p.unplug();
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                p.replug();
            },
            nullptr};
}

long OpenDescriptors() {
    long count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') ++count;
        closedir(dir);
    }
    return count - 1;  // the directory's own descriptor
}

long ResidentKiB() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

std::string StressReport::summary() const {
    std::ostringstream out;
    out << jobs << " checked jobs on " << printers << " printers from " << threads << " threads, " << confirmed
        << " confirmed\n";
    out << Line("%.1f jobs/s in %.1f s; ideal %.1f jobs/s", jobsPerSecond(), seconds, idealJobsPerSecond())
        << Line(" (every printer busy only for the mandated pauses): %.2f x ideal\n",
                idealJobsPerSecond() > 0 ? jobsPerSecond() / idealJobsPerSecond() : 0);
    out << "descriptors after the first jobs " << descriptorsFirst << ", after the last " << descriptorsLast
        << "; resident memory " << residentFirstKiB << " KiB, then " << residentLastKiB << " KiB\n";
    for (const auto& [ending, count] : endings) {
        const auto ms = endingMs.find(ending);
        out << "  " << count << " x " << ending
            << Line(" (%.0f ms each)", ms == endingMs.end() ? 0.0 : double(ms->second) / double(count)) << "\n";
    }
    for (const std::string& p : problems)
        out << "PROBLEM: " << p << "\n";
    return out.str();
}

StressReport RunStress(const std::vector<StressTransport>& transports, const StressOptions& options) {
    StressReport report;
    std::vector<Slot> slots;
    std::vector<unsigned> counts;
    unsigned left = options.printers;
    for (const StressTransport& t : transports) {
        counts.push_back(t.fillsTheRest ? 0 : std::min(t.maxPrinters, options.printers / unsigned(transports.size())));
        left -= counts.back();
    }
    for (std::size_t i = 0; i < transports.size(); ++i)
        if (transports[i].fillsTheRest) {
            counts[i] = std::min(left, transports[i].maxPrinters);
            break;
        }
    for (std::size_t k = 0; k < transports.size(); ++k) {
        const StressTransport& t = transports[k];
        for (unsigned i = 0; i < counts[k]; ++i) {
            Slot slot;
            slot.transport = &t;
            slot.index = static_cast<unsigned>(slots.size());
            slot.printer = t.bringUp(i);
            // The checker sees what is printed as it is printed; the model
            // keeps only a tail, so memory stays flat however long the run.
            std::shared_ptr<PrintedStreamChecker> checker = slot.checker;
            const std::string added = t.addedBytes;
            slot.printer->model().setPrintedSink(
                [checker, added](const char* data, std::size_t length) {
                    const std::string jobBytes = WithoutBytes(std::string(data, length), added);
                    checker->printed(jobBytes.data(), jobBytes.size());
                },
                kPrintedTail);
            slots.push_back(std::move(slot));
        }
    }
    report.printers = static_cast<unsigned>(slots.size());
    const unsigned threads = std::max(1u, std::min<unsigned>(options.threads, report.printers));
    report.threads = threads;
    if (slots.empty()) return report;

    // Resources are taken after the round that completes the first
    // `markJobs` jobs and after the last round; the round before each is
    // free of faults, so every port has its connection again.
    const unsigned rounds = options.jobsPerPrinter;
    const unsigned firstMark = std::min(rounds, (options.markJobs + report.printers - 1) / report.printers);
    const auto clean = [&](unsigned round) { return round + 1 == firstMark || round + 1 == rounds; };
    const auto sample = [](long& descriptors, long& resident) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // printers' threads catch up
        descriptors = OpenDescriptors();
        resident = ResidentKiB();
    };

    std::vector<ThreadTally> tallies(threads);
    std::atomic<uint64_t> startMs{0}, endMs{0};
    unsigned meetings = 0;
    Meeting meeting(threads, [&] {
        ++meetings;
        if (meetings == 1) {
            startMs = NowMs();  // every port open
        } else if (meetings == 2 && firstMark < rounds) {
            sample(report.descriptorsFirst, report.residentFirstKiB);
        } else {
            endMs = NowMs();
            sample(report.descriptorsLast, report.residentLastKiB);
        }
    });
    std::vector<std::thread> workers;
    for (unsigned w = 0; w < threads; ++w)
        workers.emplace_back([&, w] {
            std::mt19937 random(options.seed * 7919u + w);
            std::vector<Slot*> mine;
            for (std::size_t s = w; s < slots.size(); s += threads)
                mine.push_back(&slots[s]);
            for (Slot* slot : mine) {
                slot->port = OpenPort(slot->printer->portName().c_str(), slot->transport->settings.c_str(),
                                      slot->transport->timeoutMs);
                if (slot->port == nullptr) tallies[w].problems.push_back(slot->printer->portName() + " did not open");
            }
            meeting.arrive();
            Driver driver(options, tallies[w]);
            std::uniform_real_distribution<double> chance(0, 1);
            for (unsigned round = 0; round < rounds; ++round) {
                for (Slot* slot : mine) {
                    if (slot->port == nullptr) continue;
                    const std::vector<StressFault>& faults = slot->transport->faults;
                    const StressFault* fault = nullptr;
                    if (!clean(round) && !faults.empty() && chance(random) < options.faultShare)
                        fault = &faults[std::uniform_int_distribution<std::size_t>(0, faults.size() - 1)(random)];
                    driver.job(*slot, fault, random);
                }
                if (round + 1 == firstMark && firstMark < rounds) meeting.arrive();
            }
            meeting.arrive();
            for (Slot* slot : mine)
                ClosePort(slot->port);
        });
    for (std::thread& worker : workers)
        worker.join();
    if (firstMark >= rounds) {
        report.descriptorsFirst = report.descriptorsLast;
        report.residentFirstKiB = report.residentLastKiB;
    }

    report.seconds = static_cast<double>(endMs - startMs) / 1000.0;
    uint64_t longestMandated = 0;
    for (ThreadTally& tally : tallies) {
        report.jobs += tally.jobs;
        report.confirmed += tally.confirmed;
        longestMandated = std::max(longestMandated, tally.mandatedMs);
        for (const auto& [ending, count] : tally.endings)
            report.endings[ending] += count;
        for (const auto& [ending, ms] : tally.endingMs)
            report.endingMs[ending] += ms;
        for (std::string& p : tally.problems)
            if (report.problems.size() < kProblemsKept) report.problems.push_back(std::move(p));
    }
    report.idealSeconds = static_cast<double>(longestMandated) / 1000.0;

    // The printers stop; what they printed last decides the last jobs.
    uint64_t confirmedWhole = 0;
    for (Slot& slot : slots) {
        slot.printer.reset();
        slot.checker->finish();
        confirmedWhole += slot.checker->confirmedWhole();
        for (const std::string& p : slot.checker->problems())
            if (report.problems.size() < kProblemsKept)
                report.problems.push_back("printer " + std::to_string(slot.index) + ": " + p);
    }
    if (confirmedWhole != report.confirmed)
        report.problems.push_back(std::to_string(report.confirmed) + " jobs confirmed, " +
                                  std::to_string(confirmedWhole) + " of them found whole on paper");
    if (report.descriptorsLast != report.descriptorsFirst)
        report.problems.push_back("descriptors went from " + std::to_string(report.descriptorsFirst) + " to " +
                                  std::to_string(report.descriptorsLast));
    if (kJudgeResidentMemory && report.residentLastKiB - report.residentFirstKiB > kResidentGrowthKiB)
        report.problems.push_back("resident memory grew by " +
                                  std::to_string(report.residentLastKiB - report.residentFirstKiB) + " KiB");
    return report;
}

}  // namespace reliability
