// The virtual printer on the network: one PrinterModel behind the three ports a
// network receipt printer listens on, all on one IPv4 address:
//   TCP 9100  data connection (print data in; job answers and, in automatic
//             status mode, status frames out),
//   TCP 9101  status port (one request byte 0x33, one status reply, close),
//   UDP 22222 discovery (the 28-byte request, answered with the model name).
// One background thread (the StreamFrontEnd's) serves all of them; start() and
// stop() bracket it. What is network-only lives here: discovery, the status
// port, refusing connections and the status frames of the data connection.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "emulator/PrinterModel.h"
#include "emulator/StreamFrontEnd.h"

namespace emulator {

class NetworkPrinter : public StreamFrontEnd {
public:
    struct Options {
        // IPv4 address to listen on. Empty: pick a free random loopback address
        // 127.x.y.z (z in 2..254) where all three ports bind, so printers in
        // parallel tests never meet.
        std::string address;
        // Model name in the discovery reply. "NXCB-KW11/12" and "QRX450NET" make a
        // host use the status port 9101; any other name makes it expect automatic
        // status on 9100.
        std::string modelName = "QV-VIRTUAL";
        bool answerDiscovery = true;  // false: discovery requests get no reply
        bool automaticStatus = true;  // opening status frame on connect and a new frame on every change
        unsigned printSpeedBps = 0;   // bytes printed per second; 0 = instant
    };

    NetworkPrinter();
    // model: the printer to put on the network; nullptr gives it a model of its own.
    explicit NetworkPrinter(Options options, std::shared_ptr<PrinterModel> model = nullptr);
    ~NetworkPrinter() override;  // stops the printer

    void start();  // binds the three ports and starts serving (a restart reuses the address); throws std::runtime_error
    void stop();   // closes every socket and joins the thread; safe to call twice
    std::string address() const;   // the address listened on, e.g. "127.23.4.17"
    std::string portName() const;  // "TCP:" + address(), for OpenPort

    // ---- Network faults and replies (any time, from any thread) ----
    void setRefuseConnections(bool on);  // close (reopen) the listening ports 9100 and 9101; returns once done
    bool refuseConnections() const;
    void setAnswerDiscovery(bool on);                           // false: discovery requests get no reply
    void setDiscoveryReply(std::optional<std::string> bytes);   // reply with these exact bytes instead
    void setStatusPortEscpos(bool on);                          // status port answers the 4-byte ESC/POS form
    void setStatusPortReply(std::optional<std::string> bytes);  // status port answers these exact bytes instead
    std::vector<std::string> discoveryRequests() const;         // every datagram received on the discovery port
    unsigned statusPortRequests() const;                        // requests (0x33) received on the status port

    // ---- Status frames of the data connection, built from the model's state ----
    std::string statusFrame();  // Velmar ASB block + extension length 00 00
    // A status frame carrying an extension block: identifier (2 chars, any), its
    // payload, and the payload length to declare (-1 = the real one). The payload
    // length sits at the identifier's position (4, 5 or 6; unknown identifiers use 4).
    std::string statusFrameWithExtension(const std::string& identifier, const std::string& payload,
                                         int declaredPayloadLength = -1);
    void sendExtensionData(const std::string& payload,
                           const std::string& identifier = "14");  // reply data in a status frame

protected:
    std::string statusReport() override;
    void beforePoll(Clock::time_point now) override;
    void addDescriptors(std::vector<pollfd>& fds) override;
    void serveDescriptors(const pollfd* fds, std::size_t count, Clock::time_point now) override;

private:
    struct StatusClient {
        int fd;
        Clock::time_point deadline;
    };

    bool bindAll(const std::string& address);
    void closeSockets();
    void serveDiscovery();
    void acceptData(Clock::time_point now);
    void serveStatusClient(StatusClient& client, short revents, Clock::time_point now);
    std::optional<std::string> discoveryReply(const std::string& request);
    std::optional<std::string> statusPortReply();

    const Options options_;
    std::string address_;

    mutable std::mutex mutex_;  // guards the settings and records below
    bool refuse_ = false;
    bool answerDiscovery_;
    std::optional<std::string> discoveryReplyOverride_;
    bool statusPortEscpos_ = false;
    std::optional<std::string> statusPortReplyOverride_;
    std::vector<std::string> discoveryRequests_;
    unsigned statusRequests_ = 0;

    // The sockets: the printer's thread's alone, apart from start() and stop().
    int dataListener_ = -1;
    int statusListener_ = -1;
    int udp_ = -1;
    std::vector<StatusClient> statusClients_;
    char buffer_[4096];
};

}  // namespace emulator
