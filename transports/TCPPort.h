// The network printer port: a TCP data connection to the printer's port 9100,
// with the printer's status either sent automatically on that connection
// (Velmar ASB frames mixed into the data) or fetched on request from TCP port
// 9101. A short UDP exchange on port 22222 tells the two kinds of printer apart
// when the settings string does not.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "core/Deadline.h"
#include "core/Port.h"
#include "core/StatusStreamParser.h"

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
    //   frames are taken out of the stream, extension payloads come as data,
    //   job answers come as the printer sent them. One stretch of data at
    //   most: a status frame between two ends a read.
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
    //   automatic mode; a fresh answer from port 9101 otherwise). Job answers
    //   waiting on the data connection are skipped; data is kept for readPort
    //   (in automatic mode it also fails the call and the next reconnects).
    int getParsedStatus(VelmarPrinterStatus_2* status) override;
    // status: out, the status before the job; `offline` 1 with result 1 when
    //   the printer is offline, the exchange failed or the block's bound
    //   passed. Every wait inside ends by that bound.
    int beginCheckedBlock(VelmarPrinterStatus_2* status) override;
    // status: out, the flags of the last status taken while waiting for the
    //   job end answer, which counts wherever the port meets it; `offline` 1
    //   with result 1 when the printer went offline, the exchange failed or
    //   the block's bound passed.
    int endCheckedBlock(VelmarPrinterStatus_2* status) override;
    // The network printer has no reset: always 0, nothing is sent.
    int resetDevice() override;

    // data: in, the bytes received. length: in, their count.
    // Returns 1 when they are exactly the 7-byte head of a Velmar ASB block as
    // the printer mixes it into the data stream, else 0.
    static int ReadPortIsVelmarAsbStatus(const unsigned char* data, unsigned int length);

private:
    class StreamTaker;

    // The answer a checked block waits for, taken wherever the port meets it:
    // in the block's own receives or among the bytes a status call drains.
    struct AwaitedAnswer {
        bool jobEnd;          // the job end answer; else the job begin answer
        bool found;           // one has come
        unsigned char value;  // its value c (the latest, when several came)
    };

    // Every step that may wait takes `deadline`, the end of the checked block
    // it serves (Deadline::never() outside one), and never waits past it.

    // Opens the data connection, settles the status mode the first time and,
    // in automatic mode, reads the printer's opening status. 1 or 0; on 0 the
    // connection is closed.
    int getSocket(const quenvar::Deadline& deadline);
    // Shuts the data connection down in an orderly way; `sock` becomes -1.
    // Bytes held back as a possible frame become data; a frame cut short is
    // dropped.
    void gracefulClose(const quenvar::Deadline& deadline);
    // One send of `size` bytes of `data`; `*written` gets the count moved.
    // A failed send closes the connection and returns 0.
    int writeSocket(const unsigned char* data, unsigned int size, unsigned int* written);
    // One receive of at most `size` bytes into `buffer`, waiting as long as
    // the connection's receive limit; `*read` gets the count (0 when the
    // printer closed its side). A failed receive closes the connection and
    // returns 0.
    int readSocket(unsigned char* buffer, unsigned int size, unsigned int* read);
    // One receive of what is already waiting, at most `size` bytes into
    // `buffer`; `*read` gets the count (0 when nothing was there after all).
    // 0 when the receive failed or the printer closed its side (the
    // connection is then closed).
    int receiveWaiting(unsigned char* buffer, unsigned int size, unsigned int* read, const quenvar::Deadline& deadline);

    // Steps of getSocket. Each returns 1 or 0.
    int connectDataSocket(const quenvar::Deadline& deadline);
    int setSocketOptions();
    int runDiscovery();
    // Reads the status frame the printer opens each connection with into
    // `lastStatus` (the frame's extension payload is no reply, and dropped).
    int readOpeningStatus(const quenvar::Deadline& deadline);

    // Steps of readPort.
    // buffer, size: in/out, the caller's buffer; read: out, the count handed
    // over from `pendingData` (one stretch at most).
    void deliverPending(unsigned char* buffer, unsigned int size, unsigned int* read);
    // Receives the next bytes for a read of `size` and takes them apart. 1 to
    // go on; 0 when the connection failed or the printer closed it and
    // nothing is left to hand out.
    int receiveForReading(unsigned int size);
    // bytes: in, `count` bytes of the printer's data. Kept for readPort, in a
    // stretch of their own when `newStretch`, else after the last one.
    void keepData(const unsigned char* bytes, std::size_t count, bool newStretch);

    // Steps of getParsedStatus and the checked blocks.
    // status: out, the printer's current status (written only on 1).
    // awaited: in/out, the answer a checked block waits for, or null.
    // 0 when the status could not be taken.
    int takeStatus(VelmarPrinterStatus_2* status, const quenvar::Deadline& deadline, AwaitedAnswer* awaited);
    // Takes apart what already waits on the data connection, for at most the
    // port's time limit: frames become `lastStatus`, data is kept for
    // readPort, completion answers go to `awaited` or are skipped. 0 when
    // the connection broke, or in automatic mode when data was waiting (the
    // connection is then closed).
    int drainDataConnection(const quenvar::Deadline& deadline, AwaitedAnswer* awaited);
    // status: out, filled from the printer's answer on port 9101. 1 or 0.
    int requestStatusFromPort9101(VelmarPrinterStatus_2* status, const quenvar::Deadline& deadline);
    // reply, length: in, the answer from port 9101. status: out. 1 when the
    // answer has a usable form.
    int decodePort9101Reply(const unsigned char* reply, unsigned int length, VelmarPrinterStatus_2* status);

    // Steps of the checked blocks.
    // command: in, a 6-byte completion command. 1 when all 6 bytes went out.
    int writeCommand(const unsigned char* command, const quenvar::Deadline& deadline);
    // status: out, `raw` and `rawLength` get what one receive brought (at most
    // 63 bytes), which is then taken apart like every other receive.
    void receiveAnswer(VelmarPrinterStatus_2* status, const quenvar::Deadline& deadline, AwaitedAnswer* awaited);
    // The block's outcome once `awaited` was found: 0 for a value other than
    // `success`; else the job acknowledge goes out and the result is 1.
    int finishBlock(VelmarPrinterStatus_2* status, const AwaitedAnswer& awaited, unsigned char success,
                    const quenvar::Deadline& deadline);
    // The end of a block whose time ran out or whose exchange failed.
    static int endAsOffline(VelmarPrinterStatus_2* status);

    int nagleEnabled;                                    // 1: TCP_NODELAY is left off
    int keepAliveEnabled;                                // 1: keep-alive probing and a 2 MiB receive buffer
    sockaddr_in address;                                 // the printer, port 9100
    int sock;                                            // data connection, -1 while closed
    unsigned int timeoutMs;                              // limit for connect, send and receive
    unsigned int pendingOffset;                          // next byte of the first stretch to hand out
    std::deque<std::vector<unsigned char>> pendingData;  // received data not yet handed out, by stretch
    unsigned int pendingLength;                          // bytes of pendingData still waiting
    VelmarPrinterStatus_2 lastStatus;                    // the printer's last reported status
    uint16_t statusPort;                                 // 0 unsettled, 9100 automatic, 9101 on request
    quenvar::StatusStreamParser streamParser;            // where the data connection's stream stands
    std::vector<unsigned char> receiveBuffer;            // room for readPort's receives
};
