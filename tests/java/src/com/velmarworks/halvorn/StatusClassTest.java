package com.velmarworks.halvorn;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.List;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.MethodOrderer;
import org.junit.jupiter.api.Order;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.TestMethodOrder;

/**
 * Status objects the bridge cannot write. Runs in a JVM of its own, in order:
 * the first objects offered are of unfit classes, so the field cache must stay
 * unfilled through them and still fill from the first proper object.
 */
@TestMethodOrder(MethodOrderer.OrderAnnotation.class)
class StatusClassTest {
    private static VirtualPrinter printer;
    private static long port;

    @BeforeAll
    static void openPrinter() throws Exception {
        printer = VirtualPrinter.start();
        port = Quenvar.nativeOpenPort(printer.portName(), "", 3000);
        assertTrue(port != 0, "cannot open " + printer.portName());
    }

    @AfterAll
    static void closePrinter() throws Exception {
        if (port != 0) Quenvar.nativeClosePort(port);
        if (printer != null) printer.close();
    }

    @Test
    @Order(1)
    void classesLackingOrMistypingAFieldRaiseAndStayUnwritten() {
        Object missing = new OddStatusClasses.WithoutVoltageError();
        Object mistyped = new OddStatusClasses.WithIntEtbCounter();
        List<String> missingBefore = StatusSnapshot.of(missing);
        List<String> mistypedBefore = StatusSnapshot.of(mistyped);

        assertThrows(NoSuchFieldError.class, () -> Quenvar.nativeGetParsedStatus(port, missing));
        assertThrows(NoSuchFieldError.class, () -> Quenvar.nativeGetParsedStatus(port, mistyped));
        assertThrows(NoSuchFieldError.class, () -> Quenvar.nativeGetParsedStatus(port, missing));
        assertThrows(NullPointerException.class, () -> Quenvar.nativeGetParsedStatus(port, null));

        assertEquals(missingBefore, StatusSnapshot.of(missing));
        assertEquals(mistypedBefore, StatusSnapshot.of(mistyped));
    }

    @Test
    @Order(2)
    void aProperClassStillFillsTheCacheAfterwards() {
        PrinterStatus status = StatusSnapshot.marked();
        assertEquals(1, Quenvar.nativeGetParsedStatus(port, status));
        assertFalse(status.coverOpen);
        assertTrue(status.rawLength > 0 && status.rawLength <= 64, "rawLength " + status.rawLength);
    }

    @Test
    @Order(3)
    void objectsOfAnotherClassAreRefusedOnceTheCacheIsFilled() {
        Object lookalike = new OddStatusClasses.Lookalike();
        List<String> before = StatusSnapshot.of(lookalike);
        assertThrows(IllegalArgumentException.class, () -> Quenvar.nativeGetParsedStatus(port, lookalike));
        assertEquals(before, StatusSnapshot.of(lookalike));
    }

    @Test
    @Order(4)
    void rawArraysThatCannotHoldTheStatusRaiseAndNothingIsWritten() {
        PrinterStatus probe = new PrinterStatus();
        assertEquals(1, Quenvar.nativeGetParsedStatus(port, probe));
        int rawLength = probe.rawLength;
        assertTrue(rawLength > 1, "the virtual printer's status should be longer than one byte");

        PrinterStatus nullRaw = StatusSnapshot.marked();
        nullRaw.raw = null;
        List<String> nullRawBefore = StatusSnapshot.of(nullRaw);
        assertThrows(NullPointerException.class, () -> Quenvar.nativeGetParsedStatus(port, nullRaw));
        assertEquals(nullRawBefore, StatusSnapshot.of(nullRaw));

        PrinterStatus shortRaw = StatusSnapshot.marked();
        shortRaw.raw = new byte[rawLength - 1];
        List<String> shortRawBefore = StatusSnapshot.of(shortRaw);
        assertThrows(ArrayIndexOutOfBoundsException.class, () -> Quenvar.nativeGetParsedStatus(port, shortRaw));
        assertEquals(shortRawBefore, StatusSnapshot.of(shortRaw));

        // Room for exactly the bytes the printer sent is enough.
        PrinterStatus exact = StatusSnapshot.marked();
        exact.raw = new byte[rawLength];
        assertEquals(1, Quenvar.nativeGetParsedStatus(port, exact));
        assertEquals(rawLength, exact.rawLength);
    }
}
