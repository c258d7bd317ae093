// The resident memory row runs in a child process of its own: the printers
// (threads, buffers) stay in the parent, so the child's growth is the
// library's alone.
#include <cstdio>

#include "PlainSocket.h"
#include "Rows.h"
#include "quenvar.h"

namespace bench {

int RunResidentProbe(const std::string& settings, const std::vector<std::string>& addresses) {
    if (addresses.empty()) return 1;
    const unsigned int timeoutMs = 5000;
    // One port opened and closed first: what any first use costs (symbol
    // binding, the allocator's first pages) is not a cost per port.
    void* warm = OpenPort(("TCP:" + addresses.front()).c_str(), settings.c_str(), timeoutMs);
    if (warm == nullptr) return 1;
    ClosePort(warm);

    std::vector<void*> ports;
    ports.reserve(addresses.size());
    const std::size_t before = ResidentBytes();
    for (const std::string& address : addresses) {
        void* port = OpenPort(("TCP:" + address).c_str(), settings.c_str(), timeoutMs);
        if (port == nullptr) break;
        ports.push_back(port);
    }
    const std::size_t after = ResidentBytes();
    const bool all = ports.size() == addresses.size();
    for (void* port : ports)
        ClosePort(port);
    if (!all) return 1;
    std::printf("%zu %zu\n", before, after);
    return 0;
}

}  // namespace bench
