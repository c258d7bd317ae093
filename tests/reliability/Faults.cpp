// Names and numbers shared by the fault matrix and the stress run.
#include <chrono>

#include "FaultMatrix.h"

namespace reliability {

const std::vector<Fault>& AllFaults() {
    static const std::vector<Fault> all = {
        Fault::Silent,        Fault::ConnectionLost, Fault::UnplugReplug, Fault::Garbage,  Fault::ErrorAnswer,
        Fault::OfflineMidJob, Fault::CoverOpen,      Fault::PaperOut,     Fault::VerySlow, Fault::Flood};
    return all;
}

const char* FaultName(Fault fault) {
    switch (fault) {
    case Fault::Silent:
        return "silent printer";
    case Fault::ConnectionLost:
        return "connection or device lost mid-job";
    case Fault::UnplugReplug:
        return "unplugged and plugged in again mid-job";
    case Fault::Garbage:
        return "garbage instead of answers";
    case Fault::ErrorAnswer:
        return "error answer to the job end";
    case Fault::OfflineMidJob:
        return "offline mid-job";
    case Fault::CoverOpen:
        return "cover open";
    case Fault::PaperOut:
        return "paper out";
    case Fault::VerySlow:
        return "very slow printer";
    case Fault::Flood:
        return "printer floods data";
    }
    return "?";
}

const char* MomentName(Moment moment) {
    switch (moment) {
    case Moment::BeforeOpen:
        return "before OpenPort";
    case Moment::AfterOpen:
        return "port open, before the job";
    case Moment::MidJob:
        return "half the job written";
    }
    return "?";
}

const char* JobEndWords(JobEnd end) {
    switch (end) {
    case JobEnd::NotOpened:
        return "OpenPort NULL";
    case JobEnd::BeginError:
        return "BeginCheckedBlockEx 0";
    case JobEnd::BeginOffline:
        return "BeginCheckedBlockEx 1, offline 1";
    case JobEnd::WriteFailed:
        return "WritePort 0";
    case JobEnd::EndError:
        return "EndCheckedBlockEx 0";
    case JobEnd::EndOffline:
        return "EndCheckedBlockEx 1, offline 1";
    case JobEnd::Confirmed:
        return "EndCheckedBlockEx 1, offline 0 (confirmed)";
    }
    return "?";
}

int JobEndExitCode(JobEnd end) {
    switch (end) {
    case JobEnd::NotOpened:
        return 3;
    case JobEnd::BeginOffline:
    case JobEnd::EndOffline:
        return 4;
    case JobEnd::BeginError:
    case JobEnd::EndError:
        return 5;
    case JobEnd::WriteFailed:
        return 6;
    case JobEnd::Confirmed:
        return 0;
    }
    return -1;
}

std::string WithoutBytes(const std::string& printed, const std::string& added) {
    std::string out;
    for (char byte : printed)
        if (added.find(byte) == std::string::npos) out += byte;
    return out;
}

uint64_t Slack(uint64_t boundMs) { return boundMs / 2 + 500; }

uint64_t NowMs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

}  // namespace reliability
