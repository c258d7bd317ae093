package com.velmarworks.halvorn;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.charset.StandardCharsets;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/** The Java API over a virtual printer: jobs, the partial-write loop, typed failures. */
class PrinterApiTest {
    private VirtualPrinter virtualPrinter;

    @BeforeEach
    void startPrinter() throws Exception {
        virtualPrinter = VirtualPrinter.start();
    }

    @AfterEach
    void stopPrinter() {
        if (virtualPrinter != null) virtualPrinter.close();
    }

    @Test
    void aWholeCheckedJobIsConfirmed() throws Exception {
        try (Printer printer = Printer.open(virtualPrinter.portName(), "", 3000)) {
            PrinterStatus before = printer.status();
            assertFalse(before.offline);

            PrinterStatus done = printer.job(p -> {
                p.writeAll("first line\n".getBytes(StandardCharsets.US_ASCII));
                p.writeAll("second line\n".getBytes(StandardCharsets.US_ASCII));
            });
            assertFalse(done.offline);
            assertTrue(done.rawLength > 0);

            PrinterStatus again = printer.printJob("third line\n".getBytes(StandardCharsets.US_ASCII));
            assertFalse(again.offline);
        }
        virtualPrinter.awaitPrintedLine("first line");
        virtualPrinter.awaitPrintedLine("second line");
        virtualPrinter.awaitPrintedLine("third line");
    }

    @Test
    void writeAllSendsEveryByteOfALargeJob() throws Exception {
        byte[] data = new byte[256 * 1024];
        for (int i = 0; i < data.length; i++) data[i] = (byte) ('A' + i % 26);
        try (Printer printer = Printer.open(virtualPrinter.portName(), "", 3000)) {
            PrinterStatus done = printer.printJob(data);
            assertFalse(done.offline);
        }
    }

    @Test
    void readsIntoALargeArrayLandAtTheOffsetOnly() throws Exception {
        // A job begin poll outside a checked block: the printer's 8-byte answer is plain data.
        byte[] poll = {0x1B, 0x1D, 0x03, 0x00, 0x00, 0x00};
        byte[] buf = new byte[1024 * 1024];
        java.util.Arrays.fill(buf, (byte) 0x5A);
        byte[] expected = buf.clone();
        System.arraycopy(new byte[] {0x1B, 0x1D, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00}, 0, expected, 700_000, 8);
        try (Printer printer = Printer.open(virtualPrinter.portName(), "", 3000)) {
            printer.writeAll(poll);
            int got = 0;
            for (int reads = 0; got < 8 && reads < 20; reads++) {
                got += printer.read(buf, 700_000 + got, buf.length - 700_000 - got);
            }
            assertEquals(8, got);
        }
        assertTrue(java.util.Arrays.equals(expected, buf), "bytes outside the 8 read were changed");
    }

    @Test
    void aJobCutShortIsNotEnded() throws Exception {
        try (Printer printer = Printer.open(virtualPrinter.portName(), "", 3000)) {
            PrinterException failure = new PrinterIOException("paper jam in the application");
            PrinterException thrown = assertThrows(PrinterException.class, () -> printer.job(p -> {
                p.writeAll("half a receipt".getBytes(StandardCharsets.US_ASCII));
                throw failure;
            }));
            assertEquals(failure, thrown);
            // The port is still usable: the next job begins and ends normally.
            assertFalse(printer.printJob("next receipt\n".getBytes(StandardCharsets.US_ASCII)).offline);
        }
    }

    @Test
    void anErrorAnswerAndAnOfflinePrinterAreTypedFailures() throws Exception {
        try (Printer printer = Printer.open(virtualPrinter.portName(), "", 3000)) {
            virtualPrinter.command("fail-next-job", "job end answer reports failure");
            assertThrows(PrinterErrorException.class, () -> printer.printJob("lost\n".getBytes(StandardCharsets.US_ASCII)));

            virtualPrinter.command("fail-next-begin", "job begin answer reports failure");
            assertThrows(PrinterErrorException.class, printer::beginJob);

            virtualPrinter.command("cover open", "cover open");
            awaitCover(printer, true);
            PrinterOfflineException offline = assertThrows(PrinterOfflineException.class, printer::beginJob);
            assertTrue(offline.status().offline);
            assertTrue(offline.status().coverOpen);

            virtualPrinter.command("cover close", "cover closed");
            awaitCover(printer, false);
            assertFalse(printer.printJob("after the cover closed\n".getBytes(StandardCharsets.US_ASCII)).offline);
        }
        virtualPrinter.awaitPrintedLine("after the cover closed");
    }

    private static void awaitCover(Printer printer, boolean open) throws Exception {
        VirtualPrinter.eventually("cover " + (open ? "open" : "closed"), () -> printer.status().coverOpen == open);
    }

    @Test
    void aClosedPrinterRefusesEveryOperation() throws Exception {
        Printer printer = Printer.open(virtualPrinter.portName(), "", 3000);
        assertTrue(printer.isOpen());
        printer.close();
        printer.close();
        assertFalse(printer.isOpen());
        assertThrows(PrinterNotOpenedException.class, () -> printer.writeAll(new byte[1]));
        assertThrows(PrinterNotOpenedException.class, () -> printer.read(1));
        assertThrows(PrinterNotOpenedException.class, printer::status);
        assertThrows(PrinterNotOpenedException.class, printer::beginJob);
        assertThrows(PrinterNotOpenedException.class, printer::reset);
    }

    @Test
    void theNetworkHasNoResetAndSaysSo() throws Exception {
        try (Printer printer = Printer.open(virtualPrinter.portName(), "", 3000)) {
            assertThrows(PrinterIOException.class, printer::reset);
            assertFalse(printer.status().offline);
        }
    }
}
