// One virtual printer of any transport as the reliability runs see it: the
// port name that reaches it, the printer model behind it, and the faults its
// wire can show. Each transport's rig brings its printers up behind this, so
// the fault matrix and the stress run know no transport.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "emulator/PrinterModel.h"

namespace reliability {

class RigPrinter {
public:
    virtual ~RigPrinter() = default;

    // The name OpenPort takes to reach this printer ("TCP:127.4.5.6", a device path...).
    virtual std::string portName() const = 0;
    // The printer behind the wire (shared, so noise sources never outlive it).
    virtual std::shared_ptr<emulator::PrinterModel> sharedModel() = 0;
    emulator::PrinterModel& model() { return *sharedModel(); }

    // ---- Faults of the wire (the defaults work on every byte stream) ----
    // The connection or device goes away now, in the middle of whatever runs.
    virtual void loseConnection() { model().dropConnection(); }
    // The device leaves the bus and comes back (USB); false where the wire has no such thing.
    virtual bool unplug() { return false; }
    virtual bool replug() { return false; }
    // Noise where the printer's answers belong: job answers stop and bytes of
    // no meaning come instead; each transport adds its own replies (a status
    // port, real-time status bytes, a control transfer).
    virtual void setGarbageAnswers(bool on);
    // A printer that sends data without end (and without being asked).
    virtual void setFlood(bool on);

private:
    // Sends `bytes` every `every` on its own thread while it lives.
    class Source {
    public:
        Source(std::shared_ptr<emulator::PrinterModel> model, std::string bytes, std::chrono::milliseconds every);
        ~Source();

    private:
        std::atomic<bool> stop_{false};
        std::thread thread_;
    };

    std::unique_ptr<Source> noise_;
    std::unique_ptr<Source> flood_;
};

// Bytes no printer answer, status frame or completion command begins with.
extern const std::string kNoise;

}  // namespace reliability
