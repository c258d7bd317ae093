// One print job: the checked block around the data, the write loop that
// honours partial writes, and the outcome in plain words.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "ExitCodes.h"
#include "quenvar.h"

namespace tools {

struct JobOutcome {
    ExitCode code = kExitSuccess;
    std::string message;             // one line for a person
    VelmarPrinterStatus_2 status{};  // the status the last job command reported
    uint64_t bytesSent = 0;
};

// Called after every transfer with the bytes sent so far.
using JobProgress = std::function<void(uint64_t sent)>;

// Where a job's bytes come from, read while the job is sent: stores up to
// `room` bytes at `buffer` and returns their count, 0 at the end of the job,
// or -1 when reading failed.
using JobReader = std::function<long(char* buffer, std::size_t room)>;

// Sends the job that `read` delivers to the open `port`, one bounded slice at
// a time, so memory stays flat and printing starts before the input ends.
// With `checked`, brackets it in a checked block and reports whether the
// printer confirmed it; `timeoutMs` is the port's time limit, used to tell a
// silent printer from an offline one. A job whose input fails midway is not
// ended: the printer must not confirm a job that was cut short.
JobOutcome printJob(void* port, const JobReader& read, bool checked, unsigned timeoutMs,
                    const JobProgress& progress = {});

// The same for a job held in memory.
JobOutcome printJob(void* port, const std::string& data, bool checked, unsigned timeoutMs,
                    const JobProgress& progress = {});

// Sends `size` bytes at `data` with WritePort, looping on partial writes; a
// port that takes nothing is asked again until it has taken nothing for
// `timeoutMs` (1 s when 0). Returns the bytes sent; `*failed` is set when a
// transfer failed or the port stopped taking bytes.
uint64_t writeAll(void* port, const char* data, std::size_t size, unsigned timeoutMs, bool* failed);

}  // namespace tools
