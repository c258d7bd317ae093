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

// Called after every transfer with the bytes sent so far and the job's size.
using JobProgress = std::function<void(uint64_t sent, uint64_t total)>;

// Sends `data` to the open `port`. With `checked`, brackets it in a checked
// block and reports whether the printer confirmed it; `timeoutMs` is the
// port's time limit, used to tell a silent printer from an offline one.
JobOutcome printJob(void* port, const std::string& data, bool checked, unsigned timeoutMs,
                    const JobProgress& progress = {});

// Sends all of `data` with WritePort, looping on partial writes. Returns the
// bytes sent; `*failed` is set when a transfer failed or stopped moving.
uint64_t writeAll(void* port, const std::string& data, bool* failed, const JobProgress& progress = {});

}  // namespace tools
