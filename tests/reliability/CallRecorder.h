// Every C call a job makes through the quenvar command's own job code
// (tools/CheckedPrint), timed: the matrix links that code with the calls
// BeginCheckedBlockEx, WritePort and EndCheckedBlockEx wrapped (ld --wrap),
// so each call's result, `offline` flag and time are seen exactly as the
// command saw them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace reliability {

struct CallRecord {
    std::string name;      // "BeginCheckedBlockEx", "WritePort", "EndCheckedBlockEx"
    int result = 0;        // what the call returned
    unsigned offline = 0;  // the status record's offline flag (checked blocks with result 1)
    uint64_t ms = 0;       // how long it took
};

// While it lives, the calls this thread makes are appended to `into`.
class RecordCalls {
public:
    explicit RecordCalls(std::vector<CallRecord>& into);
    ~RecordCalls();
    RecordCalls(const RecordCalls&) = delete;
    RecordCalls& operator=(const RecordCalls&) = delete;

private:
    std::vector<CallRecord>* previous_;
};

}  // namespace reliability
