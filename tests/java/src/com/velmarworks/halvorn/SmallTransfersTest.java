package com.velmarworks.halvorn;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;

import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import org.junit.jupiter.api.Test;

/**
 * A port that takes 64 bytes a call: the network port with the test-support interposer
 * preloaded, which also fails any single offer of more than 64 KiB.
 */
class SmallTransfersTest {
    private static final int LINE = 64;
    private static final int LINES = 256 * 1024 / LINE;

    @Test
    void aLargeJobArrivesWholeInOrderWithoutEverOfferingTheWholeArray() throws Exception {
        byte[] job = new byte[LINES * LINE];
        List<String> expected = new ArrayList<>();
        for (int i = 0; i < LINES; i++) {
            String line = String.format("line %07d %s", i, "=".repeat(LINE - 14));
            expected.add("printed: " + line);
            System.arraycopy((line + "\n").getBytes(StandardCharsets.US_ASCII), 0, job, i * LINE, LINE);
        }
        try (VirtualPrinter virtualPrinter = VirtualPrinter.start()) {
            byte[] probe = ("probe " + "-".repeat(LINE - 6) + "\n").getBytes(StandardCharsets.US_ASCII);
            long port = Quenvar.nativeOpenPort(virtualPrinter.portName(), "", 3000);
            int[] count = {0};
            assertEquals(1, Quenvar.nativeWritePort(port, probe, 0, probe.length, count));
            assertEquals(LINE, count[0], "the test-support interposer must be preloaded with QUENVAR_TEST_SEND_TAKES=64");
            assertEquals(1, Quenvar.nativeWritePort(port, probe, LINE, 1, count));
            Quenvar.nativeClosePort(port);

            try (Printer printer = Printer.open(virtualPrinter.portName(), "", 3000)) {
                assertFalse(printer.printJob(job).offline);
            }
            virtualPrinter.awaitOutput(0, expected.get(LINES - 1));
            List<String> printed = new ArrayList<>();
            for (String line : virtualPrinter.output()) {
                if (line.startsWith("printed: line ")) printed.add(line);
            }
            int same = 0;
            while (same < Math.min(expected.size(), printed.size()) && expected.get(same).equals(printed.get(same))) {
                same++;
            }
            assertEquals(expected.size(), same, "lines printed: " + printed.size() + ", first unexpected: "
                    + (same < printed.size() ? printed.get(same) : "none"));
            assertEquals(expected.size(), printed.size());
        }
    }
}
