#include "FaultMatrix.h"

#include <algorithm>
#include <atomic>
#include <thread>

#include "quenvar.h"
#include "tools/CheckedPrint.h"
#include "tools/StatusText.h"

namespace reliability {

namespace {

// Each cell prints one job of this size in two halves, the fault of a
// mid-job cell coming between them.
constexpr std::size_t kJobBytes = 4096;
// A very slow printer: the job takes 8 s to print, far past any block bound here.
constexpr unsigned kVerySlowBytesPerSecond = kJobBytes / 8;
// How long a fault is given to show on the wire before the cell goes on.
constexpr unsigned kSettleMs = 50;

std::string JobText() {
    std::string job;
    for (int line = 0; job.size() < kJobBytes; ++line)
        job += "fault matrix line " + std::to_string(line) + " .........................................\n";
    job.resize(kJobBytes);
    return job;
}

std::string Words(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& w : words)
        out += (out.empty() ? "" : ", ") + w;
    return out;
}

// Works out how the job ended from the calls it made.
JobEnd EndOf(const std::vector<CallRecord>& calls, int exitCode) {
    JobEnd end = JobEnd::NotOpened;
    for (const CallRecord& call : calls) {
        if (call.name == "BeginCheckedBlockEx") {
            if (call.result == 0) return JobEnd::BeginError;
            if (call.offline) return JobEnd::BeginOffline;
        } else if (call.name == "EndCheckedBlockEx") {
            if (call.result == 0) return JobEnd::EndError;
            return call.offline ? JobEnd::EndOffline : JobEnd::Confirmed;
        }
    }
    if (exitCode == 6) end = JobEnd::WriteFailed;
    return end;
}

uint64_t BoundOf(const std::string& call, const Bounds& bounds) {
    return call == "WritePort" ? bounds.write : bounds.block;
}

void CheckTime(const char* what, uint64_t ms, uint64_t bound, CellResult& r) {
    if (ms > bound + Slack(bound))
        r.violations.push_back(std::string(what) + " took " + std::to_string(ms) + " ms, bound " +
                               std::to_string(bound) + " ms");
}

void Check(const Cell& cell, const Bounds& bounds, const std::string& job, CellResult& r) {
    const Expected& e = cell.expected;
    if (std::find(e.job.begin(), e.job.end(), r.job) == e.job.end())
        r.violations.push_back(std::string("the job ended with ") + JobEndWords(r.job));
    if (r.opened && r.exitCode != JobEndExitCode(r.job))
        r.violations.push_back("quenvar print would exit " + std::to_string(r.exitCode));
    // What reached the paper: a confirmed job whole and once, any other job
    // at most a beginning of it, never a byte twice.
    if (r.job == JobEnd::Confirmed && r.printed != job)
        r.violations.push_back("confirmed, but " + std::to_string(r.printed.size()) + " bytes printed, not the job");
    if (r.printed.size() > job.size() || job.compare(0, r.printed.size(), r.printed) != 0)
        r.violations.push_back("what was printed is not a beginning of the job");
    if (r.opened) {
        if (e.statusResult >= 0 && r.statusResult != e.statusResult)
            r.violations.push_back("GetParsedStatusEx returned " + std::to_string(r.statusResult));
        else if (r.statusResult == 1 && e.statusOffline >= 0 && r.statusOffline != unsigned(e.statusOffline))
            r.violations.push_back("GetParsedStatusEx said offline " + std::to_string(r.statusOffline));
    }
    if (r.reopened != e.reopens) r.violations.push_back(r.reopened ? "OpenPort opened" : "OpenPort failed");
    CheckTime("OpenPort", r.openMs, bounds.open, r);
    CheckTime("OpenPort again", r.reopenMs, bounds.open, r);
    for (const CallRecord& call : r.calls)
        CheckTime(call.name.c_str(), call.ms, BoundOf(call.name, bounds), r);
    if (r.opened) CheckTime("GetParsedStatusEx", r.statusMs, bounds.status, r);
    CheckTime("ClosePort", r.closeMs, bounds.close, r);
}

CellResult RunCell(const TransportTable& table, const Cell& cell) {
    CellResult r;
    Bounds bounds = table.bounds;
    if (cell.bounds) cell.bounds(bounds);
    const auto inject = [&](RigPrinter& printer) {
        if (cell.inject)
            cell.inject(printer);
        else
            InjectUsual(cell.fault, printer);
        // The fault is there before the next step: its bytes have arrived,
        // the printer has closed its side.
        std::this_thread::sleep_for(std::chrono::milliseconds(kSettleMs));
    };
    const std::string job = JobText();
    r.jobBytes = job.size();
    std::unique_ptr<RigPrinter> printer = table.bringUp();
    const std::string name = printer->portName();
    const uint64_t printedBefore = printer->model().printedSize();

    if (cell.moment == Moment::BeforeOpen) inject(*printer);
    uint64_t start = NowMs();
    void* port = OpenPort(name.c_str(), table.settings.c_str(), table.timeoutMs);
    r.openMs = NowMs() - start;
    r.opened = port != nullptr;
    if (r.opened) {
        if (cell.moment == Moment::AfterOpen) inject(*printer);
        // The job in two halves, read as the command reads a file; the
        // fault of a mid-job cell comes between them.
        int reads = 0;
        const tools::JobReader halves = [&](char* buffer, std::size_t room) -> long {
            const int part = reads++;
            if (part >= 2) return 0;
            if (part == 1 && cell.moment == Moment::MidJob) inject(*printer);
            const std::size_t half = job.size() / 2;
            const std::size_t count = std::min(room, half);
            std::copy_n(job.data() + part * half, count, buffer);
            return static_cast<long>(count);
        };
        tools::JobOutcome outcome;
        {
            RecordCalls record(r.calls);
            outcome = tools::printJob(port, halves, true, table.timeoutMs);
        }
        r.exitCode = outcome.code;
        r.job = EndOf(r.calls, outcome.code);
        r.jobConditions = Words(tools::statusConditions(outcome.status));

        VelmarPrinterStatus_2 status{};
        start = NowMs();
        r.statusResult = GetParsedStatusEx(port, &status, 2);
        r.statusMs = NowMs() - start;
        r.statusOffline = status.offline;
        if (r.statusResult == 1) r.statusConditions = Words(tools::statusConditions(status));

        start = NowMs();
        ClosePort(port);
        r.closeMs = NowMs() - start;
    }
    r.printed = WithoutBytes(printer->model().printedSince(printedBefore), table.addedBytes);

    // A second opening while the fault still holds: can the caller start over?
    start = NowMs();
    void* again = OpenPort(name.c_str(), table.settings.c_str(), table.timeoutMs);
    r.reopenMs = NowMs() - start;
    r.reopened = again != nullptr;
    start = NowMs();
    ClosePort(again);
    r.closeMs = std::max(r.closeMs, NowMs() - start);

    Check(cell, bounds, job, r);
    return r;
}

}  // namespace

void InjectUsual(Fault fault, RigPrinter& printer) {
    emulator::PrinterModel& model = printer.model();
    switch (fault) {
    case Fault::Silent:
        model.setSilent(true);
        break;
    case Fault::ConnectionLost:
        printer.loseConnection();
        break;
    case Fault::UnplugReplug:
        printer.unplug();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        printer.replug();
        break;
    case Fault::Garbage:
        printer.setGarbageAnswers(true);
        break;
    case Fault::ErrorAnswer:
        model.failNextJobEnd(0x00);
        break;
    case Fault::OfflineMidJob:
        model.setOffline(true);
        break;
    case Fault::CoverOpen:
        model.setCoverOpen(true);
        break;
    case Fault::PaperOut:
        model.setPaperEmpty(true);
        break;
    case Fault::VerySlow:
        model.setPrintSpeed(kVerySlowBytesPerSecond);
        break;
    case Fault::Flood:
        printer.setFlood(true);
        break;
    }
}

std::vector<TableRun> RunMatrix(const std::vector<TransportTable>& tables, unsigned parallel) {
    std::vector<TableRun> runs;
    std::vector<std::pair<std::size_t, std::size_t>> work;
    for (const TransportTable& table : tables) {
        runs.push_back(TableRun{&table, std::vector<CellResult>(table.cells.size())});
        for (std::size_t c = 0; c < table.cells.size(); ++c)
            work.emplace_back(runs.size() - 1, c);
    }
    std::atomic<std::size_t> next{0};
    std::vector<std::thread> workers;
    for (unsigned w = 0; w < std::max(1u, parallel); ++w)
        workers.emplace_back([&] {
            for (std::size_t i; (i = next++) < work.size();) {
                const auto [t, c] = work[i];
                runs[t].cells[c] = RunCell(*runs[t].table, runs[t].table->cells[c]);
            }
        });
    for (std::thread& worker : workers)
        worker.join();
    return runs;
}

}  // namespace reliability
