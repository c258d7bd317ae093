// The stress run: many virtual printers of every transport, driven from many
// threads as a shop's server drives its printers, each printing checked jobs
// of random sizes with random faults brought on in the middle of the job.
// Every job the library confirmed must have reached its printer's paper
// whole, once and in order; every call must end within its bound; the
// process must hold no more descriptors and not much more memory after the
// last jobs than after the first.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "FaultMatrix.h"
#include "RigPrinter.h"

namespace reliability {

// A fault the stress run may bring on in the middle of a job.
struct StressFault {
    std::string name;
    // Brought on when `sent` bytes of a job of `size` bytes are written.
    std::function<void(RigPrinter& printer, std::size_t sent, std::size_t size, std::mt19937& random)> bringOn;
    // Taken away once the job has ended (null: nothing to take away).
    std::function<void(RigPrinter& printer)> takeAway;
};

struct StressTransport {
    std::string name;
    std::string settings;
    unsigned timeoutMs = 0;
    unsigned maxPrinters = 0;   // how many printers its rig can have up at once
    bool fillsTheRest = false;  // takes the printers the other transports' rigs cannot
    std::string addedBytes;     // print data the transport sends itself (see TransportTable)
    std::function<std::unique_ptr<RigPrinter>(unsigned index)> bringUp;
    std::vector<StressFault> faults;
    Bounds bounds;
    // The least time a job with `fault` (its name; "" for none) that ended
    // this way takes on an idle printer, in ms: the pauses the transport's
    // protocol makes, and the waits it makes for a printer with nothing to
    // say (see bench/README.md).
    std::function<unsigned(const std::string& fault, JobEnd end)> mandatedMs;
};

struct StressOptions {
    // In all: an equal share for each transport as far as its rig allows, the
    // rest on the transport that takes any number (the network).
    unsigned printers = 256;
    unsigned threads = 64;
    unsigned jobsPerPrinter = 100;
    double faultShare = 0.1;  // share of jobs with a fault brought on
    std::size_t smallestJob = 16;
    std::size_t largestJob = 8192;
    unsigned markJobs = 1000;  // resources are compared after the first and after the last this many jobs
    uint32_t seed = 1;
};

struct StressReport {
    uint64_t jobs = 0;
    uint64_t confirmed = 0;
    std::map<std::string, uint64_t> endings;   // "transport, fault: how the job ended" -> count
    std::map<std::string, uint64_t> endingMs;  // the same -> the time those jobs took in all
    unsigned printers = 0;
    unsigned threads = 0;
    double seconds = 0;       // wall time of the jobs
    double idealSeconds = 0;  // the longest thread's mandated time
    long descriptorsFirst = 0, descriptorsLast = 0;
    long residentFirstKiB = 0, residentLastKiB = 0;
    std::vector<std::string> problems;  // accounting, bounds, resources

    double jobsPerSecond() const { return seconds > 0 ? jobs / seconds : 0; }
    double idealJobsPerSecond() const { return idealSeconds > 0 ? jobs / idealSeconds : 0; }
    std::string summary() const;
};

// Faults every printer model can show, for the transports' lists.
StressFault OfflineForAJob();   // offline mid-job, online again after the job
StressFault PaperOutForAJob();  // paper out mid-job, paper in again after the job
StressFault ErrorAnswer();      // the job end answered with an error value
StressFault Noise();            // a burst of bytes of no meaning mid-job
StressFault UnplugReplug();     // the device leaves the bus mid-job and comes back (USB)

// Resident memory growth a run may show between its marks: allocator arenas
// and caches settle, a leak grows with the jobs.
constexpr long kResidentGrowthKiB = 4096;

StressReport RunStress(const std::vector<StressTransport>& transports, const StressOptions& options);

// Descriptors open in this process, and its resident memory in KiB.
long OpenDescriptors();
long ResidentKiB();

}  // namespace reliability
