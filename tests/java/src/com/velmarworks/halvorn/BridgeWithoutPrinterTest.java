package com.velmarworks.halvorn;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.Arrays;
import java.util.List;
import org.junit.jupiter.api.Test;

/** The bridge's behaviour that needs no printer: failed opens, argument checks, the 0 result paths. */
class BridgeWithoutPrinterTest {
    @Test
    void loadsTheLibraryBesideTheJarWithoutJavaLibraryPath() {
        assertNotNull(NativeLibrary.besideCode(), "libHalvornJ.so.1 should sit beside quenvar.jar");
        String searchPath = System.getProperty("java.library.path");
        assertFalse(Arrays.asList(searchPath.split(":")).contains(NativeLibrary.codeDirectory().toString()),
                "the test must not rely on java.library.path: " + searchPath);
        assertEquals(1, Quenvar.nativeClosePort(0));
    }

    @Test
    void namesNoTransportTakesOpenNothing() {
        for (String name : new String[] {"", "Tcp:127.0.0.1", "/dev/usb/lp0", "printer", "\u00e9\u4e2d:"}) {
            assertEquals(0, Quenvar.nativeOpenPort(name, "", 100), name);
        }
        assertThrows(PrinterNotOpenedException.class, () -> Printer.open("/dev/usb/lp0"));
        assertThrows(IllegalArgumentException.class, () -> Printer.open("TCP:127.0.0.1", "", -1));
    }

    @Test
    void nullPortNameOrSettingsIsAJavaErrorNotACrash() {
        assertThrows(NullPointerException.class, () -> Quenvar.nativeOpenPort(null, "", 100));
        assertThrows(NullPointerException.class, () -> Quenvar.nativeOpenPort("/dev/usb/lp0", null, 100));
    }

    @Test
    void failedOpensReleaseBothStrings() throws IOException {
        // A bridge that kept the converted strings would leak about 320 MB here.
        String name = "/dev/usb/" + "n".repeat(16 * 1024);
        String settings = "s".repeat(16 * 1024);
        for (int i = 0; i < 200; i++) Quenvar.nativeOpenPort(name, settings, 0);
        long before = residentKiB();
        for (int i = 0; i < 10_000; i++) assertEquals(0, Quenvar.nativeOpenPort(name, settings, 0));
        long grownMiB = (residentKiB() - before) / 1024;
        assertTrue(grownMiB < 64, "resident memory grew by " + grownMiB + " MiB over 10000 failed opens");
    }

    @Test
    void transfersOnNoPortFailWithoutTouchingTheArrays() {
        byte[] buf = {1, 2, 3, 4};
        int[] count = {-7};
        assertEquals(0, Quenvar.nativeReadPort(0, buf, 1, 3, count));
        assertEquals(0, Quenvar.nativeWritePort(0, buf, 0, 4, count));
        assertEquals(0, Quenvar.nativeReadPort(0, buf, 4, 0, count));
        assertArrayEquals(new byte[] {1, 2, 3, 4}, buf);
        assertEquals(-7, count[0]);
    }

    @Test
    void transferRangesOutsideTheArrayAreRejectedBeforeTheLibrarySeesThem() {
        byte[] buf = new byte[8];
        int[] count = {-7};
        assertThrows(NullPointerException.class, () -> Quenvar.nativeReadPort(0, null, 0, 0, count));
        assertThrows(NullPointerException.class, () -> Quenvar.nativeWritePort(0, buf, 0, 1, null));
        for (int[] range : new int[][] {{-1, 1}, {0, -1}, {0, 9}, {9, 0}, {4, 5}, {1, Integer.MAX_VALUE}}) {
            String what = "offset " + range[0] + " size " + range[1];
            assertThrows(ArrayIndexOutOfBoundsException.class,
                    () -> Quenvar.nativeReadPort(0, buf, range[0], range[1], count), what);
            assertThrows(ArrayIndexOutOfBoundsException.class,
                    () -> Quenvar.nativeWritePort(0, buf, range[0], range[1], count), what);
        }
        assertThrows(ArrayIndexOutOfBoundsException.class, () -> Quenvar.nativeReadPort(0, buf, 0, 1, new int[0]));
        assertEquals(-7, count[0]);
    }

    @Test
    void statusMethodsThatFailLeaveTheObjectUntouched() {
        PrinterStatus status = StatusSnapshot.marked();
        List<String> before = StatusSnapshot.of(status);
        assertEquals(0, Quenvar.nativeGetParsedStatus(0, status));
        assertEquals(0, Quenvar.nativeBeginCheckedBlock(0, status));
        assertEquals(0, Quenvar.nativeEndCheckedBlock(0, status));
        assertEquals(0, Quenvar.nativeResetDevice(0));
        assertEquals(before, StatusSnapshot.of(status));
    }

    private static long residentKiB() throws IOException {
        for (String line : Files.readAllLines(Paths.get("/proc/self/status"))) {
            if (line.startsWith("VmRSS:")) return Long.parseLong(line.replaceAll("[^0-9]", ""));
        }
        throw new IOException("no VmRSS in /proc/self/status");
    }
}
