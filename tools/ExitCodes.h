// Exit codes of the quenvar command, documented in `quenvar --help` and README.
#pragma once

namespace tools {

enum ExitCode : int {
    kExitSuccess = 0,
    kExitFailure = 1,       // a check of `quenvar demo` did not hold
    kExitUsage = 2,         // wrong arguments
    kExitNotOpened = 3,     // the port could not be opened
    kExitNotConfirmed = 4,  // the printer did not confirm the job (offline, cover open, paper out, no answer)
    kExitErrorAnswer = 5,   // the printer answered a job command with an error value
    kExitIoFailure = 6,     // a read, write or status exchange failed
};

// The table printed at the end of `quenvar --help`.
const char* exitCodeHelp();

}  // namespace tools
