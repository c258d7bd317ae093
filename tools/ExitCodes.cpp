#include "ExitCodes.h"

namespace tools {

const char* exitCodeHelp() {
    return "Exit codes:\n"
           "  0  success (status taken, job confirmed, data sent or read, scan done even if no printer answered)\n"
           "  1  quenvar demo: the virtual printer did not behave as expected\n"
           "  2  usage error\n"
           "  3  the port could not be opened\n"
           "  4  job not confirmed: printer offline, cover open, paper out, or no answer in time\n"
           "  5  the printer answered a job command with an error\n"
           "  6  I/O failure: a status, read or write exchange failed\n";
}

}  // namespace tools
