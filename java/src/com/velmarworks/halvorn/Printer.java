package com.velmarworks.halvorn;

import java.util.Arrays;
import java.util.Objects;

/**
 * An open printer port.
 *
 * <pre>{@code
 * try (Printer printer = Printer.open("TCP:192.0.2.10", "", 3000)) {
 *     PrinterStatus done = printer.printJob("Hello\n".getBytes(StandardCharsets.US_ASCII));
 * }
 * }</pre>
 *
 * <p>Every failure is a {@link PrinterException}: {@link PrinterNotOpenedException}
 * when the port cannot be opened or is closed, {@link PrinterOfflineException}
 * when a checked block finds the printer offline or loses the exchange,
 * {@link PrinterErrorException} when the printer answers a checked block with
 * an error, {@link PrinterIOException} when a transfer fails.
 *
 * <p>The methods are synchronized: a port serves one call at a time, and
 * {@link #close} waits for a call in progress instead of freeing the port
 * under it.
 */
public final class Printer implements AutoCloseable {
    /** The time limit {@link #open(String)} uses, in milliseconds. */
    public static final int DEFAULT_TIMEOUT_MS = 3000;

    /** The work between the begin and the end of a checked block. */
    @FunctionalInterface
    public interface JobBody {
        void write(Printer printer) throws PrinterException;
    }

    /** The most bytes one transfer offers the port. */
    static final int MAX_CALL_BYTES = 64 * 1024;
    /** The least a port that takes fewer bytes than offered is offered from then on. */
    static final int MIN_CALL_BYTES = 16;
    /** The most bytes one read asks the port for. */
    public static final int READ_CALL_BYTES = 4 * 1024;
    /** Transfers in a row that take all of {@link #writeLimit} before it doubles again. */
    private static final int WHOLE_TAKES_BEFORE_GROWING = 16;

    /** The first and the longest pause before asking again a port that took nothing, in ms. */
    private static final long FIRST_RETRY_PAUSE_MS = 1;
    private static final long LONGEST_RETRY_PAUSE_MS = 50;

    private final String portName;
    private final int timeoutMs;
    private long handle;

    // The native side copies the whole Java array a transfer names, in and out
    // again, however few bytes the port takes from it. So a transfer names an
    // array no longer than writeLimit, which follows what the port takes in
    // one call: it shrinks to what a transfer took when that was less than
    // offered (but not below MIN_CALL_BYTES) and doubles again while transfers
    // take it whole. A port that takes 64 bytes a call then costs copies of
    // about 64 bytes per call, not copies of the whole job.
    private int writeLimit = MAX_CALL_BYTES;
    private int wholeTakes;
    private byte[] writeBuffer;
    private byte[] readBuffer;

    private Printer(String portName, int timeoutMs, long handle) {
        this.portName = portName;
        this.timeoutMs = timeoutMs;
        this.handle = handle;
    }

    /** Opens {@code portName} with empty settings and {@link #DEFAULT_TIMEOUT_MS}. */
    public static Printer open(String portName) throws PrinterException {
        return open(portName, "", DEFAULT_TIMEOUT_MS);
    }

    /**
     * Opens a printer port.
     *
     * @param portName  "TCP:" and an IPv4 address, a /dev/tty or /dev/parport device, "usbven:..." or "usbprn:..."
     * @param settings  the transport's settings ("" for none)
     * @param timeoutMs time limit of the connect and of each transfer, in milliseconds
     */
    public static Printer open(String portName, String settings, int timeoutMs) throws PrinterException {
        Objects.requireNonNull(portName, "portName");
        Objects.requireNonNull(settings, "settings");
        if (timeoutMs < 0) throw new IllegalArgumentException("timeoutMs is negative: " + timeoutMs);
        long handle = Quenvar.nativeOpenPort(portName, settings, timeoutMs);
        if (handle == 0) throw new PrinterNotOpenedException("cannot open printer port " + portName);
        return new Printer(portName, timeoutMs, handle);
    }

    public String portName() {
        return portName;
    }

    public synchronized boolean isOpen() {
        return handle != 0;
    }

    /** Sends all of {@code data}, as many transfers as the port needs. */
    public void writeAll(byte[] data) throws PrinterException {
        writeAll(data, 0, data.length);
    }

    /**
     * Sends {@code length} bytes from {@code data[offset]} on, as many transfers as the port needs.
     * A port that takes nothing in a transfer (a serial printer holding DSR off while its buffer
     * is full, a USB printer busy past a transfer's limit) is asked again after short pauses until
     * it has taken nothing for the port's time limit (1 s when that is 0); then the loop ends with
     * a {@link PrinterIOException} that says how many bytes went out before.
     */
    public synchronized void writeAll(byte[] data, int offset, int length) throws PrinterException {
        Objects.checkFromIndexSize(offset, length, data.length);
        int[] count = new int[1];
        int sent = 0;
        long idleSince = -1;
        while (sent < length) {
            // Small arrays go to the port as they are; from a large one, each
            // transfer gets a copy of the next piece in an array of the size
            // the port takes.
            int offered = Math.min(length - sent, writeLimit);
            byte[] chunk = data;
            int at = offset + sent;
            if (data.length > writeLimit) {
                chunk = writeBuffer();
                System.arraycopy(data, at, chunk, 0, offered);
                at = 0;
            }
            count[0] = 0;
            if (Quenvar.nativeWritePort(live(), chunk, at, offered, count) != 1) {
                throw new PrinterIOException("write to " + portName + " failed after " + sent + " of " + length + " bytes");
            }
            if (count[0] < 0 || count[0] > offered) {
                throw new PrinterIOException("printer at " + portName + " took " + count[0] + " bytes after "
                        + sent + " of " + length);
            }
            if (count[0] == 0) {
                idleSince = waitForRoom(idleSince, sent, length);
                continue;
            }
            idleSince = -1;
            sent += count[0];
            learnTransferSize(offered, count[0]);
        }
    }

    /**
     * A transfer took nothing: pauses before the next one, or throws once the port has taken
     * nothing for its time limit. Returns when the idle stretch began (System.nanoTime).
     */
    private long waitForRoom(long idleSince, int sent, int length) throws PrinterException {
        long now = System.nanoTime();
        if (idleSince < 0) idleSince = now;
        long idleMs = (now - idleSince) / 1_000_000;
        long limitMs = timeoutMs != 0 ? Integer.toUnsignedLong(timeoutMs) : 1000;
        if (idleMs >= limitMs) {
            throw new PrinterIOException("printer at " + portName + " took no bytes for " + limitMs + " ms after "
                    + sent + " of " + length);
        }
        long pause = Math.min(LONGEST_RETRY_PAUSE_MS, FIRST_RETRY_PAUSE_MS << Math.min(6, idleMs / 8));
        try {
            Thread.sleep(Math.min(pause, limitMs - idleMs));
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new PrinterIOException("interrupted while the printer at " + portName + " took no bytes");
        }
        return idleSince;
    }

    /**
     * Reads what the printer sent into {@code buf[offset...]}, at most {@code length} bytes,
     * waiting up to the time limit for the first. Returns the number of bytes read, possibly 0.
     * One call reads at most {@value #READ_CALL_BYTES} bytes.
     */
    public synchronized int read(byte[] buf, int offset, int length) throws PrinterException {
        Objects.checkFromIndexSize(offset, length, buf.length);
        int[] count = new int[1];
        if (buf.length <= READ_CALL_BYTES) {
            if (Quenvar.nativeReadPort(live(), buf, offset, length, count) != 1) {
                throw new PrinterIOException("read from " + portName + " failed");
            }
            return count[0];
        }
        if (readBuffer == null) readBuffer = new byte[READ_CALL_BYTES];
        int asked = Math.min(length, READ_CALL_BYTES);
        if (Quenvar.nativeReadPort(live(), readBuffer, 0, asked, count) != 1) {
            throw new PrinterIOException("read from " + portName + " failed");
        }
        if (count[0] < 0 || count[0] > asked) {
            throw new PrinterIOException("read from " + portName + " reported " + count[0] + " of " + asked + " bytes");
        }
        System.arraycopy(readBuffer, 0, buf, offset, count[0]);
        return count[0];
    }

    /** Reads at most {@code maxBytes} bytes that the printer sent; the result may be empty. */
    public byte[] read(int maxBytes) throws PrinterException {
        byte[] buf = new byte[Math.min(maxBytes, READ_CALL_BYTES)];
        return Arrays.copyOf(buf, read(buf, 0, buf.length));
    }

    /** The printer's current status. An offline printer is reported in the status, not thrown. */
    public synchronized PrinterStatus status() throws PrinterException {
        PrinterStatus status = new PrinterStatus();
        if (Quenvar.nativeGetParsedStatus(live(), status) != 1) {
            throw new PrinterIOException("cannot take the status of " + portName);
        }
        return status;
    }

    /** Begins a checked block: the printer is ready for a job when this returns. */
    public synchronized PrinterStatus beginJob() throws PrinterException {
        PrinterStatus status = new PrinterStatus();
        if (Quenvar.nativeBeginCheckedBlock(live(), status) != 1) {
            throw new PrinterErrorException("printer at " + portName + " refused the job begin");
        }
        if (status.offline) throw new PrinterOfflineException("printer at " + portName + " is offline", status);
        return status;
    }

    /** Ends a checked block: returns once the printer confirms it has processed everything sent. */
    public synchronized PrinterStatus endJob() throws PrinterException {
        PrinterStatus status = new PrinterStatus();
        if (Quenvar.nativeEndCheckedBlock(live(), status) != 1) {
            throw new PrinterErrorException("printer at " + portName + " answered the job end with an error");
        }
        if (status.offline) {
            throw new PrinterOfflineException("printer at " + portName + " did not confirm the job", status);
        }
        return status;
    }

    /**
     * Runs {@code body} inside a checked block and returns the printer's status
     * after it confirmed the job.
     *
     * <p>When {@code body} throws (a {@link PrinterException}, a runtime
     * exception or an error), the job end is <em>not</em> sent: the printer must
     * not confirm a job that was cut short. The exception reaches the caller
     * unchanged; what {@code body} wrote before it may already be printing. The
     * port stays open, and the next {@link #beginJob} or {@code job} begins a
     * new checked block.
     *
     * @throws PrinterException from {@link #beginJob}, from {@code body}, or from {@link #endJob}
     */
    public synchronized PrinterStatus job(JobBody body) throws PrinterException {
        Objects.requireNonNull(body, "body");
        beginJob();
        body.write(this);
        return endJob();
    }

    /** Prints {@code data} as one confirmed job. */
    public PrinterStatus printJob(byte[] data) throws PrinterException {
        Objects.requireNonNull(data, "data");
        return job(printer -> printer.writeAll(data));
    }

    /** Resets the printer or its connection. Not every transport can (the network cannot). */
    public synchronized void reset() throws PrinterException {
        if (Quenvar.nativeResetDevice(live()) != 1) {
            throw new PrinterIOException("printer at " + portName + " was not reset");
        }
    }

    /** Closes the port. Closing again does nothing. */
    @Override
    public synchronized void close() {
        if (handle != 0) {
            Quenvar.nativeClosePort(handle);
            handle = 0;
        }
    }

    private byte[] writeBuffer() {
        if (writeBuffer == null || writeBuffer.length != writeLimit) writeBuffer = new byte[writeLimit];
        return writeBuffer;
    }

    private void learnTransferSize(int offered, int taken) {
        if (taken < offered) {
            writeLimit = Math.max(MIN_CALL_BYTES, taken);
            wholeTakes = 0;
        } else if (offered == writeLimit && writeLimit < MAX_CALL_BYTES && ++wholeTakes >= WHOLE_TAKES_BEFORE_GROWING) {
            writeLimit = Math.min(MAX_CALL_BYTES, writeLimit * 2);
            wholeTakes = 0;
        }
    }

    private long live() throws PrinterNotOpenedException {
        if (handle == 0) throw new PrinterNotOpenedException("printer port " + portName + " is closed");
        return handle;
    }
}
