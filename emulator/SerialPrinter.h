// The virtual printer on a serial line: one PrinterModel behind the master of
// a pseudo-terminal, whose slave is the host's serial device. The printer
// answers the real-time requests DLE EOT n at once with the status bytes of
// its state, answers the completion commands as it prints, and sends no status
// of its own accord. Its readiness is its DSR line, which a pty cannot carry:
// a test rig (tests/support/SerialLine.h) or the host's side asks
// dataSetReady().
//
// The printer keeps a descriptor of the slave open itself, so the line stays
// up while hosts open and close the device one after another, as a cable
// stays plugged in. dropConnection() pulls the cable for good.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "emulator/PrinterModel.h"
#include "emulator/StreamFrontEnd.h"

namespace emulator {

class SerialPrinter : public StreamFrontEnd {
public:
    struct Options {
        unsigned printSpeedBps = 0;  // bytes printed per second; 0 = instant
    };

    SerialPrinter();
    // model: the printer to put on the line; nullptr gives it a model of its own.
    explicit SerialPrinter(Options options, std::shared_ptr<PrinterModel> model = nullptr);
    ~SerialPrinter() override;  // stops the printer

    // Opens a new pseudo-terminal and starts serving it; throws
    // std::runtime_error when none can be had or the printer runs already.
    void start();
    // Joins the thread and closes the pseudo-terminal; safe to call twice.
    void stop();
    // The host's device, e.g. "/dev/pts/7" (empty before start()).
    std::string devicePath() const;

    // DSR as the printer drives it: on while it runs and is ready to print
    // (not reporting itself offline), unless a fault forces it.
    bool dataSetReady();
    // Forces DSR off (false) or on (true); nullopt lets it follow readiness again.
    void forceDataSetReady(std::optional<bool> level);

protected:
    // A serial printer reports its status only when asked.
    std::string statusReport() override { return std::string(); }

private:
    const Options options_;
    mutable std::mutex mutex_;  // guards the two below
    std::string devicePath_;
    std::optional<bool> forcedDsr_;
    int slave_ = -1;  // the printer's own hold on the line
};

}  // namespace emulator
