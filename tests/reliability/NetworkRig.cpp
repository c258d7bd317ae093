// The network printer in the reliability runs: a NetworkPrinter of its own
// on a free loopback address, in both ways a network printer gives its status.
#include "Transports.h"
#include "emulator/NetworkPrinter.h"
#include "quenvar.h"

namespace reliability {

namespace {

constexpr unsigned kTimeoutMs = 100;

class NetworkRigPrinter : public RigPrinter {
public:
    explicit NetworkRigPrinter(const emulator::NetworkPrinter::Options& options) : printer_(options) {
        printer_.start();
    }
    std::string portName() const override { return printer_.portName(); }
    std::shared_ptr<emulator::PrinterModel> sharedModel() override { return printer_.sharedModel(); }
    emulator::NetworkPrinter& wire() { return printer_; }

private:
    emulator::NetworkPrinter printer_;
};

emulator::NetworkPrinter::Options AutomaticStatus() { return {}; }

emulator::NetworkPrinter::Options StatusPort() {
    emulator::NetworkPrinter::Options options;
    options.modelName = "QRX450NET";
    options.automaticStatus = false;
    return options;
}

Bounds NetworkBounds(unsigned statusExchanges) {
    Bounds b;
    b.open = 3 * kTimeoutMs;   // connect, discovery, opening status
    b.write = 3 * kTimeoutMs;  // a reconnection (connect, opening status), then the send
    b.block = QUENVAR_CHECKED_BLOCK_BOUND_MS(kTimeoutMs);
    b.status = statusExchanges * kTimeoutMs;
    b.close = kTimeoutMs;  // the printer's close of its side
    return b;
}

// The status port answers with noise too.
void GarbageOnBothPorts(RigPrinter& printer) {
    printer.setGarbageAnswers(true);
    static_cast<NetworkRigPrinter&>(printer).wire().setStatusPortReply(kNoise);
}

}  // namespace

std::vector<TransportTable> NetworkMatrixTables() {
    using F = Fault;
    using J = JobEnd;
    using M = Moment;
    TransportTable automatic;
    automatic.name = "Network, status on the data connection";
    automatic.about =
        "A printer on its own loopback address that sends its status on the data connection (Velmar ASB "
        "frames, settings \"9100\").";
    automatic.settings = "9100";
    automatic.timeoutMs = kTimeoutMs;
    automatic.bounds = NetworkBounds(3);
    automatic.boundsNote =
        "Each is a number of waits of the time limit: `OpenPort` and a reconnection connect and read the "
        "opening status; a status call may reconnect, then drains what waits for at most the time limit; "
        "every checked-block call ends by QUENVAR_CHECKED_BLOCK_BOUND_MS.";
    automatic.bringUp = [] { return std::make_unique<NetworkRigPrinter>(AutomaticStatus()); };
    automatic.cells = {
        {F::Silent, M::AfterOpen, {{J::BeginOffline}, 0, 0, false}},
        {F::ConnectionLost, M::MidJob, {{J::WriteFailed, J::EndOffline}, 1, 0, true}},
        {F::Garbage, M::AfterOpen, {{J::BeginError}, -1, 0, true}},
        {F::ErrorAnswer, M::AfterOpen, {{J::EndError}, 1, 0, true}},
        {F::OfflineMidJob, M::MidJob, {{J::EndOffline}, 1, 1, true}},
        {F::CoverOpen, M::BeforeOpen, {{J::BeginOffline}, 1, 1, true}},
        {F::PaperOut, M::BeforeOpen, {{J::BeginOffline}, 1, 1, true}},
        {F::VerySlow, M::BeforeOpen, {{J::EndOffline}, 1, 0, true}},
        {F::Flood, M::AfterOpen, {{J::BeginError}, -1, 0, true}},
    };

    TransportTable onRequest = automatic;
    onRequest.name = "Network, status from port 9101";
    onRequest.about =
        "A printer on its own loopback address that sends no status on the data connection and answers "
        "each status request on TCP port 9101 (settings \"9101\").";
    onRequest.settings = "9101";
    onRequest.bounds = NetworkBounds(4);
    onRequest.boundsNote =
        "Each is a number of waits of the time limit: `OpenPort` connects; a status call may reconnect, "
        "drains what waits, then connects to port 9101 and waits for its answer; every checked-block call "
        "ends by QUENVAR_CHECKED_BLOCK_BOUND_MS.";
    onRequest.bringUp = [] { return std::make_unique<NetworkRigPrinter>(StatusPort()); };
    onRequest.cells = {
        {F::Silent, M::AfterOpen, {{J::BeginError}, 0, 0, true}},
        {F::ConnectionLost, M::MidJob, {{J::WriteFailed, J::EndOffline}, 1, 0, true}},
        {F::Garbage, M::AfterOpen, {{J::BeginError}, 0, 0, true}, GarbageOnBothPorts},
        {F::ErrorAnswer, M::AfterOpen, {{J::EndError}, 1, 0, true}},
        {F::OfflineMidJob, M::MidJob, {{J::EndOffline}, 1, 1, true}},
        {F::CoverOpen, M::BeforeOpen, {{J::BeginOffline}, 1, 1, true}},
        {F::PaperOut, M::BeforeOpen, {{J::BeginOffline}, 1, 1, true}},
        {F::VerySlow, M::BeforeOpen, {{J::EndOffline}, 1, 0, true}},
        {F::Flood, M::AfterOpen, {{J::BeginOffline}, 1, 0, true}},
    };
    return {automatic, onRequest};
}

}  // namespace reliability

namespace reliability {

namespace {

constexpr unsigned kStressTimeoutMs = 1000;

}  // namespace

StressTransport NetworkStressTransport() {
    StressTransport t;
    t.name = "network";
    t.settings = "9100";
    t.timeoutMs = kStressTimeoutMs;
    t.maxPrinters = 1000;  // loopback addresses are plenty
    t.fillsTheRest = true;
    t.bringUp = [](unsigned) { return std::make_unique<NetworkRigPrinter>(AutomaticStatus()); };
    // A connection cut inside a completion command leaves its first bytes
    // with the printer, which prints them as data (they were never a
    // command). Job text holds none of the bytes of those commands.
    t.addedBytes = std::string("\x1B\x1D\x03\x00\x01\x02\x04", 7);
    t.faults = {
        {"connection lost",
         [](RigPrinter& p, std::size_t sent, std::size_t size, std::mt19937& random) {
             // Cut within the rest of the job, or at once when it is all sent.
             if (size - sent > 1)
                 p.model().closeAfterBytes(std::uniform_int_distribution<std::size_t>(1, size - sent - 1)(random));
             else
                 p.loseConnection();
         },
         nullptr},
        OfflineForAJob(),
        PaperOutForAJob(),
        ErrorAnswer(),
        Noise(),
    };
    t.bounds.open = 3 * kStressTimeoutMs;
    t.bounds.write = 3 * kStressTimeoutMs;
    t.bounds.block = QUENVAR_CHECKED_BLOCK_BOUND_MS(kStressTimeoutMs);
    t.bounds.status = 3 * kStressTimeoutMs;
    t.bounds.close = kStressTimeoutMs;
    // The job begin's poll pause and the job end's; the job end's second
    // pause before the status call that finds the printer offline. A lost
    // connection may end the job at its first command after the job begin.
    t.mandatedMs = [](const std::string& fault, JobEnd end) -> unsigned {
        if (fault == "connection lost") return 100;
        switch (end) {
        case JobEnd::WriteFailed:
            return 100;
        case JobEnd::EndError:
        case JobEnd::Confirmed:
            return 200;
        case JobEnd::EndOffline:
            return 300;
        default:
            return 0;
        }
    };
    return t;
}

}  // namespace reliability
