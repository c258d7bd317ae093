#include "SerialTestSupport.h"

namespace serialtest {

Bytes Read(void* port, unsigned int size, int* result) {
    Bytes buffer(size);
    unsigned int read = 0;
    *result = ReadPort(port, buffer.data(), size, &read);
    buffer.resize(read);
    return buffer;
}

Outcome Status(void* port) {
    Outcome o{};
    o.result = GetParsedStatusEx(port, &o.status, 2);
    return o;
}

Outcome Begin(void* port) {
    Outcome o{};
    o.result = BeginCheckedBlockEx(port, &o.status, 2);
    return o;
}

Outcome End(void* port) {
    Outcome o{};
    o.result = EndCheckedBlockEx(port, &o.status, 2);
    return o;
}

Bytes Written(testsupport::SerialLine& line) {
    Bytes all;
    for (const auto& entry : line.log().entries("write"))
        all.insert(all.end(), entry.data.begin(), entry.data.end());
    return all;
}

}  // namespace serialtest
