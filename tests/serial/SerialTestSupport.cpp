#include "SerialTestSupport.h"

namespace serialtest {

Bytes Read(void* port, unsigned int size, int* result) {
    Bytes buffer(size);
    unsigned int read = 0;
    *result = ReadPort(port, buffer.data(), size, &read);
    buffer.resize(read);
    return buffer;
}

Bytes Written(testsupport::SerialLine& line) {
    Bytes all;
    for (const auto& entry : line.log().entries("write"))
        all.insert(all.end(), entry.data.begin(), entry.data.end());
    return all;
}

}  // namespace serialtest
