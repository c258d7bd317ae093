// The parallel printer in the reliability runs: a ParallelPrinter behind an
// emulated parallel port device of its own name.
#include <unistd.h>

#include <atomic>

#include "Transports.h"
#include "emulator/ParallelPrinter.h"
#include "quenvar.h"
#include "tests/support/ParallelPortDevice.h"

namespace reliability {

namespace {

constexpr unsigned kTimeoutMs = 100;
// Every pause of the port's status exchange and checked blocks.
constexpr unsigned kPauseMs = 100;

// The port device with what the host reads over the reverse channel turned
// into noise of the same length while garbling is on.
class GarblingPort : public testsupport::FakeDevice {
public:
    explicit GarblingPort(std::shared_ptr<testsupport::ParallelPortDevice> port) : port_(std::move(port)) {}
    void setGarbling(bool on) { garbling_ = on; }

    int open(const std::string& path, int flags) override { return port_->open(path, flags); }
    bool ioctl(int fd, unsigned long request, void* argument, int* result) override {
        return port_->ioctl(fd, request, argument, result);
    }
    bool write(int fd, const void* buffer, size_t size, ssize_t* result) override {
        return port_->write(fd, buffer, size, result);
    }
    bool read(int fd, void* buffer, size_t size, ssize_t* result) override {
        const bool handled = port_->read(fd, buffer, size, result);
        if (!handled) *result = testsupport::RealRead(fd, buffer, size);
        if (garbling_ && *result > 0)
            for (ssize_t i = 0; i < *result; ++i)
                static_cast<char*>(buffer)[i] = kNoise[static_cast<std::size_t>(i) % kNoise.size()];
        return true;
    }
    void closed(int fd) override { port_->closed(fd); }

private:
    std::shared_ptr<testsupport::ParallelPortDevice> port_;
    std::atomic<bool> garbling_{false};
};

class ParallelRigPrinter : public RigPrinter {
public:
    ParallelRigPrinter() : printer_(std::make_shared<emulator::ParallelPrinter>()) {
        std::shared_ptr<emulator::ParallelPrinter> printer = printer_;
        auto port = std::make_shared<testsupport::ParallelPortDevice>(
            testsupport::ParallelPeripheral{[printer](int printerEnd) { printer->attach(printerEnd); },
                                            [printer] { return printer->statusLines(); }, nullptr});
        port->log().setRecording(false);  // thousands of jobs; nothing reads it
        wire_ = std::make_shared<GarblingPort>(port);
        static std::atomic<unsigned> next{0};
        name_ = "/dev/parport-rl-" + std::to_string(getpid()) + "-" + std::to_string(next++);
        registration_ = std::make_unique<testsupport::DeviceRegistration>(name_, wire_);
    }
    ~ParallelRigPrinter() override { registration_.reset(); }
    std::string portName() const override { return name_; }
    std::shared_ptr<emulator::PrinterModel> sharedModel() override { return printer_->sharedModel(); }
    // Every reply the host reads (status blocks and bytes, job answers) comes as noise.
    void setGarbageAnswers(bool on) override { wire_->setGarbling(on); }

private:
    std::shared_ptr<emulator::ParallelPrinter> printer_;
    std::shared_ptr<GarblingPort> wire_;
    std::string name_;
    std::unique_ptr<testsupport::DeviceRegistration> registration_;
};

Bounds ParallelBounds(unsigned timeoutMs) {
    Bounds b;
    // Opening claims the port and hands the time limit to the driver; it
    // waits for nothing on the printer's side of the cable.
    b.open = timeoutMs;
    // One write on the non-blocking device: the driver waits a moment for a
    // busy printer, then takes nothing.
    b.write = timeoutMs;
    b.block = QUENVAR_CHECKED_BLOCK_BOUND_MS(timeoutMs);
    // At most eight pauses, every read one look without waiting.
    b.status = 8 * kPauseMs + timeoutMs;
    b.close = timeoutMs;
    return b;
}

}  // namespace

std::vector<TransportTable> ParallelMatrixTables() {
    using F = Fault;
    using J = JobEnd;
    using M = Moment;
    TransportTable t;
    t.name = "Parallel port";
    t.about =
        "A printer behind an emulated parallel port device of its own name (ppdev requests, status lines, "
        "the reverse channel), with ESC/POS automatic status. A printer lost closes its end of the cable; the "
        "port is the computer's and stays, so `OpenPort` opens it again.";
    t.settings = "";
    t.timeoutMs = kTimeoutMs;
    t.bounds = ParallelBounds(kTimeoutMs);
    t.boundsNote =
        "The time limit is handed to the driver once and bounds none of these calls: `OpenPort` and "
        "`ClosePort` wait for nothing on the printer, `WritePort` is one write that the driver gives up on "
        "after a moment while the printer is busy, and `GetParsedStatusEx` makes at most eight 100 ms pauses, "
        "each of its reads one look without waiting. `ReadPort`, which a job does not call, looks every 10 ms "
        "for up to 1000 ms whatever the time limit. Every checked-block call ends by "
        "QUENVAR_CHECKED_BLOCK_BOUND_MS.";
    t.bringUp = [] { return std::make_unique<ParallelRigPrinter>(); };
    t.absentNote = "The parallel port is the computer's own: the printer on its cable leaves no bus.";
    t.cells = {
        {F::Silent, M::AfterOpen, {{J::BeginOffline}, 0, 0, true}},
        {F::ConnectionLost, M::MidJob, {{J::WriteFailed}, 0, 0, true}},
        {F::Garbage, M::AfterOpen, {{J::BeginOffline}, 0, 0, true}},
        {F::ErrorAnswer, M::AfterOpen, {{J::EndError}, 1, 0, true}},
        {F::OfflineMidJob, M::MidJob, {{J::EndOffline}, 1, 1, true}},
        {F::CoverOpen, M::BeforeOpen, {{J::BeginOffline}, 1, 1, true}},
        {F::PaperOut, M::BeforeOpen, {{J::BeginOffline}, 1, 1, true}},
        {F::VerySlow, M::BeforeOpen, {{J::EndOffline}, 1, 0, true}},
        {F::Flood, M::AfterOpen, {{J::BeginOffline}, 0, 0, true}},
    };
    return {t};
}

StressTransport ParallelStressTransport() {
    StressTransport t;
    t.name = "parallel";
    t.settings = "";
    // Bounds only the checked blocks here: 2 s, room for a busy machine.
    t.timeoutMs = 200;
    t.maxPrinters = 64;  // a socket pair and a thread each
    t.bringUp = [](unsigned) { return std::make_unique<ParallelRigPrinter>(); };
    t.faults = {OfflineForAJob(), PaperOutForAJob(), ErrorAnswer(), Noise()};
    t.bounds = ParallelBounds(t.timeoutMs);
    // The port's 100 ms pauses on an idle printer. The job begin: the status
    // exchange finds no block waiting, switches automatic status on and
    // takes the block (three pauses), then the pause after the job begin and
    // one poll cycle (three). The job end: one pause, then the answer, or the
    // block that reports the printer offline. A job right after a fault was
    // taken away finds the printer's new block waiting and takes one pause
    // less.
    t.mandatedMs = [](const std::string&, JobEnd end) -> unsigned {
        switch (end) {
        case JobEnd::BeginOffline:
            return 2 * kPauseMs;
        case JobEnd::EndError:
        case JobEnd::EndOffline:
        case JobEnd::Confirmed:
            return 7 * kPauseMs;
        default:
            return 0;
        }
    };
    return t;
}

}  // namespace reliability
