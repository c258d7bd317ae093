// The transports of this build in the reliability runs.
#include "Transports.h"

namespace reliability {

std::vector<TransportTable> AllMatrixTables() {
    std::vector<TransportTable> tables;
    for (auto add : {NetworkMatrixTables, SerialMatrixTables, ParallelMatrixTables, UsbMatrixTables}) {
        std::vector<TransportTable> more = add();
        tables.insert(tables.end(), more.begin(), more.end());
    }
    return tables;
}

std::vector<StressTransport> AllStressTransports() {
    std::vector<StressTransport> all = {NetworkStressTransport(), SerialStressTransport(), ParallelStressTransport()};
    for (StressTransport& usb : UsbStressTransports())
        all.push_back(std::move(usb));
    return all;
}

}  // namespace reliability
