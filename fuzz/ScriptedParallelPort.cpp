#include "ScriptedParallelPort.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace fuzzsupport {

std::shared_ptr<ScriptedParallelPort> ScriptedParallelPort::Make() {
    std::shared_ptr<ScriptedParallelPort> port(new ScriptedParallelPort());
    ScriptedParallelPort* self = port.get();
    port->device_ = std::make_shared<testsupport::ParallelPortDevice>(
        testsupport::ParallelPeripheral{[self](int printerEnd) {
                                            if (self->printerEnd_ >= 0) ::close(self->printerEnd_);
                                            self->printerEnd_ = printerEnd;
                                        },
                                        [] { return static_cast<unsigned char>(0); }, nullptr});
    port->name_ = "/dev/parport-fz-" + std::to_string(getpid());
    port->registration_ = std::make_unique<testsupport::DeviceRegistration>(port->name_, port);
    return port;
}

ScriptedParallelPort::~ScriptedParallelPort() {
    if (printerEnd_ >= 0) ::close(printerEnd_);
}

void ScriptedParallelPort::start(std::vector<ParallelReply> replies, bool readsFail) {
    replies_ = std::move(replies);
    nextReply_ = 0;
    busy_ = false;
    delivered_.clear();
    device_->log().clear();  // it would otherwise grow with every input
    device_->failReads(readsFail ? EIO : 0);
}

int ScriptedParallelPort::open(const std::string& path, int flags) {
    const int fd = device_->open(path, flags);
    if (fd >= 0) say();  // what the printer says when the port opens
    return fd;
}

bool ScriptedParallelPort::ioctl(int fd, unsigned long request, void* argument, int* result) {
    return device_->ioctl(fd, request, argument, result);
}

bool ScriptedParallelPort::read(int fd, void* buffer, size_t size, ssize_t* result) {
    if (!device_->read(fd, buffer, size, result)) *result = testsupport::RealRead(fd, buffer, size);
    return true;
}

bool ScriptedParallelPort::write(int fd, const void* buffer, size_t size, ssize_t* result) {
    if (busy_) {
        *result = 0;
    } else {
        device_->write(fd, buffer, size, result);
        // The printer takes the bytes: they need no room on the wire.
        char sink[1024];
        while (::recv(printerEnd_, sink, sizeof sink, MSG_DONTWAIT) > 0) {}
    }
    say();
    return true;
}

void ScriptedParallelPort::say() {
    busy_ = false;
    if (nextReply_ >= replies_.size() || printerEnd_ < 0) return;
    const ParallelReply& reply = replies_[nextReply_++];
    busy_ = reply.busy;
    if (!reply.bytes.empty()) {
        const ssize_t sent = ::send(printerEnd_, reply.bytes.data(), reply.bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent > 0) delivered_.append(reply.bytes, 0, static_cast<std::size_t>(sent));
    }
}

std::vector<ParallelReply> ParallelReplies(const uint8_t* data, size_t size) {
    std::vector<ParallelReply> replies;
    for (size_t at = 0; at < size;) {
        const bool busy = (data[at] & 0x80) != 0;
        const size_t length = data[at++] & 0x7F;
        const size_t count = length < size - at ? length : size - at;
        replies.push_back(ParallelReply{std::string(reinterpret_cast<const char*>(data + at), count), busy});
        at += count;
    }
    return replies;
}

}  // namespace fuzzsupport
