package com.velmarworks.halvorn;

import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import org.junit.jupiter.api.Test;

/**
 * A port that takes nothing at all: the network port with the test-support interposer preloaded
 * and QUENVAR_TEST_SEND_TAKES=0, as a printer whose buffer stays full.
 */
class NothingTakenTest {
    @Test
    void aPortThatTakesNothingIsAskedAgainUntilItsTimeLimitThenFails() throws Exception {
        try (VirtualPrinter virtualPrinter = VirtualPrinter.start();
                Printer printer = Printer.open(virtualPrinter.portName(), "9100", 300)) {
            long start = System.nanoTime();
            assertThrows(PrinterIOException.class, () -> printer.writeAll(new byte[] {'h', 'i', '\n'}));
            long tookMs = (System.nanoTime() - start) / 1_000_000;
            assertTrue(tookMs >= 300, "gave up after " + tookMs + " ms, before the time limit");
            assertTrue(tookMs < 5000, "took " + tookMs + " ms");
        }
    }
}
