// What the rows of the language faces (Java, Python) share: a long-lived
// program in another runtime that prints checked jobs when asked and times
// each itself, and the same job from C to measure it against.
#pragma once

#include <string>
#include <vector>

namespace bench {

// A driver process spoken to over one socket that is both its standard
// input and its standard output: one command a line, one answer a line. An
// answer that begins with "error" is a failure. End of input ends it.
class ForeignDriver {
public:
    // argv: the program and its arguments; throws when it cannot start.
    explicit ForeignDriver(std::vector<std::string> argv);
    // Closes its input and waits for it to end (killing it after 10 s).
    ~ForeignDriver();
    ForeignDriver(const ForeignDriver&) = delete;
    ForeignDriver& operator=(const ForeignDriver&) = delete;

    // Sends one command line and returns the answer line; throws when the
    // driver is gone, silent past the bound, or answers with an error.
    std::string ask(const std::string& command);

private:
    std::string name_;
    int pid_ = -1;
    int fd_ = -1;
    std::string pending_;
};

// One checked job from C: BeginCheckedBlockEx, WritePort calls of what is
// left, EndCheckedBlockEx. The seconds it took, or 0 when a step failed.
double CheckedJobFromC(void* port, const std::vector<unsigned char>& job);

}  // namespace bench
