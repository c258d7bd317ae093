#include "tests/support/FakeUsb.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

namespace testsupport {

namespace {

// What the host needs to know of the descriptors to check requests.
struct AltSetting {
    uint8_t interfaceNumber;
    uint8_t alternateSetting;
    std::set<uint8_t> endpoints;
};
struct Configuration {
    uint8_t value;
    std::vector<AltSetting> altSettings;
};

std::vector<Configuration> parse_configurations(const std::string& d) {
    std::vector<Configuration> configurations;
    std::size_t at = d.size() >= 18 ? static_cast<unsigned char>(d[0]) : d.size();
    while (at + 2 <= d.size()) {
        const auto length = static_cast<unsigned char>(d[at]);
        const auto type = static_cast<unsigned char>(d[at + 1]);
        if (length < 2 || at + length > d.size()) break;
        if (type == 2 && length >= 9) {
            configurations.push_back({static_cast<uint8_t>(d[at + 5]), {}});
        } else if (type == 4 && length >= 9 && !configurations.empty()) {
            configurations.back().altSettings.push_back(
                {static_cast<uint8_t>(d[at + 2]), static_cast<uint8_t>(d[at + 3]), {}});
        } else if (type == 5 && length >= 7 && !configurations.empty() && !configurations.back().altSettings.empty()) {
            configurations.back().altSettings.back().endpoints.insert(static_cast<uint8_t>(d[at + 2]));
        }
        at += length;
    }
    return configurations;
}

// The file a host process holds open on the device.
struct OpenFile {
    bool writable = true;  // opened for writing: usbfs takes requests only then
    std::size_t readOffset = 0;
    std::set<uint8_t> claimed;
    // Vectors, not deques: a file holds a transfer or two at most, and the USB
    // library opens every device on each bus search, so an open stays cheap.
    std::vector<usbdevfs_urb*> pending;    // submitted, not yet complete (in order)
    std::vector<usbdevfs_urb*> completed;  // complete, not yet reaped (in order)
};

constexpr uint64_t kNeverWritable = 0xFFFFFFFFFFFFFFFEull;

}  // namespace

// The kernel's side of one plugged-in device: its state and the files open on
// it. Requests run on the caller's thread; the device answers at once or
// leaves a URB pending, which the next reap looks at again.
class FakeUsbDevice : public FakeDevice {
public:
    // log: shared with the plug; a file the host still holds open may outlive it.
    FakeUsbDevice(std::shared_ptr<emulator::UsbFunction> function, unsigned devnum, std::shared_ptr<CallLog> log,
                  const UsbPlugOptions& options)
        : readOnly_(options.readOnly),
          function_(std::move(function)),
          descriptors_(function_->descriptors()),
          configurations_(parse_configurations(descriptors_)),
          devnum_(devnum),
          logHolder_(std::move(log)),
          log_(*logHolder_) {
        if (options.kernelDrivers)
            for (uint8_t interface : function_->kernelDriverInterfaces())
                driverBound_.insert(interface);
        if (!configurations_.empty()) activeConfiguration_ = configurations_.front().value;
    }
    ~FakeUsbDevice() override {
        if (neverWritable_ >= 0) ::close(neverWritable_);
    }

    const std::string& descriptors() const { return descriptors_; }

    void disconnect() {
        std::lock_guard<std::mutex> lock(mutex_);
        gone_ = true;
        // Pending transfers end with the device; the host reaps them as failed.
        for (auto& [fd, file] : files_) {
            for (usbdevfs_urb* urb : file.pending) {
                urb->status = -ESHUTDOWN;
                urb->actual_length = 0;
                file.completed.push_back(urb);
            }
            file.pending.clear();
        }
    }

    int open(const std::string&, int flags) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (gone_) {
            errno = ENODEV;
            return -1;
        }
        const bool writable = (flags & O_ACCMODE) != O_RDONLY;
        if (writable && readOnly_) {
            errno = EACCES;
            return -1;
        }
        // A descriptor that select() never reports writable: the USB library
        // waits on it for completions between reaps, and finds them by reaping.
        // Each open gets its own copy of one such eventfd, made once.
        if (neverWritable_ < 0) {
            const int made = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
            if (made < 0) return -1;
            const uint64_t full = kNeverWritable;
            if (RealWrite(made, &full, sizeof full) != sizeof full) {
                ::close(made);
                errno = EIO;
                return -1;
            }
            neverWritable_ = made;
        }
        const int fd = fcntl(neverWritable_, F_DUPFD_CLOEXEC, 0);
        if (fd < 0) return -1;
        OpenFile& file = files_[fd];
        file = OpenFile{};
        file.writable = writable;
        log_.add("open", devnum_);
        return fd;
    }

    bool read(int fd, void* buffer, size_t size, ssize_t* result) override {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = files_.find(fd);
        if (found == files_.end()) return false;
        if (gone_) return fail(ENODEV, result);
        OpenFile& file = found->second;
        const std::size_t left = file.readOffset < descriptors_.size() ? descriptors_.size() - file.readOffset : 0;
        const std::size_t count = size < left ? size : left;
        std::memcpy(buffer, descriptors_.data() + file.readOffset, count);
        file.readOffset += count;
        *result = static_cast<ssize_t>(count);
        return true;
    }

    bool write(int fd, const void*, size_t, ssize_t* result) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (files_.count(fd) == 0) return false;
        return fail(EINVAL, result);
    }

    void closed(int fd) override {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = files_.find(fd);
        if (found == files_.end()) return;
        // Closing releases the file's interfaces and cancels its transfers.
        for (uint8_t interface : found->second.claimed)
            claimedBy_.erase(interface);
        files_.erase(found);
        log_.add("close", devnum_);
    }

    bool ioctl(int fd, unsigned long request, void* argument, int* result) override;

private:
    static bool fail(int error, ssize_t* result) {
        errno = error;
        *result = -1;
        return true;
    }
    static bool fail(int error, int* result) {
        errno = error;
        *result = -1;
        return true;
    }
    static bool done(int value, int* result) {
        *result = value;
        return true;
    }

    const Configuration* active() const {
        for (const Configuration& config : configurations_)
            if (config.value == activeConfiguration_) return &config;
        return nullptr;
    }
    bool hasInterface(uint8_t interface) const {
        const Configuration* config = active();
        if (config == nullptr) return false;
        for (const AltSetting& alt : config->altSettings)
            if (alt.interfaceNumber == interface) return true;
        return false;
    }
    // The interface whose current alternate setting has `endpoint`, if any.
    int interfaceOfEndpoint(uint8_t endpoint) const {
        const Configuration* config = active();
        if (config == nullptr) return -1;
        for (const AltSetting& alt : config->altSettings) {
            auto current = altSetting_.find(alt.interfaceNumber);
            const uint8_t chosen = current == altSetting_.end() ? 0 : current->second;
            if (alt.alternateSetting == chosen && alt.endpoints.count(endpoint) != 0) return alt.interfaceNumber;
        }
        return -1;
    }
    // As usbfs: an interface the file uses without claiming is claimed for it,
    // which fails while a kernel driver or another file holds it.
    int claim(int fd, OpenFile& file, uint8_t interface) {
        if (!hasInterface(interface)) return ENOENT;
        if (file.claimed.count(interface) != 0) return 0;
        if (driverBound_.count(interface) != 0 || claimedBy_.count(interface) != 0) return EBUSY;
        file.claimed.insert(interface);
        claimedBy_[interface] = fd;
        return 0;
    }

    int control(int fd, OpenFile& file, usbdevfs_ctrltransfer* transfer, std::unique_lock<std::mutex>& lock);
    int submit(int fd, OpenFile& file, usbdevfs_urb* urb);
    // Gives every pending URB of `file` another chance to complete.
    void pump(OpenFile& file);
    bool reap(OpenFile& file, void** where, int* result);

    std::mutex mutex_;
    const bool readOnly_;
    std::shared_ptr<emulator::UsbFunction> function_;
    const std::string descriptors_;
    const std::vector<Configuration> configurations_;
    const unsigned devnum_;
    const std::shared_ptr<CallLog> logHolder_;
    CallLog& log_;
    bool gone_ = false;
    int activeConfiguration_ = 0;
    std::map<uint8_t, uint8_t> altSetting_;  // interface -> current alternate setting
    std::set<uint8_t> driverBound_;          // interfaces a kernel driver holds
    std::map<uint8_t, int> claimedBy_;       // interface -> file descriptor that claimed it
    std::map<int, OpenFile> files_;
    int neverWritable_ = -1;  // the eventfd each open file is a copy of
};

bool FakeUsbDevice::ioctl(int fd, unsigned long request, void* argument, int* result) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto found = files_.find(fd);
    if (found == files_.end()) return false;
    OpenFile& file = found->second;
    if (gone_ && request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_REAPURB) return fail(ENODEV, result);
    // usbfs takes no request on a file opened for reading only.
    if (!file.writable) return fail(EPERM, result);

    switch (request) {
    case USBDEVFS_CONNECTINFO: {
        auto* info = static_cast<usbdevfs_connectinfo*>(argument);
        info->devnum = devnum_;
        info->slow = 0;
        log_.add("connectinfo", devnum_);
        return done(0, result);
    }
    case USBDEVFS_GETDRIVER: {
        // The kernel driver bound to an interface; "usbfs" when a file claimed it.
        auto* driver = static_cast<usbdevfs_getdriver*>(argument);
        const auto interface = static_cast<uint8_t>(driver->interface);
        log_.add("getdriver", interface);
        const char* name = driverBound_.count(interface) != 0 ? "usblp"
                           : claimedBy_.count(interface) != 0 ? "usbfs"
                                                              : nullptr;
        if (name == nullptr) return fail(ENODATA, result);
        std::snprintf(driver->driver, sizeof driver->driver, "%s", name);
        return done(0, result);
    }
    case USBDEVFS_CLAIMINTERFACE: {
        const auto interface = static_cast<uint8_t>(*static_cast<unsigned int*>(argument));
        log_.add("claim", interface);
        const int error = claim(fd, file, interface);
        return error != 0 ? fail(error, result) : done(0, result);
    }
    case USBDEVFS_RELEASEINTERFACE: {
        const auto interface = static_cast<uint8_t>(*static_cast<unsigned int*>(argument));
        log_.add("release", interface);
        if (file.claimed.erase(interface) == 0) return fail(EINVAL, result);
        claimedBy_.erase(interface);
        return done(0, result);
    }
    case USBDEVFS_SETCONFIGURATION: {
        const int value = *static_cast<int*>(argument);
        log_.add("setconfig", static_cast<uint64_t>(value));
        // Never while anyone holds an interface: a kernel driver or a file.
        if (!driverBound_.empty() || !claimedBy_.empty()) return fail(EBUSY, result);
        bool known = value == 0;
        for (const Configuration& config : configurations_)
            known = known || config.value == value;
        if (!known) return fail(EINVAL, result);
        activeConfiguration_ = value;
        altSetting_.clear();
        return done(0, result);
    }
    case USBDEVFS_SETINTERFACE: {
        auto* set = static_cast<usbdevfs_setinterface*>(argument);
        log_.add("setintf", (set->interface << 8) | set->altsetting);
        const int error = claim(fd, file, static_cast<uint8_t>(set->interface));
        if (error != 0) return fail(error, result);
        const Configuration* config = active();
        for (const AltSetting& alt : config->altSettings) {
            if (alt.interfaceNumber == set->interface && alt.alternateSetting == set->altsetting) {
                altSetting_[alt.interfaceNumber] = alt.alternateSetting;
                return done(0, result);
            }
        }
        return fail(EINVAL, result);
    }
    case USBDEVFS_IOCTL: {
        auto* command = static_cast<usbdevfs_ioctl*>(argument);
        if (command->ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)) {
            log_.add("disconnect", static_cast<uint64_t>(command->ifno));
            if (driverBound_.erase(static_cast<uint8_t>(command->ifno)) == 0) return fail(ENODATA, result);
            return done(0, result);
        }
        // Requests for a kernel driver (the hub's port information): none here.
        return fail(driverBound_.count(static_cast<uint8_t>(command->ifno)) != 0 ? ENOTTY : ENODATA, result);
    }
    case USBDEVFS_CONTROL: {
        const int value = control(fd, file, static_cast<usbdevfs_ctrltransfer*>(argument), lock);
        return value < 0 ? fail(-value, result) : done(value, result);
    }
    case USBDEVFS_SUBMITURB: {
        const int error = submit(fd, file, static_cast<usbdevfs_urb*>(argument));
        return error != 0 ? fail(error, result) : done(0, result);
    }
    case USBDEVFS_DISCARDURB: {
        auto* urb = static_cast<usbdevfs_urb*>(argument);
        log_.add("discard", urb->endpoint);
        for (auto it = file.pending.begin(); it != file.pending.end(); ++it) {
            if (*it != urb) continue;
            file.pending.erase(it);
            urb->status = -ENOENT;
            urb->actual_length = 0;
            file.completed.push_back(urb);
            return done(0, result);
        }
        return fail(EINVAL, result);
    }
    case USBDEVFS_REAPURBNDELAY:
        return reap(file, static_cast<void**>(argument), result);
    case USBDEVFS_REAPURB:
        // Waits for a completion, as the kernel does (the USB library asks
        // only after discarding, so one is always on its way).
        for (;;) {
            reap(found->second, static_cast<void**>(argument), result);
            if (*result == 0 || errno != EAGAIN) return true;
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            lock.lock();
            found = files_.find(fd);
            if (found == files_.end()) return fail(EBADF, result);
        }
    default:
        return fail(ENOTTY, result);
    }
}

int FakeUsbDevice::control(int fd, OpenFile& file, usbdevfs_ctrltransfer* transfer,
                           std::unique_lock<std::mutex>& lock) {
    emulator::UsbSetup setup;
    setup.requestType = transfer->bRequestType;
    setup.request = transfer->bRequest;
    setup.value = transfer->wValue;
    setup.index = transfer->wIndex;
    setup.length = transfer->wLength;
    // Class and standard requests to an interface need it claimed, as usbfs
    // checks (vendor requests go through unchecked).
    if ((setup.requestType & 0x60) != 0x40 && (setup.requestType & 0x1F) == 1) {
        const int error = claim(fd, file, static_cast<uint8_t>(setup.index & 0xFF));
        if (error != 0) {
            log_.add("control", UsbPlug::SetupValue(setup));
            return -error;
        }
    }
    std::string out;
    if (!setup.toHost() && setup.length > 0 && transfer->data != nullptr)
        out.assign(static_cast<const char*>(transfer->data), setup.length);
    const emulator::UsbControlAnswer answer = function_->control(setup, out);
    if (answer.kind == emulator::UsbControlAnswer::Kind::Stall) {
        log_.add("control", UsbPlug::SetupValue(setup), {out.begin(), out.end()});
        return -EPIPE;
    }
    if (answer.kind == emulator::UsbControlAnswer::Kind::NoAnswer) {
        log_.add("control", UsbPlug::SetupValue(setup), {out.begin(), out.end()});
        // The device never ends the transfer: the time limit does (none: a
        // long while, so a test sees a hang as a slow failure).
        const unsigned int waitMs = transfer->timeout != 0 ? transfer->timeout : 60000;
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
        lock.lock();
        return -ETIMEDOUT;
    }
    if (!setup.toHost()) {
        log_.add("control", UsbPlug::SetupValue(setup), {out.begin(), out.end()});
        return setup.length;
    }
    const std::size_t count = answer.data.size() < setup.length ? answer.data.size() : setup.length;
    if (count > 0) std::memcpy(transfer->data, answer.data.data(), count);
    log_.add("control", UsbPlug::SetupValue(setup), {answer.data.begin(), answer.data.begin() + count});
    return static_cast<int>(count);
}

int FakeUsbDevice::submit(int fd, OpenFile& file, usbdevfs_urb* urb) {
    if (urb->type != USBDEVFS_URB_TYPE_BULK) return EINVAL;
    const int interface = interfaceOfEndpoint(urb->endpoint);
    if (interface < 0) return ENOENT;
    const int error = claim(fd, file, static_cast<uint8_t>(interface));
    if (error != 0) return error;
    urb->status = -EINPROGRESS;
    urb->actual_length = 0;
    file.pending.push_back(urb);
    pump(file);
    return 0;
}

void FakeUsbDevice::pump(OpenFile& file) {
    for (auto it = file.pending.begin(); it != file.pending.end();) {
        usbdevfs_urb* urb = *it;
        const auto length = static_cast<std::size_t>(urb->buffer_length);
        bool complete = false;
        if ((urb->endpoint & 0x80) == 0) {
            const std::string data(static_cast<const char*>(urb->buffer), length);
            if (function_->bulkOut(urb->endpoint, data)) {
                urb->actual_length = static_cast<int>(length);
                log_.add("bulk-out", (length << 8) | urb->endpoint, {data.begin(), data.end()});
                complete = true;
            }
        } else {
            std::optional<std::string> data = function_->bulkIn(urb->endpoint, length);
            if (data) {
                const std::size_t count = data->size() < length ? data->size() : length;
                std::memcpy(urb->buffer, data->data(), count);
                urb->actual_length = static_cast<int>(count);
                log_.add("bulk-in", (length << 8) | urb->endpoint, {data->begin(), data->begin() + count});
                complete = true;
            }
        }
        if (!complete) {
            ++it;
            continue;
        }
        urb->status = 0;
        file.completed.push_back(urb);
        it = file.pending.erase(it);
    }
}

bool FakeUsbDevice::reap(OpenFile& file, void** where, int* result) {
    if (!gone_) pump(file);
    if (file.completed.empty()) return fail(gone_ ? ENODEV : EAGAIN, result);
    *where = file.completed.front();
    file.completed.erase(file.completed.begin());
    return done(0, result);
}

// ---------------------------------------------------------------------------

uint64_t UsbPlug::SetupValue(const emulator::UsbSetup& setup) {
    return (static_cast<uint64_t>(setup.requestType) << 56) | (static_cast<uint64_t>(setup.request) << 48) |
           (static_cast<uint64_t>(setup.value) << 32) | (static_cast<uint64_t>(setup.index) << 16) | setup.length;
}

emulator::UsbSetup UsbPlug::SetupOf(const CallLog::Entry& entry) {
    emulator::UsbSetup setup;
    setup.requestType = static_cast<uint8_t>(entry.value >> 56);
    setup.request = static_cast<uint8_t>(entry.value >> 48);
    setup.value = static_cast<uint16_t>(entry.value >> 32);
    setup.index = static_cast<uint16_t>(entry.value >> 16);
    setup.length = static_cast<uint16_t>(entry.value);
    return setup;
}

UsbPlug::UsbPlug(std::shared_ptr<emulator::UsbFunction> function, const UsbPlugOptions& options)
    : function_(std::move(function)), options_(options) {
    replug();
}

UsbPlug::~UsbPlug() { unplug(); }

void UsbPlug::replug() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (device_) return;
    path_ = UsbHost::Instance().nextDevicePath(options_.bus);
    const auto devnum = static_cast<unsigned>(std::strtoul(path_.c_str() + path_.rfind('/') + 1, nullptr, 10));
    device_ = std::make_shared<FakeUsbDevice>(function_, devnum, log_, options_);
    // Registered before the file appears, so a bus scan that sees the file
    // always reaches the device.
    registration_ = std::make_unique<DeviceRegistration>(path_, device_);
    std::ofstream(path_, std::ios::binary) << device_->descriptors();
    function_->attached(true);
}

void UsbPlug::unplug() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!device_) return;
    ::unlink(path_.c_str());
    registration_.reset();
    device_->disconnect();
    device_.reset();
    UsbHost::Instance().releaseDevicePath(path_);
    function_->attached(false);
}

bool UsbPlug::plugged() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return device_ != nullptr;
}

std::string UsbPlug::path() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return path_;
}

CallLog& UsbPlug::log() const { return *log_; }

// ---------------------------------------------------------------------------

UsbHost& UsbHost::Instance() {
    static UsbHost* host = new UsbHost;  // outlives every plug, even static ones
    return *host;
}

UsbHost::UsbHost() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/quenvar-usb-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create the USB device directory");
    root_ = pattern;
    // The USB library takes a directory as the device tree only when it holds
    // something: bus 001 is always there.
    ::mkdir((root_ + "/001").c_str(), 0755);
    ::setenv("USB_DEVFS_PATH", root_.c_str(), 1);
    // Gone with the process (without starting one: a shell would inherit a
    // preloaded printer).
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(Instance().root(), ignored);
    });
}

UsbHost::~UsbHost() = default;

std::unique_ptr<UsbPlug> UsbHost::plug(std::shared_ptr<emulator::UsbFunction> function, unsigned bus) {
    UsbPlugOptions options;
    options.bus = bus;
    return plug(std::move(function), options);
}

std::unique_ptr<UsbPlug> UsbHost::plug(std::shared_ptr<emulator::UsbFunction> function, const UsbPlugOptions& options) {
    return std::unique_ptr<UsbPlug>(new UsbPlug(std::move(function), options));
}

std::string UsbHost::nextDevicePath(unsigned bus) {
    if (bus < 1 || bus > 999) throw std::invalid_argument("USB bus numbers are 1 to 999");
    std::lock_guard<std::mutex> lock(mutex_);
    char busName[4], deviceName[4];
    std::snprintf(busName, sizeof busName, "%03u", bus);
    ::mkdir((root_ + "/" + busName).c_str(), 0755);
    // Device 1 is the bus's root hub; numbers go round after 127 as on a real
    // bus, past the numbers of devices still plugged in (their files).
    unsigned& next = nextDevice_[bus];
    for (int tries = 0; tries < 126; ++tries) {
        next = next < 2 || next >= 127 ? 2 : next + 1;
        std::snprintf(deviceName, sizeof deviceName, "%03u", next);
        std::string path = root_ + "/" + busName + "/" + deviceName;
        if (inUse_.insert(path).second) return path;
    }
    throw std::runtime_error("USB bus " + std::string(busName) + " has 126 devices plugged in already");
}

void UsbHost::releaseDevicePath(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    inUse_.erase(path);
}

}  // namespace testsupport
