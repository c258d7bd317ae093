// A parallel port for fuzz targets whose printer speaks from a script, all on
// the fuzzing thread: the emulated ppdev device of the tests (claim, time
// limit, modes), except that the printer behind it is the
// script. The first reply waits on the reverse channel when the port opens;
// each write the port makes brings the next. Registered under its own name
// for OpenPort while it lives.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/support/ParallelPortDevice.h"

namespace fuzzsupport {

struct ParallelReply {
    std::string bytes;  // what the printer says
    bool busy = false;  // then it is busy: the port's next write is taken by no byte
};

class ScriptedParallelPort : public testsupport::FakeDevice {
public:
    // The port, registered under name().
    static std::shared_ptr<ScriptedParallelPort> Make();
    ~ScriptedParallelPort() override;

    const std::string& name() const { return name_; }
    // A new script: the replies in order, and whether every read fails (a
    // reverse channel broken down).
    void start(std::vector<ParallelReply> replies, bool readsFail);
    // Every byte the script has handed to the port so far.
    const std::string& delivered() const { return delivered_; }

    int open(const std::string& path, int flags) override;
    bool ioctl(int fd, unsigned long request, void* argument, int* result) override;
    bool read(int fd, void* buffer, size_t size, ssize_t* result) override;
    bool write(int fd, const void* buffer, size_t size, ssize_t* result) override;
    void closed(int fd) override { device_->closed(fd); }

private:
    ScriptedParallelPort() = default;
    // Hands the next reply to the port, if any is left.
    void say();

    std::string name_;
    std::shared_ptr<testsupport::ParallelPortDevice> device_;
    std::unique_ptr<testsupport::DeviceRegistration> registration_;
    int printerEnd_ = -1;
    std::vector<ParallelReply> replies_;
    std::size_t nextReply_ = 0;
    bool busy_ = false;  // the next write takes nothing
    std::string delivered_;
};

// The replies of a fuzz input: a length byte (bit 7: busy afterwards; bits
// 0-6: the length), then that many bytes (or what is left).
std::vector<ParallelReply> ParallelReplies(const uint8_t* data, size_t size);

}  // namespace fuzzsupport
