#include "emulator/SerialPrinter.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace emulator {

SerialPrinter::SerialPrinter() : SerialPrinter(Options{}) {}

SerialPrinter::SerialPrinter(Options options, std::shared_ptr<PrinterModel> model)
    : StreamFrontEnd(std::move(model)), options_(options) {
    this->model().setAnswerRealTimeRequests(true);
    this->model().setPrintSpeed(options_.printSpeedBps);
}

SerialPrinter::~SerialPrinter() { stop(); }

void SerialPrinter::start() {
    if (threadRunning()) throw std::runtime_error("virtual printer already started");
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) throw std::runtime_error(std::string("no pseudo-terminal: ") + std::strerror(errno));
    const char* name = nullptr;
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || (name = ::ptsname(master)) == nullptr) {
        const int error = errno;
        ::close(master);
        throw std::runtime_error(std::string("cannot set up the pseudo-terminal: ") + std::strerror(error));
    }
    const std::string path = name;
    const int slave = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        const int error = errno;
        ::close(master);
        throw std::runtime_error("cannot open " + path + ": " + std::strerror(error));
    }
    // Raw until the host sets the line up: nothing the printer sends is
    // echoed back to it or changed before the host has a say.
    termios attributes{};
    if (::tcgetattr(slave, &attributes) == 0) {
        ::cfmakeraw(&attributes);
        ::tcsetattr(slave, TCSANOW, &attributes);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        devicePath_ = path;
        slave_ = slave;
    }
    attachHost(master, Clock::now());
    startThread();
}

void SerialPrinter::stop() {
    stopThread();  // closes the master
    std::lock_guard<std::mutex> lock(mutex_);
    if (slave_ >= 0) ::close(slave_);
    slave_ = -1;
}

std::string SerialPrinter::devicePath() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return devicePath_;
}

bool SerialPrinter::dataSetReady() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (forcedDsr_) return *forcedDsr_;
    }
    return threadRunning() && !model().status().reportsOffline();
}

void SerialPrinter::forceDataSetReady(std::optional<bool> level) {
    std::lock_guard<std::mutex> lock(mutex_);
    forcedDsr_ = level;
}

}  // namespace emulator
