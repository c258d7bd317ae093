// The fault matrix: every transport against every fault a printer in a shop
// shows, each cell a checked job as `quenvar print` runs it, then a status
// call and a second OpenPort while the fault holds. A transport contributes
// one table (how its virtual printer comes up, how each fault is brought on
// where the wire needs its own way, what a caller must see, the bound of each
// call); the runner knows no transport.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CallRecorder.h"
#include "RigPrinter.h"

namespace reliability {

enum class Fault {
    Silent,          // the printer stops answering anything; its line stays up
    ConnectionLost,  // the connection or device goes away in the middle of the job
    UnplugReplug,    // the device leaves the bus in the middle of the job and comes back (USB)
    Garbage,         // noise where the answers belong
    ErrorAnswer,     // the printer answers the job end with an error value
    OfflineMidJob,   // the printer goes offline in the middle of the job
    CoverOpen,
    PaperOut,
    VerySlow,  // prints so slowly that the job outlasts the checked block's bound
    Flood,     // sends data without end
};
const std::vector<Fault>& AllFaults();
const char* FaultName(Fault fault);

// When a cell brings its fault on.
enum class Moment {
    BeforeOpen,  // the printer is in that state when the port is opened
    AfterOpen,   // the port is open, the job not begun (a server's port, a printer that fails)
    MidJob,      // half of the job is written
};
const char* MomentName(Moment moment);

// How a job ended, as the caller of the C interface sees it.
enum class JobEnd { NotOpened, BeginError, BeginOffline, WriteFailed, EndError, EndOffline, Confirmed };
// The C call and result that ends a job this way, in words.
const char* JobEndWords(JobEnd end);
// What `quenvar print` exits with for it.
int JobEndExitCode(JobEnd end);

// The longest each call may take, in milliseconds (documented; a run fails a
// cell whose call takes longer than its bound plus Slack(bound)).
struct Bounds {
    uint64_t open = 0;    // OpenPort
    uint64_t write = 0;   // WritePort
    uint64_t block = 0;   // BeginCheckedBlockEx, EndCheckedBlockEx
    uint64_t status = 0;  // GetParsedStatusEx
    uint64_t close = 0;   // ClosePort
};
// What a shared machine may add to a bound before a cell fails.
uint64_t Slack(uint64_t boundMs);
// Milliseconds on a monotonic clock.
uint64_t NowMs();

// What a caller must see in one cell.
struct Expected {
    std::vector<JobEnd> job;  // any of these (where a race on the wire picks one)
    int statusResult = 1;     // GetParsedStatusEx; -1: either (the noise may not have come yet)
    int statusOffline = 0;    // its `offline` when the result is 1; -1: either
    bool reopens = true;      // OpenPort succeeds while the fault holds
};

struct Cell {
    Fault fault;
    Moment moment;
    Expected expected;
    // Brings the fault on; null: the usual way (the model's state, RigPrinter's faults).
    std::function<void(RigPrinter&)> inject = nullptr;
    // Bounds of this cell where they differ from the table's; null: the table's.
    std::function<void(Bounds&)> bounds = nullptr;
};

struct TransportTable {
    std::string name;      // a heading, e.g. "Network, status on the data connection"
    std::string about;     // a sentence on the printer and the settings
    std::string settings;  // OpenPort's settings
    unsigned timeoutMs = 0;
    Bounds bounds;
    std::string boundsNote;  // where the bounds come from
    std::function<std::unique_ptr<RigPrinter>()> bringUp;
    std::vector<Cell> cells;  // faults not listed do not exist on this wire
    std::string absentNote;   // why, when that needs saying
    // Bytes the transport itself sends as print data (a clearing block's
    // zeros, an ETB), left out when what was printed is compared with a job.
    std::string addedBytes;
};

// `printed` without the bytes of `added`.
std::string WithoutBytes(const std::string& printed, const std::string& added);

// The usual way a fault is brought on.
void InjectUsual(Fault fault, RigPrinter& printer);

struct CellResult {
    bool opened = false;
    uint64_t openMs = 0;
    JobEnd job = JobEnd::NotOpened;
    int exitCode = 3;
    std::string jobConditions;      // conditions the ending call reported, in words
    std::vector<CallRecord> calls;  // the job's calls
    std::size_t jobBytes = 0;       // the job's size
    std::string printed;            // what the printer printed
    int statusResult = 0;
    unsigned statusOffline = 0;
    std::string statusConditions;
    uint64_t statusMs = 0;
    bool reopened = false;
    uint64_t reopenMs = 0;
    uint64_t closeMs = 0;
    std::vector<std::string> violations;  // where the cell left what the table promises
};

struct TableRun {
    const TransportTable* table;
    std::vector<CellResult> cells;  // in the table's order
};

// Runs every cell of every table, at most `parallel` cells at once (each on a
// printer of its own), and checks each against its table.
std::vector<TableRun> RunMatrix(const std::vector<TransportTable>& tables, unsigned parallel);

// docs/reliability.md from a run.
std::string RenderReliabilityDoc(const std::vector<TableRun>& runs);
// The document with what changes from run to run (the measured columns) taken
// out, for comparing a run with the committed document.
std::string StableParts(const std::string& doc);

}  // namespace reliability
