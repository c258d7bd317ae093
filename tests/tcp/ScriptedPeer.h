// A raw stand-in for a network printer's data port, for exchanges where a test
// must choose every byte the printer sends: malformed opening statuses,
// hand-made frames and extension blocks, answers scripted command by command.
// Everything else is tested against the virtual printer. It listens on a
// loopback address of its own, found free at start.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tcptest {

using Bytes = std::vector<unsigned char>;

class ScriptedPeer {
public:
    struct Script {
        // Sent at once on every data connection the port opens (the opening
        // status of a printer in automatic mode). Empty: nothing.
        Bytes greeting;
        // Called each time bytes arrive on a data connection, with the
        // connection's number (0 for the first) and everything received on it
        // so far; what it returns is sent back. Empty result: nothing.
        std::function<Bytes(std::size_t connection, const Bytes& received)> reaction;
    };

    explicit ScriptedPeer(Script script);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    // "TCP:127.a.b.c", the name that opens a port to this peer.
    std::string portName() const { return "TCP:" + address_; }
    const std::string& address() const { return address_; }

    // Sends bytes on data connection `connection` (waits up to 5 s for it).
    bool send(std::size_t connection, const Bytes& bytes);
    // Closes data connection `connection` from the printer's side.
    void closeConnection(std::size_t connection);
    // Everything received so far on data connection `connection`.
    Bytes received(std::size_t connection) const;
    std::size_t connectionCount() const;
    // Waits up to `bound` until `condition` holds; true when it did.
    bool waitUntil(const std::function<bool()>& condition,
                   std::chrono::milliseconds bound = std::chrono::milliseconds(5000)) const;

private:
    struct Connection {
        int fd;
        Bytes received;
        bool open;
    };

    void run();
    void acceptData();
    void readConnection(std::size_t index);

    Script script_;
    std::string address_;
    int dataListener_ = -1;
    int wake_[2] = {-1, -1};
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Connection> connections_;
    std::thread thread_;
};

// A Velmar ASB frame as the printer mixes it into the data stream: a block of
// `length` bytes (7 to 15) with the given printer status bytes 2 to 5 and
// header 2 announcing an extension, then the extension of `extension` bytes
// (its 2-byte length first).
Bytes StatusFrame(unsigned length, unsigned char status1 = 0, unsigned char status4 = 0, const Bytes& extension = {});
// An extension block: identifier, `gap` uninterpreted bytes, declared payload
// length, then `payload`.
Bytes ExtensionBlock(const std::string& identifier, unsigned gap, unsigned declaredLength, const Bytes& payload);
Bytes Concat(std::initializer_list<Bytes> parts);
Bytes Text(const std::string& text);

}  // namespace tcptest
