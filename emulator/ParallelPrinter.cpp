#include "emulator/ParallelPrinter.h"

#include <unistd.h>

#include <chrono>

namespace emulator {

namespace {

// The status lines of the port, as the host reads them.
constexpr unsigned char g_lineError = 0x08;     // set: no fault
constexpr unsigned char g_lineSelect = 0x10;    // set: selected, online
constexpr unsigned char g_linePaperOut = 0x20;  // set: out of paper

// attach() waits at most this long for a thread that stopped going round.
constexpr auto g_attachBound = std::chrono::seconds(2);

// Conditions the printer signals as a fault on its ERROR line.
constexpr Condition g_faults[] = {Condition::CoverOpen,          Condition::MechanicalError, Condition::CutterError,
                                  Condition::UnrecoverableError, Condition::OverTemperature, Condition::HeadUp,
                                  Condition::PresenterPaperJam};

}  // namespace

ParallelPrinter::ParallelPrinter() : ParallelPrinter(Options{}) {}

ParallelPrinter::ParallelPrinter(Options options, std::shared_ptr<PrinterModel> model)
    : StreamFrontEnd(std::move(model)), options_(options) {
    // A parallel printer answers DLE EOT n at once and takes GS a n as a
    // command, whether or not it has automatic status to send.
    this->model().setAnswerRealTimeRequests(true);
    this->model().setTakeAutomaticStatusCommand(true);
    this->model().setPrintSpeed(options_.printSpeedBps);
    startThread();
}

ParallelPrinter::~ParallelPrinter() {
    stopThread();
    std::lock_guard<std::mutex> lock(mutex_);
    if (pendingHost_ >= 0) ::close(pendingHost_);
}

void ParallelPrinter::attach(int printerEnd) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (pendingHost_ >= 0) {
        ::close(pendingHost_);
        ++takenOver_;
    }
    pendingHost_ = printerEnd;
    const uint64_t ticket = ++handedOver_;
    lock.unlock();
    if (!threadRunning()) return;
    // Waits for the round that takes the end, not for a whole round after
    // it, which sleeps in an idle poll while the new host has nothing to be
    // told.
    wake();
    lock.lock();
    taken_.wait_for(lock, g_attachBound, [&] { return takenOver_ >= ticket; });
}

void ParallelPrinter::beforePoll(Clock::time_point now) {
    int host;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        host = pendingHost_;
        pendingHost_ = -1;
    }
    if (host < 0) return;
    attachHost(host, now);
    std::lock_guard<std::mutex> lock(mutex_);
    ++takenOver_;
    taken_.notify_all();
}

unsigned char ParallelPrinter::statusLines() {
    const PrinterStatus status = model().status();
    unsigned char lines = 0;
    bool fault = false;
    for (Condition condition : g_faults)
        fault = fault || status.has(condition);
    if (!fault) lines |= g_lineError;
    if (!status.reportsOffline()) lines |= g_lineSelect;
    if (status.has(Condition::PaperEmpty)) lines |= g_linePaperOut;
    return lines;
}

std::string ParallelPrinter::statusReport() {
    if (!options_.automaticStatus || model().automaticStatusMask() == 0) return std::string();
    return model().escposAutomaticStatus();
}

}  // namespace emulator
