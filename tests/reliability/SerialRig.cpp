// The serial printer in the reliability runs: a SerialPrinter on a
// pseudo-terminal of its own, reached through the test rig's serial line.
#include <unistd.h>

#include <atomic>

#include "Transports.h"
#include "emulator/SerialPrinter.h"
#include "quenvar.h"
#include "tests/support/SerialLine.h"

namespace reliability {

namespace {

// Wider than the other tables' 100 ms: the printer answers each status
// request from a thread of its own, which on a busy machine (the whole test
// suite at once) has missed 100 ms, and a status call then rightly finds the
// printer silent instead of offline.
constexpr unsigned kTimeoutMs = 300;
constexpr const char* kSettings = "9600,n,8,1,n";

// The serial line with what the host reads from it turned into noise of the
// same length while garbling is on.
class GarblingLine : public testsupport::FakeDevice {
public:
    explicit GarblingLine(std::shared_ptr<testsupport::SerialLine> line) : line_(std::move(line)) {}
    void setGarbling(bool on) { garbling_ = on; }

    int open(const std::string& path, int flags) override { return line_->open(path, flags); }
    bool ioctl(int fd, unsigned long request, void* argument, int* result) override {
        return line_->ioctl(fd, request, argument, result);
    }
    bool write(int fd, const void* buffer, size_t size, ssize_t* result) override {
        return line_->write(fd, buffer, size, result);
    }
    bool read(int fd, void* buffer, size_t size, ssize_t* result) override {
        *result = testsupport::RealRead(fd, buffer, size);
        if (garbling_ && *result > 0)
            for (ssize_t i = 0; i < *result; ++i)
                static_cast<char*>(buffer)[i] = kNoise[static_cast<std::size_t>(i) % kNoise.size()];
        return true;
    }
    void closed(int fd) override { line_->closed(fd); }

private:
    std::shared_ptr<testsupport::SerialLine> line_;
    std::atomic<bool> garbling_{false};
};

class SerialRigPrinter : public RigPrinter {
public:
    SerialRigPrinter() : printer_(std::make_shared<emulator::SerialPrinter>()) {
        printer_->start();
        std::shared_ptr<emulator::SerialPrinter> printer = printer_;
        auto line = std::make_shared<testsupport::SerialLine>(printer_->devicePath(),
                                                              [printer] { return printer->dataSetReady(); });
        line->log().setRecording(false);  // thousands of jobs; nothing reads it
        wire_ = std::make_shared<GarblingLine>(line);
        static std::atomic<unsigned> next{0};
        name_ = "/dev/ttyQVRL" + std::to_string(getpid()) + "-" + std::to_string(next++);
        registration_ = std::make_unique<testsupport::DeviceRegistration>(name_, wire_);
    }
    ~SerialRigPrinter() override {
        registration_.reset();
        printer_->stop();
    }
    std::string portName() const override { return name_; }
    std::shared_ptr<emulator::PrinterModel> sharedModel() override { return printer_->sharedModel(); }
    // Every reply the host reads (status bytes, job answers) comes as noise.
    void setGarbageAnswers(bool on) override { wire_->setGarbling(on); }

private:
    std::shared_ptr<emulator::SerialPrinter> printer_;
    std::shared_ptr<GarblingLine> wire_;
    std::string name_;
    std::unique_ptr<testsupport::DeviceRegistration> registration_;
};

Bounds SerialBounds(unsigned timeoutMs) {
    Bounds b;
    b.open = timeoutMs;   // opening sets the line up; nothing waits for the printer
    b.write = timeoutMs;  // 40 bytes drained
    b.block = QUENVAR_CHECKED_BLOCK_BOUND_MS(timeoutMs);
    b.status = 9 * timeoutMs;  // four requests, each reply waited for, and once the clearing block
    b.close = timeoutMs;
    return b;
}

}  // namespace

std::vector<TransportTable> SerialMatrixTables() {
    using F = Fault;
    using J = JobEnd;
    using M = Moment;
    TransportTable t;
    t.name = "Serial line";
    t.about =
        "A printer on a pseudo-terminal of its own behind the serial test rig (emulated modem lines), "
        "answering real-time status requests (DLE EOT n) and the completion commands.";
    t.settings = kSettings;
    t.timeoutMs = kTimeoutMs;
    t.bounds = SerialBounds(kTimeoutMs);
    t.boundsNote =
        "A read waits at most the time limit (in 20 ms looks); a status call makes up to four requests, "
        "each with its read and, when none came, the clearing block and one more read; every checked-block "
        "call ends by QUENVAR_CHECKED_BLOCK_BOUND_MS.";
    t.bringUp = [] { return std::make_unique<SerialRigPrinter>(); };
    t.addedBytes = std::string(1, '\0');  // the clearing block
    t.cells = {
        {F::Silent, M::AfterOpen, {{J::BeginOffline}, 0, 0, true}},
        {F::ConnectionLost, M::MidJob, {{J::WriteFailed}, 0, 0, false}},
        {F::Garbage, M::AfterOpen, {{J::BeginOffline}, 1, 1, true}},
        {F::ErrorAnswer, M::AfterOpen, {{J::EndError}, 1, 0, true}},
        {F::OfflineMidJob, M::MidJob, {{J::EndOffline}, 1, 1, true}},
        {F::CoverOpen, M::BeforeOpen, {{J::BeginOffline}, 1, 1, true}},
        {F::PaperOut, M::BeforeOpen, {{J::BeginOffline}, 1, 1, true}},
        {F::VerySlow, M::BeforeOpen, {{J::EndOffline}, 1, 0, true}},
        {F::Flood, M::AfterOpen, {{J::BeginOffline}, 1, 1, true}},
    };
    return {t};
}

}  // namespace reliability

namespace reliability {

StressTransport SerialStressTransport() {
    StressTransport t;
    t.name = "serial";
    t.settings = kSettings;
    t.timeoutMs = 200;
    t.maxPrinters = 64;  // a pseudo-terminal and a thread each
    t.bringUp = [](unsigned) { return std::make_unique<SerialRigPrinter>(); };
    t.addedBytes = std::string(1, '\0');  // the clearing block
    t.faults = {OfflineForAJob(), PaperOutForAJob(), ErrorAnswer(), Noise()};
    t.bounds = SerialBounds(t.timeoutMs);
    // The job end's 100 ms pause, and each read that gets the printer's reply
    // looks once more 20 ms later for the rest: two status requests and the
    // job begin poll before the job, the job end answer after it.
    // As measured on an idle printer (time limit 200 ms): the job end's 100 ms
    // pause and the 20 ms looks of each reply read; a printer that stops
    // answering makes the job end's read wait out the limit twice (before
    // and after the clearing block).
    t.mandatedMs = [](const std::string& fault, JobEnd end) -> unsigned {
        switch (end) {
        case JobEnd::EndError:
        case JobEnd::Confirmed:
            return 200;
        case JobEnd::EndOffline:
            return fault == "offline" || fault == "paper out" ? 600 : 190;
        default:
            return 0;
        }
    };
    return t;
}

}  // namespace reliability
