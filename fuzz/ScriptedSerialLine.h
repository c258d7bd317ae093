// A serial line for fuzz targets whose printer speaks from a script, all on
// the fuzzing thread: the port's descriptor is a real pseudo-terminal (so its
// line settings take), but what it reads is the script's replies, the next
// one handed out behind each write the port makes, and DSR is always up.
// Registered under its own name for OpenPort while it lives.
#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/support/FakeDevice.h"

namespace fuzzsupport {

class ScriptedSerialLine : public testsupport::FakeDevice {
public:
    // The line, registered under name(). Throws when no pseudo-terminal can be had.
    static std::shared_ptr<ScriptedSerialLine> Make();
    ~ScriptedSerialLine() override;

    const std::string& name() const { return name_; }
    // The master's side of the pseudo-terminal: its line settings are the port's.
    int master() const { return master_; }
    // A new script: the replies, in order, and nothing waiting.
    void start(std::vector<std::string> replies);
    // Every byte the script has handed to the port so far.
    const std::string& delivered() const { return delivered_; }
    // Drops what waits to be read (the port flushed its input).
    void flushInput() { input_.clear(); }
    bool owns(int fd) const { return fds_.count(fd) != 0; }

    int open(const std::string& path, int flags) override;
    bool ioctl(int fd, unsigned long request, void* argument, int* result) override;
    bool read(int fd, void* buffer, size_t size, ssize_t* result) override;
    bool write(int fd, const void* buffer, size_t size, ssize_t* result) override;
    void closed(int fd) override { fds_.erase(fd); }

private:
    ScriptedSerialLine() = default;

    std::string name_;
    std::string slave_;
    int master_ = -1;
    std::unique_ptr<testsupport::DeviceRegistration> registration_;
    std::set<int> fds_;
    std::vector<std::string> replies_;
    std::size_t nextReply_ = 0;
    std::string input_;
    std::string delivered_;
};

// The line tcflush() reports to (set by the target that uses one).
extern ScriptedSerialLine* g_flushedLine;

}  // namespace fuzzsupport
