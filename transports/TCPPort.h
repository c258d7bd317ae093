// The network printer port: a TCP data connection to the printer's port 9100,
// with the printer's status either sent automatically on that connection
// (Velmar ASB frames mixed into the data) or fetched on request from TCP port
// 9101. A short UDP exchange on port 22222 tells the two kinds of printer apart
// when the settings string does not.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <vector>

#include "core/Deadline.h"
#include "core/Port.h"

class TCPPort : public Port {
public:
    // portName: in, the whole port name. Returns 1 when it begins with exactly
    // "tcp:" or "TCP:", else 0.
    static int matchPortName(const char* portName);

    // portName: in, "tcp:" or "TCP:" and an IPv4 address in any form inet_addr
    //   accepts (no host names, no port number).
    // portSettings: in, searched for "n" (keep Nagle coalescing), "a" (no
    //   keep-alive), "9100" / "9101" (how status is obtained; otherwise UDP
    //   discovery decides). May be empty, not null.
    // timeoutMs: in, limit for the connect and for each send and receive
    //   (0: sends and receives wait without limit).
    // Connects at once; throws the unsigned int 0 when the printer cannot be
    // reached, after releasing everything it had opened.
    TCPPort(const char* portName, const char* portSettings, unsigned int timeoutMs);
    // Shuts the connection down in an orderly way.
    ~TCPPort() override;

    // buffer: out, receives at most `size` bytes of printer data; status
    //   frames are taken out of the stream, extension payloads come as data.
    // size: in, room in `buffer`; 0 fails at once.
    // read: out, the number of bytes stored in `buffer`.
    int readPort(unsigned char* buffer, unsigned int size, unsigned int* read) override;
    // data: in, the bytes to send. size: in, how many.
    // written: out, how many bytes one send took (0 on failure).
    int writePort(const unsigned char* data, unsigned int size, unsigned int* written) override;
    // online: out, 1 when the printer reports itself online, else 0; left
    //   alone when the status cannot be taken.
    int getOnlineStatus(unsigned int* online) override;
    // status: out, the printer's current status (the last one it reported, in
    //   automatic mode; a fresh answer from port 9101 otherwise).
    int getParsedStatus(VelmarPrinterStatus_2* status) override;
    // status: out, the status before the job; `offline` 1 with result 1 when
    //   the printer is offline or the exchange failed.
    int beginCheckedBlock(VelmarPrinterStatus_2* status) override;
    // status: out, the status when the printer confirmed the job; `offline`
    //   1 with result 1 when it went offline or the exchange failed.
    int endCheckedBlock(VelmarPrinterStatus_2* status) override;
    // The network printer has no reset: always 0, nothing is sent.
    int resetDevice() override;

    // data: in, the bytes received. length: in, their count.
    // Returns 1 when they are exactly the 7-byte head of a Velmar ASB block as
    // the printer mixes it into the data stream, else 0.
    static int ReadPortIsVelmarAsbStatus(const unsigned char* data, unsigned int length);

private:
    // Opens the data connection, settles the status mode the first time and,
    // in automatic mode, reads the printer's opening status. 1 or 0; on 0 the
    // connection is closed.
    int getSocket();
    // Shuts the data connection down in an orderly way; `sock` becomes -1.
    void gracefulClose();
    // One send of `size` bytes of `data`; `*written` gets the count moved.
    // A failed send closes the connection and returns 0.
    int writeSocket(const unsigned char* data, unsigned int size, unsigned int* written);
    // One receive of at most `size` bytes into `buffer`; `*read` gets the
    // count (0 when the printer closed its side). `flags` are passed to recv
    // (MSG_WAITALL for the parts of a status frame whose length is known). A
    // failed receive closes the connection and returns 0.
    int readSocket(unsigned char* buffer, unsigned int size, unsigned int* read, int flags = 0);

    // Steps of getSocket. Each returns 1 or 0.
    int connectDataSocket();
    int setSocketOptions();
    int runDiscovery();
    // Reads one status frame (block and extension, the extension discarded)
    // from the data connection into `frame`, which is cleared first. 1 when
    // the whole frame came; 0 after any shortfall (the connection is then
    // closed).
    int readStatusFrame(VelmarPrinterStatus_2* frame);

    // Steps of readPort.
    // buffer, size: in/out, the caller's buffer; read: out, the count handed
    // over from `pendingData` (one stretch at most).
    void deliverPending(unsigned char* buffer, unsigned int size, unsigned int* read);
    // head: out, up to 7 bytes. count: out, how many came. 0 when the
    // receive failed or the printer closed (the connection is then closed).
    int receiveHead(unsigned char* head, unsigned int* count);
    // head: in/out, the bytes received so far; count: in/out, their number.
    // Gives a status head that the network split a short while to come whole.
    void completeSplitHead(unsigned char* head, unsigned int* count);
    // head, count: in, data bytes that are not a status head. buffer, size,
    // read: the caller's. Keeps the bytes as pending data, or, when a whole
    // head's worth of data came and the caller has room for more, hands them
    // over together with whatever further data is already waiting.
    void takeData(const unsigned char* head, unsigned int count, unsigned char* buffer, unsigned int size,
                  unsigned int* read);
    // head: in, a recognised 7-byte status head. Consumes the rest of its
    // frame, records the status in `lastStatus` and keeps any extension
    // payload as pending data. 1 to go on reading; 0 when the frame broke off
    // (the connection is then closed).
    int consumeStatusFrame(const unsigned char* head);
    // block: in, an extension block of `length` bytes. Keeps its payload, cut
    // to the bytes actually present, as pending data.
    void keepExtensionPayload(const unsigned char* block, unsigned int length);
    // bytes: in, `count` bytes to become the new pending data.
    void setPending(const unsigned char* bytes, unsigned int count);
    void releasePending();

    // Steps of getParsedStatus.
    // Takes every status frame already waiting in automatic mode, for at most
    // the port's time limit; 0 when a frame was broken (the connection is then
    // closed).
    int drainStatusFrames();
    // When a drain of the data connection must stop even if the printer keeps
    // sending: the port's time limit from now.
    uint64_t drainEndMs() const;
    // Throws away what waits on the data connection in on-request mode.
    void drainDataConnection();
    // status: out, filled from the printer's answer on port 9101. 1 or 0.
    int requestStatusFromPort9101(VelmarPrinterStatus_2* status);
    // reply, length: in, the answer from port 9101. status: out. 1 when the
    // answer has a usable form.
    int decodePort9101Reply(const unsigned char* reply, unsigned int length, VelmarPrinterStatus_2* status);

    // Steps of the checked blocks.
    // command: in, a 6-byte completion command. 1 when all 6 bytes went out.
    int writeCommand(const unsigned char* command);
    // status: out, `raw` and `rawLength` get what one receive brought (at most
    // 63 bytes). Waits no longer than the deadline allows.
    void receiveAnswer(VelmarPrinterStatus_2* status, const quenvar::Deadline& deadline);
    // bytes, count: in, what a polling receive brought. A status frame the
    // printer sent among its answers becomes `lastStatus`.
    void takeStatusFramesAmong(const unsigned char* bytes, unsigned int count);

    int nagleEnabled;                        // 1: TCP_NODELAY is left off
    int keepAliveEnabled;                    // 1: keep-alive probing and a 2 MiB receive buffer
    sockaddr_in address;                     // the printer, port 9100
    int sock;                                // data connection, -1 while closed
    unsigned int timeoutMs;                  // limit for connect, send and receive
    unsigned int pendingOffset;              // next byte of pendingData to hand out
    std::vector<unsigned char> pendingData;  // received data not yet handed out
    unsigned int pendingLength;              // bytes of pendingData still waiting
    VelmarPrinterStatus_2 lastStatus;        // the printer's last reported status
    uint16_t statusPort;                     // 0 unsettled, 9100 automatic, 9101 on request
};
