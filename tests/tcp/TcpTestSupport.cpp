#include "TcpTestSupport.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

namespace tcptest {

const Bytes kPreamble = {0x1B, 0x1D, 0x03, 0x04, 0x00, 0x00};
const Bytes kJobBegin = {0x1B, 0x1D, 0x03, 0x02, 0x00, 0x00};
const Bytes kJobBeginPoll = {0x1B, 0x1D, 0x03, 0x00, 0x00, 0x00};
const Bytes kJobAcknowledge = {0x1B, 0x1D, 0x03, 0x03, 0x00, 0x00};
const Bytes kJobEnd = {0x1B, 0x1D, 0x03, 0x01, 0x01, 0x01};
const Bytes kJobEndPoll = {0x1B, 0x1D, 0x03, 0x00, 0x01, 0x01};

Bytes JobBeginAnswer(unsigned char value) { return {0x1B, 0x1D, 0x03, 0x00, 0x00, 0x00, value, 0x00}; }

Bytes JobEndAnswer(unsigned char byte3, unsigned char value) {
    return {0x1B, 0x1D, 0x03, byte3, 0x01, 0x01, value, 0x00};
}

std::size_t Count(const Bytes& haystack, const Bytes& needle) {
    std::size_t count = 0;
    for (auto it = haystack.begin();
         (it = std::search(it, haystack.end(), needle.begin(), needle.end())) != haystack.end(); ++it)
        ++count;
    return count;
}

Bytes Read(void* port, unsigned int size, int* result) {
    Bytes buffer(size == 0 ? 1 : size);
    unsigned int read = 0;
    *result = ReadPort(port, buffer.data(), size, &read);
    buffer.resize(read);
    return buffer;
}

VelmarPrinterStatus_2 Status(void* port, int* result) {
    VelmarPrinterStatus_2 status{};
    *result = GetParsedStatusEx(port, &status, 2);
    return status;
}

void Settle() { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }

namespace {

// This process's descriptor of its connection to `address`:`port`, or -1.
int DescriptorOfConnectionTo(const std::string& address, unsigned short port) {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int found = -1;
    while (dirent* entry = readdir(dir)) {
        const int fd = atoi(entry->d_name);
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0 || peer.sin_family != AF_INET) continue;
        if (peer.sin_port != htons(port) || peer.sin_addr.s_addr != inet_addr(address.c_str())) continue;
        found = fd;
        break;
    }
    closedir(dir);
    return found;
}

}  // namespace

int OptionOfConnectionTo(const std::string& address, unsigned short port, int level, int name) {
    const int fd = DescriptorOfConnectionTo(address, port);
    int option = 0;
    socklen_t size = sizeof option;
    return fd >= 0 && getsockopt(fd, level, name, &option, &size) == 0 ? option : -1;
}

int WaitingOnConnectionTo(const std::string& address, unsigned short port) {
    const int fd = DescriptorOfConnectionTo(address, port);
    int waiting = 0;
    return fd >= 0 && ioctl(fd, FIONREAD, &waiting) == 0 ? waiting : -1;
}

}  // namespace tcptest
