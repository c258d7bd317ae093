package com.velmarworks.halvorn;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.charset.StandardCharsets;
import java.util.Arrays;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/** The native methods against a virtual printer on the network transport. */
class BridgeWithPrinterTest {
    private VirtualPrinter printer;
    private long port;

    @BeforeEach
    void open() throws Exception {
        printer = VirtualPrinter.start();
        port = Quenvar.nativeOpenPort(printer.portName(), "", 3000);
        assertNotEquals(0L, port, "cannot open " + printer.portName());
    }

    @AfterEach
    void close() {
        if (port != 0) assertEquals(1, Quenvar.nativeClosePort(port));
        if (printer != null) printer.close();
    }

    @Test
    void writeSendsFromTheOffsetAndCountsInCountZero() throws Exception {
        byte[] buf = "xxxHELLO\nyyy".getBytes(StandardCharsets.US_ASCII);
        byte[] unchanged = buf.clone();
        int[] count = {-1};
        assertEquals(1, Quenvar.nativeWritePort(port, buf, 3, 6, count));
        assertEquals(6, count[0]);
        assertArrayEquals(unchanged, buf);
        printer.awaitPrintedLine("HELLO");
    }

    @Test
    void readLandsAtTheOffsetAndCountsInCountZero() {
        // A job begin poll outside a checked block: the printer's answer is
        // plain data to the reader.
        byte[] poll = {0x1B, 0x1D, 0x03, 0x00, 0x00, 0x00};
        byte[] answer = {0x1B, 0x1D, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00};
        int[] count = {-1};
        assertEquals(1, Quenvar.nativeWritePort(port, poll, 0, poll.length, count));
        assertEquals(poll.length, count[0]);

        byte[] buf = new byte[40];
        Arrays.fill(buf, (byte) 0x5A);
        int got = 0;
        for (int reads = 0; got < answer.length && reads < 20; reads++) {
            count[0] = -1;
            assertEquals(1, Quenvar.nativeReadPort(port, buf, 10 + got, 20 - got, count));
            assertTrue(count[0] >= 0 && count[0] <= 20 - got, "count " + count[0]);
            got += count[0];
        }
        assertEquals(answer.length, got);
        assertArrayEquals(answer, Arrays.copyOfRange(buf, 10, 10 + answer.length));
        byte[] untouched = new byte[10];
        Arrays.fill(untouched, (byte) 0x5A);
        assertArrayEquals(untouched, Arrays.copyOfRange(buf, 0, 10), "bytes before the offset");
        assertArrayEquals(untouched, Arrays.copyOfRange(buf, 30, 40), "bytes after offset + size");
    }

    @Test
    void statusFlagsFollowThePrinter() throws Exception {
        PrinterStatus status = new PrinterStatus();
        printer.command("cover open", "cover open");
        VirtualPrinter.eventually("cover open", () -> Quenvar.nativeGetParsedStatus(port, status) == 1 && status.coverOpen);
        assertTrue(status.offline, "a printer with its cover open cannot print");

        printer.command("cover close", "cover closed");
        VirtualPrinter.eventually("cover closed", () -> Quenvar.nativeGetParsedStatus(port, status) == 1 && !status.coverOpen);
        assertFalse(status.offline);
    }

    @Test
    void aRefusedJobBeginLeavesTheStatusObjectUntouched() throws Exception {
        printer.command("fail-next-begin", "job begin answer reports failure");
        PrinterStatus status = StatusSnapshot.marked();
        java.util.List<String> before = StatusSnapshot.of(status);
        assertEquals(0, Quenvar.nativeBeginCheckedBlock(port, status));
        assertEquals(before, StatusSnapshot.of(status));
    }

    @Test
    void aNullStatusObjectIsRefusedBeforeAnythingReachesThePrinter() throws Exception {
        // The first job begin and job end that reach the printer meet these failures.
        printer.command("fail-next-begin", "job begin answer reports failure");
        printer.command("fail-next-job", "job end answer reports failure");
        assertThrows(NullPointerException.class, () -> Quenvar.nativeGetParsedStatus(port, null));
        assertThrows(NullPointerException.class, () -> Quenvar.nativeBeginCheckedBlock(port, null));
        assertThrows(NullPointerException.class, () -> Quenvar.nativeEndCheckedBlock(port, null));

        PrinterStatus status = new PrinterStatus();
        assertEquals(0, Quenvar.nativeBeginCheckedBlock(port, status), "a job begin reached the printer before");
        assertEquals(0, Quenvar.nativeEndCheckedBlock(port, status), "a job end reached the printer before");
    }

    @Test
    void statusFillsEveryFieldAndRawOnlyUpToRawLength() {
        PrinterStatus status = StatusSnapshot.marked();
        assertEquals(1, Quenvar.nativeGetParsedStatus(port, status));

        assertFalse(status.coverOpen);
        assertFalse(status.offline);
        assertTrue(status.rawLength > 0 && status.rawLength <= 64, "rawLength " + status.rawLength);
        assertTrue(status.etbCounter >= 0 && status.etbCounter <= 31, "etbCounter " + status.etbCounter);
        assertTrue(status.presenterState >= 0 && status.presenterState <= 7, "presenter " + status.presenterState);
        byte[] beyond = Arrays.copyOfRange(status.raw, status.rawLength, 64);
        byte[] marks = new byte[64 - status.rawLength];
        Arrays.fill(marks, (byte) 0xA5);
        assertArrayEquals(marks, beyond, "raw beyond rawLength must keep its bytes");
        byte[] sent = status.rawBytes();
        assertFalse(Arrays.equals(sent, Arrays.copyOf(marks, sent.length)), "raw must hold the printer's bytes");
    }

    @Test
    void twoObjectsOfOneClassAreBothFilled() {
        PrinterStatus first = StatusSnapshot.marked();
        PrinterStatus second = StatusSnapshot.marked();
        assertEquals(1, Quenvar.nativeGetParsedStatus(port, first));
        assertEquals(1, Quenvar.nativeGetParsedStatus(port, second));
        assertEquals(StatusSnapshot.of(first), StatusSnapshot.of(second));
        assertFalse(second.coverOpen);
    }

    @Test
    void checkedBlockFillsTheStatusAtBeginAndEnd() {
        PrinterStatus begin = StatusSnapshot.marked();
        assertEquals(1, Quenvar.nativeBeginCheckedBlock(port, begin));
        assertFalse(begin.offline);
        assertFalse(begin.coverOpen);

        byte[] job = "receipt\n".getBytes(StandardCharsets.US_ASCII);
        int[] count = {0};
        for (int sent = 0; sent < job.length; sent += count[0]) {
            assertEquals(1, Quenvar.nativeWritePort(port, job, sent, job.length - sent, count));
            assertTrue(count[0] > 0);
        }

        PrinterStatus end = StatusSnapshot.marked();
        assertEquals(1, Quenvar.nativeEndCheckedBlock(port, end));
        assertFalse(end.offline);
        assertTrue(end.rawLength > 0);
    }
}
