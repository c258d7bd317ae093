// The serial printer port: a terminal device (/dev/ttyS0, /dev/ttyUSB0, ...)
// set up from the settings string "baud,parity,data bits,stop bits,flow".
// Bytes go out in drained chunks of at most 40; input is polled every 20 ms.
// The printer's status comes from ESC/POS real-time requests (DLE EOT n) and
// single reply bytes; print jobs are bracketed by the completion commands.
#pragma once

#include <sys/types.h>

#include "core/Deadline.h"
#include "core/Port.h"

class SerPort : public Port {
public:
    // portName: in, the whole port name. Returns 1 when its first eight
    // characters are exactly "/dev/tty", else 0.
    static int matchPortName(const char* portName);

    // portName: in, the terminal device, opened as it is.
    // portSettings: in, "baud,parity,data bits,stop bits,flow": baud 2400,
    //   4800, 9600, 19200, 38400, 57600 or 115200; parity n, e or o; data bits
    //   7 or 8; stop bits 1 or 2; flow n (none) or h (writes wait for the
    //   printer's DSR). Characters after the part of a field that is read are
    //   ignored ("9600,none,8,1,hardware" is 9600,n,8,1,h).
    // timeoutMs: in, how long a read waits for the printer's bytes (0: one
    //   immediate look).
    // Throws the unsigned int 0 when the device cannot be opened or set up, or
    // the settings are not valid, after closing the device again.
    SerPort(const char* portName, const char* portSettings, unsigned int timeoutMs);
    // Closes the device.
    ~SerPort() override;

    // buf: out, at most `size` bytes the printer sent. read: out, their count.
    // Waits up to timeoutMs for bytes, in 20 ms steps, and once bytes came,
    // until a step brings no more. 0 when nothing came (*read 0).
    int readPort(unsigned char* buf, unsigned int size, unsigned int* read) override;
    // buf: in, the bytes to send; at most 40 of them go out per call, and the
    // call returns once they have left the line. written: out, how many went
    // (with flow h and DSR down: 0, result 1, nothing sent). On a failed
    // drain the result is 0 with *written the count already handed over.
    int writePort(const unsigned char* buf, unsigned int size, unsigned int* written) override;
    // online: out, 1 while the printer asserts DSR, else 0; left alone when
    //   the modem lines cannot be read (result 0).
    int getOnlineStatus(unsigned int* online) override;
    // status: out, cleared, then offline, coverOpen and receiptPaperEmpty
    //   from the replies to DLE EOT 3, 1, 2, 4, and the last reply in raw.
    //   What the printer sent before each request is discarded first.
    //   Result 0 when a request or reply failed (the clearing block has then
    //   been sent if a reply was missing).
    int getParsedStatus(VelmarPrinterStatus_2* status) override;
    // status: out, offline 0 when the printer consented to the job; result 1
    //   with offline 1 when it is offline, the exchange failed or no consent
    //   came within QUENVAR_CHECKED_BLOCK_BOUND_MS(timeoutMs); result 0 when
    //   it refused with an error value.
    int beginCheckedBlock(VelmarPrinterStatus_2* status) override;
    // status: out, etbCounter 1 and offline 0 when the printer confirmed the
    //   job; result 1 with offline 1 when it went offline, the exchange failed
    //   or no confirmation came within the bound; result 0 for an error value.
    int endCheckedBlock(VelmarPrinterStatus_2* status) override;
    // Drops DTR for 10 ms, the host line the printer sees as its DSR input.
    // 1, or 0 when the modem lines cannot be read or set.
    int resetDevice() override;

    // status: out, cleared. Sends the clearing block (2503 bytes 00) straight
    // to the device, which ends any command the printer is still collecting
    // parameters for. 1 when the device took all of it.
    int SerGetParsedStatusWithClear(VelmarPrinterStatus_2* status);
    // status: in raw/rawLength, the bytes just read; out offline, etbCounter.
    // A single byte, or bytes not beginning with 1B, are a printer status byte
    // (bit 3: offline). Otherwise the latest job end answer among them
    // decides: c 1 sets etbCounter (after the status preamble is sent), other
    // values give 0. 1 when handled, decided or not.
    int SerReadBufParser(VelmarPrinterStatus_2* status);

private:
    // getParsedStatus, with every read ending at `deadline` at the latest (a
    // checked block's own status takes its time from the block's bound).
    int getParsedStatusWithin(VelmarPrinterStatus_2* status, const quenvar::Deadline& deadline);
    // readPort, with the whole wait ending at `deadline` at the latest.
    int readWithin(unsigned char* buf, unsigned int size, unsigned int* read, const quenvar::Deadline& deadline);
    // A read of at most `size` bytes into `place`, its count in `*count`; when
    // nothing came, the clearing block is sent and whatever the printer says
    // next is read once into the same place. True only for the first read.
    // `status` is cleared in the second case.
    bool readOrClear(VelmarPrinterStatus_2* status, unsigned char* place, unsigned int size, unsigned int* count,
                     const quenvar::Deadline& deadline);
    // One writePort call of `length` bytes; true when all of them went out.
    bool writeCommand(const unsigned char* command, unsigned int length);
    // One write() of `length` bytes (resumed after signals): its result.
    ssize_t writeOnce(const unsigned char* bytes, unsigned int length);
    // One write straight to the device, outside writePort's limit, DSR test
    // and drain; the count it took, or 0 on failure.
    unsigned int writeDirect(const unsigned char* bytes, unsigned int length);

    char flowControl;        // 'n' none, 'h' writes wait for DSR
    int fd;                  // the open terminal device
    unsigned int timeoutMs;  // how long a read waits for the printer
};
