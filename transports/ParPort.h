// The parallel printer port: a printer on a parallel port, driven through the
// Linux user-space parallel port device (/dev/parport0 and so on) with ppdev
// requests. Print data goes out in compatibility mode; the printer's replies
// come back over the reverse channel: ESC/POS automatic status blocks, single
// real-time status bytes, and the answers to the completion commands.
#pragma once

#include "core/Deadline.h"
#include "core/Port.h"

class ParPort : public Port {
public:
    // portName: in, the whole port name. Returns 1 when it begins with
    // exactly "/dev/parport", else 0.
    static int matchPortName(const char* portName);

    // portName: in, the device path, opened as it stands (fewer than 100
    //   characters).
    // portSettings: in, kept, not interpreted (fewer than 100 characters).
    // timeoutMs: in, handed once to the driver as its time limit for port
    //   operations; 0 leaves the driver's own limit. Reads keep their fixed
    //   1000 ms, and the checked blocks end after
    //   QUENVAR_CHECKED_BLOCK_BOUND_MS(timeoutMs).
    // Opens and claims the port; throws the unsigned int 0 when a string is
    // too long, the device does not open, or the driver refuses the claim or
    // the time limit (the device is closed again first).
    ParPort(const char* portName, const char* portSettings, unsigned int timeoutMs);
    // Closes the device, which also releases the claim.
    ~ParPort() override;

    // buf: out, at most `size` bytes the printer sent. read: out, their count.
    // Looks every 10 ms for up to 1000 ms; 0 with *read 0 when nothing came.
    int readPort(unsigned char* buf, unsigned int size, unsigned int* read) override;
    // The same, one look at once, no waiting.
    int readPortInternal(unsigned char* buf, unsigned int size, unsigned int* read);
    // buf: in, `size` bytes, in one write. written: out, how many the driver
    // took (it may take fewer; 0 on failure).
    int writePort(const unsigned char* buf, unsigned int size, unsigned int* written) override;
    // online: out, 1 when the status lines say ERROR and SELECT set and
    // PAPEROUT clear, else 0. 0 when the lines cannot be read.
    int getOnlineStatus(unsigned int* online) override;
    // status: out, the printer's status from its automatic status block or
    // its real-time status bytes (the record is cleared first). 0 when no
    // status could be had; 1 with `offline` 1 when the port itself failed.
    int getParsedStatus(VelmarPrinterStatus_2* status) override;
    // status: out, the status before the job. 1 with `offline` 0: begun; 1
    // with `offline` 1: offline, a write failed, or no answer within the
    // bound; 0: the printer answered with an error.
    int beginCheckedBlock(VelmarPrinterStatus_2* status) override;
    // status: out, the outcome. 1 with `offline` 0: the printer confirmed the
    // job; 1 with `offline` 1: offline, a write failed, or no answer within
    // the bound; 0: the printer answered with an error.
    int endCheckedBlock(VelmarPrinterStatus_2* status) override;
    // Holds the printer's INIT line active for 1 ms. 1, or 0 when the driver
    // refused a control line change.
    int resetDevice() override;

private:
    // The status exchange of getParsedStatus, its pauses cut short by
    // `deadline` (a checked block's bound).
    int statusExchange(VelmarPrinterStatus_2* status, const quenvar::Deadline& deadline);
    // Steps of statusExchange. Each read step reads at most 63 bytes into
    // `raw` (`rawLength` 0 when the read failed) and gives the read's error
    // number in `*error` (0 on success).
    void readStatusBytes(VelmarPrinterStatus_2* status, int* error);
    // command: in, `length` bytes. 1 when the driver took all of them.
    int writeCommand(const unsigned char* command, unsigned int length);
    // One poll read of a checked block: read, and once more after a pause
    // when nothing came.
    void readAnswer(VelmarPrinterStatus_2* status, const quenvar::Deadline& deadline);

    char portName[100];
    char portSettings[100];
    unsigned int timeoutMs;
    int fd;
};
