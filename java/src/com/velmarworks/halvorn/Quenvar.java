package com.velmarworks.halvorn;

/**
 * The native methods of libHalvornJ.so.1, one per function of libQuenvar.
 *
 * <p>This is the low-level interface: results are 1 for success and 0 for
 * failure, counts come back in {@code count[0]}, and the port handle is a
 * {@code long} that the caller owns from {@link #nativeOpenPort} until
 * {@link #nativeClosePort}. Most programs want {@link Printer} instead.
 *
 * <p>The status methods write a {@link PrinterStatus} (or any object of one
 * class with the same 31 fields) only when they return 1; after 0 the object
 * is untouched. All status objects used in one process must be of one class.
 * A null status object raises {@link NullPointerException} before anything is
 * sent to the printer.
 *
 * <p>Arguments that would make the native side touch memory outside a Java
 * array (a null array, an offset or size outside {@code buf}, an empty
 * {@code count}, a {@code raw} array too short for the printer's status)
 * raise the matching Java exception instead.
 */
public final class Quenvar {
    static {
        NativeLibrary.load();
    }

    private Quenvar() {}

    /** Opens a printer; returns the port handle, or 0 when it cannot be opened. */
    public static native long nativeOpenPort(String portName, String portSettings, int timeout);

    /** Closes the port (0 is accepted). Always returns 1. */
    public static native int nativeClosePort(long portHandle);

    /** Reads at most {@code size} bytes into {@code buf[offset...]}; the count lands in {@code count[0]}. */
    public static native int nativeReadPort(long portHandle, byte[] buf, int offset, int size, int[] count);

    /** Sends bytes from {@code buf[offset...]} in one transfer; the number taken lands in {@code count[0]}. */
    public static native int nativeWritePort(long portHandle, byte[] buf, int offset, int size, int[] count);

    /** Fills {@code status} with the printer's current status. */
    public static native int nativeGetParsedStatus(long portHandle, Object status);

    /** Begins a checked block before a print job and fills {@code status}. */
    public static native int nativeBeginCheckedBlock(long portHandle, Object status);

    /** Ends a checked block: waits for the printer's confirmation and fills {@code status}. */
    public static native int nativeEndCheckedBlock(long portHandle, Object status);

    /** Resets the printer or its connection, as the transport allows. */
    public static native int nativeResetDevice(long portHandle);
}
