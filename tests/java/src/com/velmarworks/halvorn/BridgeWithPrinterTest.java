package com.velmarworks.halvorn;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
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
    void writeSendsFromTheOffsetAndCountsInCountZero() {
        byte[] buf = "xxxHELLO\nyyy".getBytes(StandardCharsets.US_ASCII);
        byte[] unchanged = buf.clone();
        int[] count = {-1};
        assertEquals(1, Quenvar.nativeWritePort(port, buf, 3, 6, count));
        assertEquals(6, count[0]);
        assertArrayEquals(unchanged, buf);
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
