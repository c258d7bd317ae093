#include "RigPrinter.h"

namespace reliability {

namespace {

// A flood comes in runs of this size, about every millisecond: megabytes a
// second, far beyond anything a receipt printer says.
constexpr std::size_t kFloodRun = 4096;

}  // namespace

// Even bytes and bytes with bit 4 set: never the head of a status block, never
// ESC, DLE or GS.
const std::string kNoise("\xFF\xEE\xDD\xCC\xBB\xAA\x99\x88", 8);

RigPrinter::Source::Source(std::shared_ptr<emulator::PrinterModel> model, std::string bytes,
                           std::chrono::milliseconds every)
    : thread_([this, model, bytes, every] {
          while (!stop_.load()) {
              model->sendRaw(bytes);
              std::this_thread::sleep_for(every);
          }
      }) {}

RigPrinter::Source::~Source() {
    stop_ = true;
    thread_.join();
}

void RigPrinter::setGarbageAnswers(bool on) {
    model().setAnswerCompletionCommands(!on);
    noise_.reset();
    if (on) noise_ = std::make_unique<Source>(sharedModel(), kNoise, std::chrono::milliseconds(20));
}

void RigPrinter::setFlood(bool on) {
    flood_.reset();
    if (on) flood_ = std::make_unique<Source>(sharedModel(), std::string(kFloodRun, 'F'), std::chrono::milliseconds(1));
}

}  // namespace reliability
