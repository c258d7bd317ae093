#include "CallRecorder.h"

#include "FaultMatrix.h"
#include "quenvar.h"

namespace reliability {

namespace {

thread_local std::vector<CallRecord>* t_calls = nullptr;

template <class Call>
int Recorded(const char* name, void* status, unsigned int version, Call call) {
    const uint64_t start = NowMs();
    const int result = call();
    if (t_calls != nullptr) {
        CallRecord record{name, result, 0, NowMs() - start};
        if (status != nullptr && version == 2 && result == 1)
            record.offline = static_cast<VelmarPrinterStatus_2*>(status)->offline;
        t_calls->push_back(record);
    }
    return result;
}

}  // namespace

RecordCalls::RecordCalls(std::vector<CallRecord>& into) : previous_(t_calls) { t_calls = &into; }

RecordCalls::~RecordCalls() { t_calls = previous_; }

}  // namespace reliability

// The wrapped calls (ld --wrap=NAME sends the job code's calls here; the
// __real_ names reach the library).
extern "C" {
int __real_BeginCheckedBlockEx(void* port, void* status, unsigned int version);
int __real_EndCheckedBlockEx(void* port, void* status, unsigned int version);
int __real_WritePort(void* port, const unsigned char* buf, unsigned int size, unsigned int* written);

int __wrap_BeginCheckedBlockEx(void* port, void* status, unsigned int version) {
    return reliability::Recorded("BeginCheckedBlockEx", status, version,
                                 [&] { return __real_BeginCheckedBlockEx(port, status, version); });
}

int __wrap_EndCheckedBlockEx(void* port, void* status, unsigned int version) {
    return reliability::Recorded("EndCheckedBlockEx", status, version,
                                 [&] { return __real_EndCheckedBlockEx(port, status, version); });
}

int __wrap_WritePort(void* port, const unsigned char* buf, unsigned int size, unsigned int* written) {
    return reliability::Recorded("WritePort", nullptr, 0, [&] { return __real_WritePort(port, buf, size, written); });
}
}
