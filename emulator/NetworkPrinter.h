// The virtual printer on the network: one PrinterModel behind the three ports a
// network receipt printer listens on, all on one IPv4 address:
//   TCP 9100  data connection (print data in; job answers and, in automatic
//             status mode, status frames out),
//   TCP 9101  status port (one request byte 0x33, one status reply, close),
//   UDP 22222 discovery (the 28-byte request, answered with the model name).
// One background thread serves all of them; start() and stop() bracket it.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "emulator/PrinterModel.h"

namespace emulator {

class NetworkPrinter {
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
    explicit NetworkPrinter(Options options);
    ~NetworkPrinter();  // stops the printer
    NetworkPrinter(const NetworkPrinter&) = delete;
    NetworkPrinter& operator=(const NetworkPrinter&) = delete;

    void start();  // binds the three ports and starts serving (a restart reuses the address); throws std::runtime_error
    void stop();   // closes every socket and joins the thread; safe to call twice
    std::string address() const;   // the address listened on, e.g. "127.23.4.17"
    std::string portName() const;  // "TCP:" + address(), for OpenPort
    PrinterModel& model();

private:
    struct Impl;
    void run();
    void wake();

    Options options_;
    PrinterModel model_;
    std::string address_;
    std::unique_ptr<Impl> impl_;
    int wakeFd_ = -1;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
};

}  // namespace emulator
