/*
 * quenvar.h - printer port I/O for receipt and point-of-sale printers.
 *
 * An application opens a printer by its port name, writes command bytes to it,
 * reads what the printer sends back, asks for the decoded printer status, and
 * brackets each print job in a checked block that confirms the printer
 * finished it.
 *
 * Results: every function except OpenPort returns 1 for success and 0 for
 * failure. Counts and states come back through out-parameters. There are no
 * error codes and no error texts; the library prints nothing.
 *
 * Threads: the library creates no threads. One port must be used by one
 * thread at a time; different ports may be used from different threads at
 * once. The only lock it takes is around the search for a USB printer: the USB
 * library keeps one list of buses and devices for the whole process, so USB
 * ports opening or reopening their printer take turns.
 *
 * Time limits: every call blocks on the caller's thread. Each transfer is
 * bounded by the time limit given to OpenPort (timeoutMs; 0 means that sends
 * and receives wait without limit on the network and look only once on a
 * serial line, see "A time limit of 0" below for each transport). A
 * checked-block operation that has not seen the printer's answer within
 * QUENVAR_CHECKED_BLOCK_BOUND_MS(timeoutMs) ends by itself as a failed
 * exchange; every wait inside it ends by that bound.
 *
 * This header compiles as C (C99 and later) and as C++.
 */
#ifndef QUENVAR_H
#define QUENVAR_H

#include <stddef.h>
#include <stdint.h>

#if defined(QUENVAR_BUILDING_LIBRARY)
#define QUENVAR_API __attribute__((visibility("default")))
#else
#define QUENVAR_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------------
 * Port handle
 *
 * The opaque handle OpenPort returns. The caller owns it until ClosePort; after
 * ClosePort it is invalid.
 */
typedef void* QuenvarPort;

/* ---------------------------------------------------------------------------
 * Checked-block bound
 *
 * A printer that keeps its connection alive but never answers a job begin or
 * job end would hold the caller forever. Every checked-block operation
 * therefore ends by itself when the printer's answer has not come within the
 * larger of QUENVAR_CHECKED_BLOCK_TIMEOUT_FACTOR x timeoutMs and
 * QUENVAR_CHECKED_BLOCK_MIN_BOUND_MS, counted from the start of the operation.
 * It then ends as that transport's other exchange failures end (on the
 * network, on a serial line and on the USB printer class: result 1 with the
 * status record's offline flag set to 1; on the USB vendor route, as when the
 * printer stops being online: result 1 with the record zeroed and offline 1).
 */
#define QUENVAR_CHECKED_BLOCK_TIMEOUT_FACTOR 10u
#define QUENVAR_CHECKED_BLOCK_MIN_BOUND_MS 1000u
/* clang-format off */
#define QUENVAR_CHECKED_BLOCK_BOUND_MS(timeoutMs)                                                     \
    ((uint64_t)(timeoutMs) * QUENVAR_CHECKED_BLOCK_TIMEOUT_FACTOR > QUENVAR_CHECKED_BLOCK_MIN_BOUND_MS \
         ? (uint64_t)(timeoutMs) * QUENVAR_CHECKED_BLOCK_TIMEOUT_FACTOR                                \
         : (uint64_t)QUENVAR_CHECKED_BLOCK_MIN_BOUND_MS)
/* clang-format on */

/* ---------------------------------------------------------------------------
 * A time limit of 0, per transport and operation
 *
 * Network ("tcp:"):
 *   OpenPort        the connect takes only a connection that completes at once;
 *                   discovery waits for no reply (none already there: status
 *                   from port 9101); the opening status waits without limit.
 *   WritePort       waits without limit for the printer to take the bytes.
 *   ReadPort        waits without limit for the first bytes, and for the rest
 *                   of a status frame begun; a few bytes that may begin a
 *                   frame or a job answer wait 50 ms for the rest, then count
 *                   as data.
 *   GetParsedStatus, GetOnlineStatus
 *                   automatic status (9100): takes what arrives within 1 s;
 *                   status port (9101): the connect and the reply wait
 *                   without limit.
 *   Checked blocks  every wait inside them (status, reconnection, pauses,
 *                   commands, receives) ends within
 *                   QUENVAR_CHECKED_BLOCK_BOUND_MS(0), 1 s, from the start
 *                   of the operation.
 *   ClosePort       waits up to 1 s for the printer to close its side.
 *
 * Serial ("/dev/tty..."):
 *   ReadPort        one immediate look: the bytes already received, or
 *                   result 0 when none are there.
 *   WritePort       as with any limit: returns once the line has sent the
 *                   bytes; a full output queue fails at once instead of
 *                   waiting up to timeoutMs for room.
 *   GetParsedStatus each reply is looked for once, right after its request,
 *                   before a printer on a real line can have answered: the
 *                   clearing block is sent and the result is 0.
 *   Checked blocks  the status and every reply are looked for once: a block
 *                   ends with offline 1 unless the replies are there already;
 *                   a printer that keeps answering something else is polled
 *                   for at most QUENVAR_CHECKED_BLOCK_BOUND_MS(0), 1 s.
 *   GetOnlineStatus, ResetDevice
 *                   do not wait for the printer.
 *
 * USB ("usbven:", "usbprn:"):
 *   WritePort, GetOnlineStatus, ResetDevice
 *                   the transfer waits without limit, as the USB library
 *                   takes 0.
 *   ReadPort        vendor route: fails at once when the printer has nothing
 *                   waiting; printer class: the one bulk read waits without
 *                   limit.
 *   GetParsedStatus and checked blocks
 *                   every transfer and wait inside them ends within
 *                   QUENVAR_CHECKED_BLOCK_BOUND_MS(0), 1 s, from the start of
 *                   the operation (a search for the printer makes requests of
 *                   200 ms each; the acknowledge of a job answer that came in
 *                   time gets 1 s of its own).
 *
 * Parallel ("/dev/parport"): the parallel port driver refuses a zero time
 * limit, so with 0 none is handed over and the driver keeps its own (any other
 * timeoutMs is handed to it once, when the port opens, as whole seconds and
 * the microseconds that remain). The operations do not depend on it:
 *   ReadPort        looks every 10 ms for up to 1000 ms, whatever timeoutMs.
 *   WritePort       one write on the non-blocking device, which takes what the
 *                   printer takes without waiting (possibly nothing while it
 *                   is busy).
 *   GetParsedStatus a fixed exchange with 100 ms pauses, at most about 0.8 s.
 *   Checked blocks  end within QUENVAR_CHECKED_BLOCK_BOUND_MS(timeoutMs), 1 s
 *                   for 0, with result 1 and offline 1 when the printer has
 *                   not answered by then.
 */

/* ---------------------------------------------------------------------------
 * Printer status structures
 *
 * The status functions with "Ex" take a version and write the structure of
 * that version; the functions without "Ex" write version 0. Every flag holds 0
 * or 1. etbCounter is the printer's ETB counter (0 to 31), valid when
 * etbAvailable is 1; presenterState is 0 to 7. raw holds the status bytes as
 * the printer sent them, rawLength of them valid (at most 64).
 *
 * Version 2 is written whole (all 180 bytes). Versions 0 and 1 are written
 * field by field: their padding and the bytes of raw at and after rawLength
 * keep what the caller's structure held before.
 */

/* Version 0: 140 bytes, 17 flags. */
typedef struct VelmarPrinterStatus_0 {
    uint32_t coverOpen;
    uint32_t offline;
    uint32_t compulsionSwitch;
    uint32_t overTemp;
    uint32_t unrecoverableError;
    uint32_t cutterError;
    uint32_t mechError;
    uint32_t pageModeCmdError;
    uint32_t blackMarkError;
    uint32_t presenterPaperJamError;
    uint32_t headUpError;
    uint32_t receiptBlackMarkDetection;
    uint32_t receiptPaperEmpty;
    uint32_t receiptPaperNearEmptyInner;
    uint32_t receiptPaperNearEmptyOuter;
    uint32_t stackerFull;
    uint32_t etbAvailable;
    uint8_t etbCounter;
    uint8_t presenterState;
    uint8_t padding[2]; /* not used */
    uint32_t rawLength;
    uint8_t raw[64];
} VelmarPrinterStatus_0;

/* Version 1: 172 bytes, 25 flags (all but headThermistorError and voltageError). */
typedef struct VelmarPrinterStatus_1 {
    uint32_t coverOpen;
    uint32_t offline;
    uint32_t compulsionSwitch;
    uint32_t overTemp;
    uint32_t unrecoverableError;
    uint32_t cutterError;
    uint32_t mechError;
    uint32_t receiveBufferOverflow;
    uint32_t pageModeCmdError;
    uint32_t blackMarkError;
    uint32_t presenterPaperJamError;
    uint32_t headUpError;
    uint32_t receiptBlackMarkDetection;
    uint32_t receiptPaperEmpty;
    uint32_t receiptPaperNearEmptyInner;
    uint32_t receiptPaperNearEmptyOuter;
    uint32_t presenterPaperPresent;
    uint32_t peelerPaperPresent;
    uint32_t stackerFull;
    uint32_t slipTOF;
    uint32_t slipCOF;
    uint32_t slipBOF;
    uint32_t validationPaperPresent;
    uint32_t slipPaperPresent;
    uint32_t etbAvailable;
    uint8_t etbCounter;
    uint8_t presenterState;
    uint8_t padding[2]; /* not used */
    uint32_t rawLength;
    uint8_t raw[64];
} VelmarPrinterStatus_1;

/* Version 2: 180 bytes, all 27 flags. Also the library's internal record. */
typedef struct VelmarPrinterStatus_2 {
    uint32_t coverOpen;                  /* the printer's cover is open */
    uint32_t offline;                    /* the printer is offline */
    uint32_t compulsionSwitch;           /* the compulsion switch input is active */
    uint32_t overTemp;                   /* over-temperature stop */
    uint32_t unrecoverableError;         /* unrecoverable error */
    uint32_t cutterError;                /* cutter error */
    uint32_t mechError;                  /* mechanical error */
    uint32_t headThermistorError;        /* head thermistor error */
    uint32_t receiveBufferOverflow;      /* receive buffer overflow */
    uint32_t pageModeCmdError;           /* page mode command error */
    uint32_t blackMarkError;             /* black mark error */
    uint32_t presenterPaperJamError;     /* presenter paper jam */
    uint32_t headUpError;                /* head up */
    uint32_t voltageError;               /* voltage error */
    uint32_t receiptBlackMarkDetection;  /* black mark detected on the receipt paper */
    uint32_t receiptPaperEmpty;          /* receipt paper empty */
    uint32_t receiptPaperNearEmptyInner; /* receipt paper near empty (inner sensor) */
    uint32_t receiptPaperNearEmptyOuter; /* receipt paper near empty (outer sensor) */
    uint32_t presenterPaperPresent;      /* paper present in the presenter */
    uint32_t peelerPaperPresent;         /* paper present in the peeler */
    uint32_t stackerFull;                /* stacker full */
    uint32_t slipTOF;                    /* slip paper TOF state */
    uint32_t slipCOF;                    /* slip paper COF state */
    uint32_t slipBOF;                    /* slip paper BOF state */
    uint32_t validationPaperPresent;     /* validation paper present */
    uint32_t slipPaperPresent;           /* slip paper present */
    uint32_t etbAvailable;               /* etbCounter holds a value the printer reported */
    uint8_t etbCounter;                  /* ETB counter, 0 to 31 */
    uint8_t presenterState;              /* presenter state, 0 to 7 */
    uint8_t padding[2];                  /* not used */
    uint32_t rawLength;                  /* number of valid bytes in raw */
    uint8_t raw[64];                     /* the status bytes as received */
} VelmarPrinterStatus_2;

/* The layouts are part of the interface: pin every size and offset. */
#if defined(__cplusplus)
#define QUENVAR_STATIC_ASSERT(cond, name) static_assert(cond, #name)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define QUENVAR_STATIC_ASSERT(cond, name) _Static_assert(cond, #name)
#else
#define QUENVAR_STATIC_ASSERT(cond, name) typedef char quenvar_assert_##name[(cond) ? 1 : -1]
#endif

#define QUENVAR_PIN(type, field, off) QUENVAR_STATIC_ASSERT(offsetof(type, field) == (off), type##_##field##_offset)

QUENVAR_STATIC_ASSERT(sizeof(VelmarPrinterStatus_0) == 140, VelmarPrinterStatus_0_size);
QUENVAR_STATIC_ASSERT(sizeof(VelmarPrinterStatus_1) == 172, VelmarPrinterStatus_1_size);
QUENVAR_STATIC_ASSERT(sizeof(VelmarPrinterStatus_2) == 180, VelmarPrinterStatus_2_size);

QUENVAR_PIN(VelmarPrinterStatus_0, coverOpen, 0);
QUENVAR_PIN(VelmarPrinterStatus_0, offline, 4);
QUENVAR_PIN(VelmarPrinterStatus_0, compulsionSwitch, 8);
QUENVAR_PIN(VelmarPrinterStatus_0, overTemp, 12);
QUENVAR_PIN(VelmarPrinterStatus_0, unrecoverableError, 16);
QUENVAR_PIN(VelmarPrinterStatus_0, cutterError, 20);
QUENVAR_PIN(VelmarPrinterStatus_0, mechError, 24);
QUENVAR_PIN(VelmarPrinterStatus_0, pageModeCmdError, 28);
QUENVAR_PIN(VelmarPrinterStatus_0, blackMarkError, 32);
QUENVAR_PIN(VelmarPrinterStatus_0, presenterPaperJamError, 36);
QUENVAR_PIN(VelmarPrinterStatus_0, headUpError, 40);
QUENVAR_PIN(VelmarPrinterStatus_0, receiptBlackMarkDetection, 44);
QUENVAR_PIN(VelmarPrinterStatus_0, receiptPaperEmpty, 48);
QUENVAR_PIN(VelmarPrinterStatus_0, receiptPaperNearEmptyInner, 52);
QUENVAR_PIN(VelmarPrinterStatus_0, receiptPaperNearEmptyOuter, 56);
QUENVAR_PIN(VelmarPrinterStatus_0, stackerFull, 60);
QUENVAR_PIN(VelmarPrinterStatus_0, etbAvailable, 64);
QUENVAR_PIN(VelmarPrinterStatus_0, etbCounter, 68);
QUENVAR_PIN(VelmarPrinterStatus_0, presenterState, 69);
QUENVAR_PIN(VelmarPrinterStatus_0, padding, 70);
QUENVAR_PIN(VelmarPrinterStatus_0, rawLength, 72);
QUENVAR_PIN(VelmarPrinterStatus_0, raw, 76);

QUENVAR_PIN(VelmarPrinterStatus_1, coverOpen, 0);
QUENVAR_PIN(VelmarPrinterStatus_1, offline, 4);
QUENVAR_PIN(VelmarPrinterStatus_1, compulsionSwitch, 8);
QUENVAR_PIN(VelmarPrinterStatus_1, overTemp, 12);
QUENVAR_PIN(VelmarPrinterStatus_1, unrecoverableError, 16);
QUENVAR_PIN(VelmarPrinterStatus_1, cutterError, 20);
QUENVAR_PIN(VelmarPrinterStatus_1, mechError, 24);
QUENVAR_PIN(VelmarPrinterStatus_1, receiveBufferOverflow, 28);
QUENVAR_PIN(VelmarPrinterStatus_1, pageModeCmdError, 32);
QUENVAR_PIN(VelmarPrinterStatus_1, blackMarkError, 36);
QUENVAR_PIN(VelmarPrinterStatus_1, presenterPaperJamError, 40);
QUENVAR_PIN(VelmarPrinterStatus_1, headUpError, 44);
QUENVAR_PIN(VelmarPrinterStatus_1, receiptBlackMarkDetection, 48);
QUENVAR_PIN(VelmarPrinterStatus_1, receiptPaperEmpty, 52);
QUENVAR_PIN(VelmarPrinterStatus_1, receiptPaperNearEmptyInner, 56);
QUENVAR_PIN(VelmarPrinterStatus_1, receiptPaperNearEmptyOuter, 60);
QUENVAR_PIN(VelmarPrinterStatus_1, presenterPaperPresent, 64);
QUENVAR_PIN(VelmarPrinterStatus_1, peelerPaperPresent, 68);
QUENVAR_PIN(VelmarPrinterStatus_1, stackerFull, 72);
QUENVAR_PIN(VelmarPrinterStatus_1, slipTOF, 76);
QUENVAR_PIN(VelmarPrinterStatus_1, slipCOF, 80);
QUENVAR_PIN(VelmarPrinterStatus_1, slipBOF, 84);
QUENVAR_PIN(VelmarPrinterStatus_1, validationPaperPresent, 88);
QUENVAR_PIN(VelmarPrinterStatus_1, slipPaperPresent, 92);
QUENVAR_PIN(VelmarPrinterStatus_1, etbAvailable, 96);
QUENVAR_PIN(VelmarPrinterStatus_1, etbCounter, 100);
QUENVAR_PIN(VelmarPrinterStatus_1, presenterState, 101);
QUENVAR_PIN(VelmarPrinterStatus_1, padding, 102);
QUENVAR_PIN(VelmarPrinterStatus_1, rawLength, 104);
QUENVAR_PIN(VelmarPrinterStatus_1, raw, 108);

QUENVAR_PIN(VelmarPrinterStatus_2, coverOpen, 0);
QUENVAR_PIN(VelmarPrinterStatus_2, offline, 4);
QUENVAR_PIN(VelmarPrinterStatus_2, compulsionSwitch, 8);
QUENVAR_PIN(VelmarPrinterStatus_2, overTemp, 12);
QUENVAR_PIN(VelmarPrinterStatus_2, unrecoverableError, 16);
QUENVAR_PIN(VelmarPrinterStatus_2, cutterError, 20);
QUENVAR_PIN(VelmarPrinterStatus_2, mechError, 24);
QUENVAR_PIN(VelmarPrinterStatus_2, headThermistorError, 28);
QUENVAR_PIN(VelmarPrinterStatus_2, receiveBufferOverflow, 32);
QUENVAR_PIN(VelmarPrinterStatus_2, pageModeCmdError, 36);
QUENVAR_PIN(VelmarPrinterStatus_2, blackMarkError, 40);
QUENVAR_PIN(VelmarPrinterStatus_2, presenterPaperJamError, 44);
QUENVAR_PIN(VelmarPrinterStatus_2, headUpError, 48);
QUENVAR_PIN(VelmarPrinterStatus_2, voltageError, 52);
QUENVAR_PIN(VelmarPrinterStatus_2, receiptBlackMarkDetection, 56);
QUENVAR_PIN(VelmarPrinterStatus_2, receiptPaperEmpty, 60);
QUENVAR_PIN(VelmarPrinterStatus_2, receiptPaperNearEmptyInner, 64);
QUENVAR_PIN(VelmarPrinterStatus_2, receiptPaperNearEmptyOuter, 68);
QUENVAR_PIN(VelmarPrinterStatus_2, presenterPaperPresent, 72);
QUENVAR_PIN(VelmarPrinterStatus_2, peelerPaperPresent, 76);
QUENVAR_PIN(VelmarPrinterStatus_2, stackerFull, 80);
QUENVAR_PIN(VelmarPrinterStatus_2, slipTOF, 84);
QUENVAR_PIN(VelmarPrinterStatus_2, slipCOF, 88);
QUENVAR_PIN(VelmarPrinterStatus_2, slipBOF, 92);
QUENVAR_PIN(VelmarPrinterStatus_2, validationPaperPresent, 96);
QUENVAR_PIN(VelmarPrinterStatus_2, slipPaperPresent, 100);
QUENVAR_PIN(VelmarPrinterStatus_2, etbAvailable, 104);
QUENVAR_PIN(VelmarPrinterStatus_2, etbCounter, 108);
QUENVAR_PIN(VelmarPrinterStatus_2, presenterState, 109);
QUENVAR_PIN(VelmarPrinterStatus_2, padding, 110);
QUENVAR_PIN(VelmarPrinterStatus_2, rawLength, 112);
QUENVAR_PIN(VelmarPrinterStatus_2, raw, 116);

#undef QUENVAR_PIN

/* ---------------------------------------------------------------------------
 * Functions
 */

/*
 * OpenPort - open a printer by its port name.
 *
 * portName     in: which printer, and through which transport:
 *                "tcp:192.0.2.10" or "TCP:192.0.2.10"  network printer (IPv4 address only)
 *                "/dev/ttyS0", "/dev/ttyUSB0", ...      serial printer
 *                "/dev/parport0", ...                   parallel printer
 *                "usbven:<id text>[;sn:<serial>]"       USB, vendor route
 *                "usbprn:<id text>[;sn:<serial>]"       USB, printer class
 *              Prefixes are case-sensitive ("tcp:"/"TCP:", "usbven:"/"USBVEN:", ...).
 * portSettings in: the transport's settings; may be "" but not NULL. Network:
 *              "n" keeps Nagle coalescing on, "a" turns keep-alive probing off,
 *              "9100" takes status automatically on the data connection, "9101"
 *              asks TCP port 9101 for it; with neither, a UDP discovery decides.
 *              Serial, all five fields required: "baud,parity,data bits,stop
 *              bits,flow" with baud 2400, 4800, 9600, 19200, 38400, 57600 or
 *              115200, parity n, e or o, data bits 7 or 8, stop bits 1 or 2,
 *              flow n (none) or h (writes wait for the printer's DSR; the
 *              driver does no flow control either way), e.g. "9600,n,8,1,n".
 *              Lower-case letters; what follows the part of a field read is
 *              ignored ("9600,none,8,1,hardware" is 9600,n,8,1,h).
 * timeoutMs    in: time limit in milliseconds for the connect and for each
 *              send and receive (network, 0: without limit) or for each wait
 *              for the printer's bytes (serial, 0: one immediate look).
 *
 * Returns the port handle, or NULL when no transport takes the name, when
 * either string is NULL, or when the printer cannot be opened. Blocks at most
 * for the transport's opening exchange (on the network: the connect, discovery
 * and the opening status, each within timeoutMs).
 */
QUENVAR_API void* OpenPort(const char* portName, const char* portSettings, unsigned int timeoutMs);

/*
 * ClosePort - close the port and release its device. Accepts NULL. Returns 1
 * in every case. The network transport shuts its connection down in an
 * orderly way, which may take up to timeoutMs while the printer finishes.
 */
QUENVAR_API int ClosePort(void* port);

/*
 * ReadPort - read what the printer sent.
 *
 * buf   out: receives at most size bytes of printer data (status frames the
 *       printer mixes into the stream are taken out).
 * read  out: the number of bytes stored in buf.
 * Returns 1 on success (possibly with *read 0), 0 on failure. Waits up to
 * timeoutMs for the printer's first bytes. Serial: looks every 20 ms, up to
 * timeoutMs / 20 times, and once bytes are there, until a look finds no more
 * (or size bytes); result 0 with *read 0 when none came. On USB a read that
 * gets nothing within timeoutMs fails, and the port opens the printer anew on
 * its next call. Parallel: looks every 10 ms for up to 1000 ms.
 *
 * The network port keeps at most 64 KiB of the printer's data that the caller
 * has not read yet: beyond that a status call leaves it with the connection,
 * and what a checked block must receive to find the printer's answer is
 * dropped, so a printer that floods its connection cannot exhaust memory.
 */
QUENVAR_API int ReadPort(void* port, unsigned char* buf, unsigned int size, unsigned int* read);

/*
 * WritePort - send bytes to the printer.
 *
 * buf      in: the bytes to send.
 * written  out: how many of them the printer's port took. One call makes one
 *          transfer and may take fewer than size bytes (serial: at most 40,
 *          USB: at most 64): loop on *written until all are sent.
 * Returns 1 on success, 0 on failure. Waits up to timeoutMs. Serial: returns
 * once the line has sent the bytes (tcdrain); with flow h and the printer's
 * DSR down, result 1 with *written 0 and nothing sent (try again later); when
 * the drain fails, result 0 with *written the bytes already handed to the
 * device, which must not be sent again. On USB a transfer the printer did not
 * take within timeoutMs returns 1 with *written 0; the port stays open.
 */
QUENVAR_API int WritePort(void* port, const unsigned char* buf, unsigned int size, unsigned int* written);

/*
 * GetOnlineStatus - online: out, 1 when the printer is online, 0 when not.
 * Returns 1 on success; on 0, *online is left as it was (USB: set to 0 when
 * the printer did not answer the request). Serial: the printer's DSR line
 * (result 0 on a device without modem lines, such as a pseudo-terminal).
 */
QUENVAR_API int GetOnlineStatus(void* port, unsigned int* online);

/*
 * GetParsedStatusEx - the printer's current status.
 *
 * status   out: the caller's structure of the given version (140, 172 or 180
 *          bytes); written only when the result is 1, and never for a
 *          version other than 0, 1 and 2.
 * version  in: 0, 1 or 2.
 * Returns 1 on success, 0 on failure. USB vendor route: bytes that begin no
 * Velmar ASB block are no status (the printer is asked for its block, and
 * without one the result is 0), so noise never reads as conditions or as an
 * ETB counter that confirms a job.
 */
QUENVAR_API int GetParsedStatusEx(void* port, void* status, unsigned int version);

/* GetParsedStatus - GetParsedStatusEx with version 0. */
QUENVAR_API int GetParsedStatus(void* port, void* status);

/*
 * BeginCheckedBlockEx - begin a print job: takes the printer's status and
 * tells the printer a job begins, waiting for its consent.
 *
 * status   out: the flags of the status the operation took before telling the
 *          printer (as GetParsedStatusEx), with offline set to 1 when the
 *          exchange failed; raw and rawLength hold the bytes of its last
 *          receive from the printer.
 * Result 1 with offline 0: the printer consented, send the job. Result 1 with
 * offline 1: the printer is offline or the exchange failed (connection lost,
 * or no answer within QUENVAR_CHECKED_BLOCK_BOUND_MS(timeoutMs)). Result 0:
 * the printer answered with an error, or its status could not be taken.
 *
 * What a checked block leaves in status are the flags of the last status it
 * took, not necessarily the printer's state when it returns: status frames the
 * printer sends while the block waits reach GetParsedStatusEx afterwards, not
 * this structure.
 */
QUENVAR_API int BeginCheckedBlockEx(void* port, void* status, unsigned int version);

/* BeginCheckedBlock - BeginCheckedBlockEx with version 0. */
QUENVAR_API int BeginCheckedBlock(void* port, void* status);

/*
 * EndCheckedBlockEx - end a print job: waits until the printer confirms that
 * everything sent before it has been processed.
 *
 * status   out: the flags of the last status the wait took (all 0 when the
 *          printer confirmed before the wait took one), with offline set to 1
 *          when the exchange failed; raw and rawLength hold the bytes of its
 *          last receive from the printer, or of that status.
 * Result 1 with offline 0: the printer confirmed the job. Result 1 with
 * offline 1: the printer went offline or the exchange failed (connection
 * lost, or no answer within QUENVAR_CHECKED_BLOCK_BOUND_MS(timeoutMs)).
 * Result 0: the printer answered with an error. On the network a job whose
 * connection broke after BeginCheckedBlockEx is never confirmed: bytes of it
 * may not have reached the printer, and an answer on a new connection cannot
 * vouch for them.
 */
QUENVAR_API int EndCheckedBlockEx(void* port, void* status, unsigned int version);

/* EndCheckedBlock - EndCheckedBlockEx with version 0. */
QUENVAR_API int EndCheckedBlock(void* port, void* status);

/*
 * ResetDevice - reset the printer or its connection, as the transport allows.
 * Returns 1 on success, 0 on failure (the network transport has no reset and
 * always returns 0; a serial port drops DTR, which the printer sees as its
 * DSR input, for 10 ms; the parallel port holds the printer's INIT line
 * active for 1 ms).
 */
QUENVAR_API int ResetDevice(void* port);

#ifdef __cplusplus
}
#endif

#endif /* QUENVAR_H */
