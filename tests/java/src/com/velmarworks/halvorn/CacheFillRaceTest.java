package com.velmarworks.halvorn;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CyclicBarrier;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;

/**
 * First status calls that meet: runs in a JVM of its own so the field cache
 * starts empty. Each thread drives its own printer, as ports demand, and all
 * make their first status call at the same moment; one offers an unfit class.
 */
class CacheFillRaceTest {
    private static final int PROPER_THREADS = 3;

    @Test
    void simultaneousFirstCallsAllWriteTheirObjectsAndAnUnfitClassFailsAlone() throws Exception {
        int threads = PROPER_THREADS + 1;
        List<VirtualPrinter> printers = new ArrayList<>();
        List<Long> ports = new ArrayList<>();
        ExecutorService pool = Executors.newFixedThreadPool(threads);
        try {
            for (int i = 0; i < threads; i++) {
                VirtualPrinter printer = VirtualPrinter.start();
                printers.add(printer);
                long port = Quenvar.nativeOpenPort(printer.portName(), "", 3000);
                assertTrue(port != 0, "cannot open " + printer.portName());
                ports.add(port);
            }
            CyclicBarrier start = new CyclicBarrier(threads);
            List<Future<Object>> results = new ArrayList<>();
            List<Object> objects = new ArrayList<>();
            for (int i = 0; i < threads; i++) {
                long port = ports.get(i);
                Object status = i == 0 ? new OddStatusClasses.WithIntEtbCounter() : StatusSnapshot.marked();
                objects.add(status);
                results.add(pool.submit(() -> {
                    start.await(10, TimeUnit.SECONDS);
                    try {
                        return Quenvar.nativeGetParsedStatus(port, status);
                    } catch (NoSuchFieldError | IllegalArgumentException refused) {
                        return refused;
                    }
                }));
            }

            // The unfit object is refused, by the field lookup or by the class
            // check, depending on which call came first; it is never written.
            Object unfit = results.get(0).get(30, TimeUnit.SECONDS);
            assertTrue(unfit instanceof NoSuchFieldError || unfit instanceof IllegalArgumentException,
                    "unfit class gave " + unfit);
            assertEquals(99, ((OddStatusClasses.WithIntEtbCounter) objects.get(0)).etbCounter);

            for (int i = 1; i < threads; i++) {
                assertEquals(1, results.get(i).get(30, TimeUnit.SECONDS));
                PrinterStatus status = (PrinterStatus) objects.get(i);
                assertTrue(status.rawLength > 0 && status.rawLength <= 64, "rawLength " + status.rawLength);
                assertEquals(false, status.coverOpen);
            }
        } finally {
            pool.shutdownNow();
            for (long port : ports) Quenvar.nativeClosePort(port);
            for (VirtualPrinter printer : printers) printer.close();
            if (!pool.awaitTermination(10, TimeUnit.SECONDS)) fail("status threads did not end");
        }
    }
}
