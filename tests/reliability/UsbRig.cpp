// The USB printers in the reliability runs: a virtual printer of either route
// plugged into the test process's emulated USB host, under a serial number of
// its own.
#include <atomic>
#include <cstdio>

#include "Transports.h"
#include "emulator/UsbClassPrinter.h"
#include "emulator/UsbVendorPrinter.h"
#include "quenvar.h"
#include "tests/support/FakeUsb.h"

namespace reliability {

namespace {

constexpr unsigned kTimeoutMs = 100;
constexpr unsigned kVendorBus = 1;
constexpr unsigned kClassBus = 2;

// "RL000001", "RL000002", ...: eight characters, as the name grammar wants.
std::string NextSerial() {
    static std::atomic<unsigned> next{1};
    char serial[16];
    std::snprintf(serial, sizeof serial, "RL%06u", next++ % 1000000);
    return serial;
}

// The printer as the host sees it, with what it sends on the bulk IN pipe
// turned into noise of the same length while garbling is on.
class GarblingFunction : public emulator::UsbFunction {
public:
    explicit GarblingFunction(std::shared_ptr<emulator::UsbFunction> device) : device_(std::move(device)) {}
    void setGarbling(bool on) { garbling_ = on; }

    std::string descriptors() const override { return device_->descriptors(); }
    std::vector<uint8_t> kernelDriverInterfaces() const override { return device_->kernelDriverInterfaces(); }
    emulator::UsbControlAnswer control(const emulator::UsbSetup& setup, const std::string& dataOut) override {
        return device_->control(setup, dataOut);
    }
    bool bulkOut(uint8_t endpoint, const std::string& data) override { return device_->bulkOut(endpoint, data); }
    std::optional<std::string> bulkIn(uint8_t endpoint, std::size_t length) override {
        std::optional<std::string> data = device_->bulkIn(endpoint, length);
        if (data && garbling_)
            for (std::size_t i = 0; i < data->size(); ++i)
                (*data)[i] = kNoise[i % kNoise.size()];
        return data;
    }
    void attached(bool plugged) override { device_->attached(plugged); }

private:
    std::shared_ptr<emulator::UsbFunction> device_;
    std::atomic<bool> garbling_{false};
};

template <class Printer>
class UsbRigPrinter : public RigPrinter {
public:
    // bus: each route has a bus of its own, as a bus holds 126 devices at most.
    UsbRigPrinter(const char* prefix, unsigned bus) : serial_(NextSerial()) {
        emulator::UsbPrinterOptions options;
        options.serialNumber = std::u16string(serial_.begin(), serial_.end());
        printer_ = std::make_shared<Printer>(options);
        wire_ = std::make_shared<GarblingFunction>(printer_);
        plug_ = testsupport::UsbHost::Instance().plug(wire_, bus);
        plug_->log().setRecording(false);  // thousands of jobs; nothing reads it
        name_ = std::string(prefix) + ";sn:" + serial_;
    }
    // Every answer on the bulk IN pipe (status blocks, replies, job answers) comes as noise.
    void setGarbageAnswers(bool on) override { wire_->setGarbling(on); }
    std::string portName() const override { return name_; }
    // The model lives in the device: shared through it.
    std::shared_ptr<emulator::PrinterModel> sharedModel() override {
        return std::shared_ptr<emulator::PrinterModel>(printer_, &printer_->model());
    }
    void loseConnection() override { plug_->unplug(); }
    bool unplug() override {
        plug_->unplug();
        return true;
    }
    bool replug() override {
        plug_->replug();
        return true;
    }

private:
    std::string serial_;
    std::shared_ptr<Printer> printer_;
    std::shared_ptr<GarblingFunction> wire_;
    std::unique_ptr<testsupport::UsbPlug> plug_;
    std::string name_;
};

Bounds UsbBounds() {
    Bounds b;
    b.open = 4 * kTimeoutMs;   // the bus search's requests
    b.write = 3 * kTimeoutMs;  // a reopening, then the transfer
    b.block = QUENVAR_CHECKED_BLOCK_BOUND_MS(kTimeoutMs);
    b.status = QUENVAR_CHECKED_BLOCK_BOUND_MS(kTimeoutMs);
    b.close = kTimeoutMs;
    return b;
}

}  // namespace

std::vector<TransportTable> UsbMatrixTables() {
    using F = Fault;
    using J = JobEnd;
    using M = Moment;
    testsupport::UsbHost::Instance();  // set up before any thread uses the USB library
    TransportTable vendor;
    vendor.name = "USB, vendor route";
    vendor.about =
        "A printer on the maker's vendor-specific USB route, plugged into the emulated USB host under a "
        "serial number of its own (\"usbven:;sn:...\"); jobs are confirmed by its ETB counter.";
    vendor.settings = "";
    vendor.timeoutMs = kTimeoutMs;
    vendor.bounds = UsbBounds();
    vendor.boundsNote =
        "Each transfer waits at most the time limit; a status call reads the status block and, when none is "
        "waiting, asks for one and reopens the device; every checked-block call ends by "
        "QUENVAR_CHECKED_BLOCK_BOUND_MS.";
    vendor.bringUp = [] { return std::make_unique<UsbRigPrinter<emulator::UsbVendorPrinter>>("usbven:", kVendorBus); };
    vendor.addedBytes = "\x17";  // the ETB that ends each job
    vendor.absentNote =
        "The vendor route confirms a job by the printer's ETB counter; the printer has no answer to the job "
        "end that could carry an error.";
    vendor.cells = {
        {F::Silent, M::AfterOpen, {{J::BeginError}, 0, 0, true}},
        {F::ConnectionLost, M::MidJob, {{J::WriteFailed}, 0, 0, false}},
        {F::UnplugReplug, M::MidJob, {{J::WriteFailed}, 1, 0, true}},
        {F::Garbage, M::AfterOpen, {{J::BeginError}, 0, 0, true}},
        {F::OfflineMidJob, M::MidJob, {{J::EndOffline}, 1, 1, true}},
        {F::CoverOpen, M::BeforeOpen, {{J::BeginOffline}, 1, 1, true}},
        {F::PaperOut, M::BeforeOpen, {{J::BeginOffline}, 1, 1, true}},
        {F::VerySlow, M::BeforeOpen, {{J::EndOffline}, 1, 0, true}},
        {F::Flood, M::AfterOpen, {{J::BeginError}, 0, 0, true}},
    };

    TransportTable printerClass = vendor;
    printerClass.name = "USB, printer class";
    printerClass.about =
        "A printer on the USB printer class, plugged into the emulated USB host under a serial number of its "
        "own (\"usbprn:;sn:...\"), with ESC/POS status.";
    printerClass.bringUp = [] {
        return std::make_unique<UsbRigPrinter<emulator::UsbClassPrinter>>("usbprn:", kClassBus);
    };
    printerClass.addedBytes.clear();
    printerClass.absentNote.clear();
    printerClass.cells = {
        {F::Silent, M::AfterOpen, {{J::BeginOffline}, 0, 0, true}},
        {F::ConnectionLost, M::MidJob, {{J::WriteFailed}, 0, 0, false}},
        {F::UnplugReplug, M::MidJob, {{J::WriteFailed}, 1, 0, true}},
        {F::Garbage, M::AfterOpen, {{J::BeginOffline}, 0, 0, true}},
        {F::ErrorAnswer, M::AfterOpen, {{J::EndError}, 1, 0, true}},
        {F::OfflineMidJob, M::MidJob, {{J::EndOffline}, 1, 1, true}},
        {F::CoverOpen, M::BeforeOpen, {{J::BeginOffline}, 1, 1, true}},
        {F::PaperOut, M::BeforeOpen, {{J::BeginOffline}, 1, 1, true}},
        {F::VerySlow, M::BeforeOpen, {{J::EndOffline}, 1, 0, true}},
        {F::Flood, M::AfterOpen, {{J::BeginOffline}, 0, 0, true}},
    };
    return {vendor, printerClass};
}

}  // namespace reliability

namespace reliability {

namespace {

constexpr unsigned kStressTimeoutMs = 100;

StressTransport UsbStress(const char* name, const char* prefix, bool vendor) {
    StressTransport t;
    t.name = name;
    t.settings = "";
    t.timeoutMs = kStressTimeoutMs;
    t.maxPrinters = 64;  // every opening walks every bus
    if (vendor)
        t.bringUp = [prefix](unsigned) {
            return std::make_unique<UsbRigPrinter<emulator::UsbVendorPrinter>>(prefix, kVendorBus);
        };
    else
        t.bringUp = [prefix](unsigned) {
            return std::make_unique<UsbRigPrinter<emulator::UsbClassPrinter>>(prefix, kClassBus);
        };
    t.faults = {OfflineForAJob(), PaperOutForAJob(), UnplugReplug()};
    if (!vendor) t.faults.push_back(ErrorAnswer());
    t.bounds = UsbBounds();
    if (vendor) t.addedBytes = "\x17";
    // As measured on an idle printer (time limit 100 ms). Vendor route: each
    // status read waits out the limit while no block is waiting, four times
    // a job. Printer class: the 100 ms pauses of its requests and polls, and
    // the reads that wait out the limit on a pipe with nothing to say (many
    // of them while an offline printer is asked for its status).
    t.mandatedMs = [vendor](const std::string& fault, JobEnd end) -> unsigned {
        const bool stopped = fault == "offline" || fault == "paper out";
        switch (end) {
        case JobEnd::WriteFailed:
            return vendor ? 200 : 300;
        case JobEnd::EndError:
            return vendor ? 200 : 400;
        case JobEnd::Confirmed:
            return 400;
        case JobEnd::EndOffline:
            return vendor ? 400 : stopped ? 1300 : 300;
        default:
            return 0;
        }
    };
    return t;
}

}  // namespace

std::vector<StressTransport> UsbStressTransports() {
    testsupport::UsbHost::Instance();  // set up before any thread uses the USB library
    return {UsbStress("USB vendor route", "usbven:", true), UsbStress("USB printer class", "usbprn:", false)};
}

}  // namespace reliability
