// The virtual printer on a parallel port: one PrinterModel behind the data
// wire of the port (print data in; real-time status bytes, ESC/POS automatic
// status blocks and job answers back over the reverse channel) and the status
// lines the host reads. No device node is made here: whatever emulates the
// port (tests/support) hands the printer its end of the wire when a host opens
// the port, and asks it for its lines.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "emulator/PrinterModel.h"
#include "emulator/StreamFrontEnd.h"

namespace emulator {

class ParallelPrinter : public StreamFrontEnd {
public:
    struct Options {
        // GS a n (n != 0) switches the ESC/POS automatic status on: the
        // 4-byte block goes out at once and again whenever it changes. false:
        // a printer without automatic status, which takes GS a n and says
        // nothing.
        bool automaticStatus = true;
        unsigned printSpeedBps = 0;  // bytes printed per second; 0 = instant
    };

    ParallelPrinter();
    // model: the printer to put on the port; nullptr gives it a model of its own.
    explicit ParallelPrinter(Options options, std::shared_ptr<PrinterModel> model = nullptr);
    ~ParallelPrinter() override;  // stops the printer's thread

    // printerEnd: the printer's end of the wire for a host that opened the
    // port (a stream descriptor, taken over). Replaces the current host;
    // returns once the printer's thread has taken the new one (its status
    // report, if any, on the way).
    void attach(int printerEnd);

    // The status lines as the printer drives them (PARPORT_STATUS_* bits):
    // ERROR (0x08) set while there is no fault (cover open or an error clears
    // it), SELECT (0x10) set while the printer reports itself online, PAPEROUT
    // (0x20) set while the paper is out.
    unsigned char statusLines();

    // Returns once the printer has acted on everything set before the call
    // (a status change reported, an answer said).
    using StreamFrontEnd::settle;

protected:
    std::string statusReport() override;
    void beforePoll(Clock::time_point now) override;

private:
    const Options options_;
    std::mutex mutex_;
    std::condition_variable taken_;
    int pendingHost_ = -1;     // a host's end handed over, not yet taken by the thread
    uint64_t handedOver_ = 0;  // host ends handed over so far
    uint64_t takenOver_ = 0;   // of them, taken by the thread (or replaced before it could)
};

}  // namespace emulator
