#include "tests/support/FakeDevice.h"

#include <dlfcn.h>
#include <fcntl.h>

#include <atomic>
#include <cerrno>
#include <map>

#include "tests/support/InterposerDispatch.h"

namespace testsupport {

namespace {

// Paths that open a fake device, and descriptors that belong to one.
struct Registry {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<FakeDevice>> byPath;
    std::map<int, std::shared_ptr<FakeDevice>> byDescriptor;
    // Lets the hot paths (every read and write of the process) skip the lock
    // while no fake device is registered or open.
    std::atomic<bool> anyPath{false};
    std::atomic<bool> anyDescriptor{false};
};

Registry& registry() {
    static Registry* instance = new Registry;  // outlives every static destructor
    return *instance;
}

std::shared_ptr<FakeDevice> deviceOf(int fd) {
    Registry& r = registry();
    if (!r.anyDescriptor.load(std::memory_order_acquire)) return nullptr;
    std::lock_guard<std::mutex> lock(r.mutex);
    auto found = r.byDescriptor.find(fd);
    return found == r.byDescriptor.end() ? nullptr : found->second;
}

template <class Function>
Function real(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

DeviceRegistration::DeviceRegistration(std::string path, std::shared_ptr<FakeDevice> device) : path_(std::move(path)) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.byPath[path_] = std::move(device);
    r.anyPath = true;
}

DeviceRegistration::~DeviceRegistration() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.byPath.erase(path_);
    r.anyPath = !r.byPath.empty();
}

int RealIoctl(int fd, unsigned long request, void* argument) {
    static const auto function = real<int (*)(int, unsigned long, ...)>("ioctl");
    return function(fd, request, argument);
}

ssize_t RealRead(int fd, void* buffer, size_t size) {
    static const auto function = real<ssize_t (*)(int, void*, size_t)>("read");
    return function(fd, buffer, size);
}

ssize_t RealWrite(int fd, const void* buffer, size_t size) {
    static const auto function = real<ssize_t (*)(int, const void*, size_t)>("write");
    return function(fd, buffer, size);
}

void CallLog::add(std::string what, uint64_t value, std::vector<unsigned char> data) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (recording_) entries_.push_back(Entry{Clock::now(), std::move(what), value, std::move(data)});
}

void CallLog::setRecording(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    recording_ = on;
}

std::vector<CallLog::Entry> CallLog::entries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
}

std::vector<CallLog::Entry> CallLog::entries(const std::string& name) const {
    std::vector<Entry> chosen;
    for (const Entry& entry : entries())
        if (entry.what == name) chosen.push_back(entry);
    return chosen;
}

std::vector<std::string> CallLog::names() const {
    std::vector<std::string> names;
    for (const Entry& entry : entries())
        names.push_back(entry.what);
    return names;
}

void CallLog::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
}

}  // namespace testsupport

// ---- Called by the interposer's libc entry points ----

using testsupport::registry;

extern "C" int testsupport_open(const char* path, int flags, int* handled) {
    *handled = 0;
    auto& r = registry();
    if (path == nullptr || !r.anyPath.load(std::memory_order_acquire)) return -1;
    std::shared_ptr<testsupport::FakeDevice> device;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        auto found = r.byPath.find(path);
        if (found == r.byPath.end()) return -1;
        device = found->second;
    }
    *handled = 1;
    const int fd = device->open(path, flags);
    if (fd >= 0) {
        std::lock_guard<std::mutex> lock(r.mutex);
        r.byDescriptor[fd] = device;
        r.anyDescriptor = true;
    }
    return fd;
}

extern "C" int testsupport_ioctl(int fd, unsigned long request, void* argument, int* handled) {
    auto device = testsupport::deviceOf(fd);
    int result = -1;
    *handled = device && device->ioctl(fd, request, argument, &result) ? 1 : 0;
    return result;
}

extern "C" ssize_t testsupport_read(int fd, void* buffer, size_t size, int* handled) {
    auto device = testsupport::deviceOf(fd);
    ssize_t result = -1;
    *handled = device && device->read(fd, buffer, size, &result) ? 1 : 0;
    return result;
}

extern "C" ssize_t testsupport_write(int fd, const void* buffer, size_t size, int* handled) {
    auto device = testsupport::deviceOf(fd);
    ssize_t result = -1;
    *handled = device && device->write(fd, buffer, size, &result) ? 1 : 0;
    return result;
}

extern "C" void testsupport_closed(int fd) {
    auto& r = registry();
    if (!r.anyDescriptor.load(std::memory_order_acquire)) return;
    std::shared_ptr<testsupport::FakeDevice> device;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        auto found = r.byDescriptor.find(fd);
        if (found == r.byDescriptor.end()) return;
        device = found->second;
        r.byDescriptor.erase(found);
        r.anyDescriptor = !r.byDescriptor.empty();
    }
    device->closed(fd);
}
