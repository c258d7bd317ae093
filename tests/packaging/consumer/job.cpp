// A C++ program built through find_package(Quenvar): prints a job that the
// printer confirms.
#include <quenvar.h>

#include <cstring>
#include <iostream>

int main(int argc, char** argv) {
    if (argc < 2) return 1;
    void* port = OpenPort(argv[1], "", 3000);
    if (port == nullptr) return 1;
    const char job[] = "printed by the C++ consumer\n";
    VelmarPrinterStatus_2 status{};
    bool confirmed = false;
    if (BeginCheckedBlockEx(port, &status, 2) && !status.offline) {
        unsigned int sent = 0, written = 0;
        const auto* bytes = reinterpret_cast<const unsigned char*>(job);
        const auto size = static_cast<unsigned int>(std::strlen(job));
        while (sent < size && WritePort(port, bytes + sent, size - sent, &written) && written > 0)
            sent += written;
        confirmed = sent == size && EndCheckedBlockEx(port, &status, 2) && !status.offline;
    }
    ClosePort(port);
    std::cout << "C++ consumer: job " << (confirmed ? "confirmed" : "not confirmed") << "\n";
    return confirmed ? 0 : 1;
}
