package com.velmarworks.halvorn;

import java.lang.reflect.Field;
import java.lang.reflect.Modifier;
import java.util.Arrays;
import java.util.StringJoiner;

/**
 * The printer's decoded status, as the status methods of {@link Quenvar}
 * write it. The field names and types are what the native side looks up;
 * they must not change.
 */
public final class PrinterStatus {
    public boolean coverOpen;
    public boolean offline;
    public boolean compulsionSwitch;
    public boolean overTemp;
    public boolean unrecoverableError;
    public boolean cutterError;
    public boolean mechError;
    public boolean headThermistorError;
    public boolean receiveBufferOverflow;
    public boolean pageModeCmdError;
    public boolean blackMarkError;
    public boolean presenterPaperJamError;
    public boolean headUpError;
    public boolean voltageError;
    public boolean receiptBlackMarkDetection;
    public boolean receiptPaperEmpty;
    public boolean receiptPaperNearEmptyInner;
    public boolean receiptPaperNearEmptyOuter;
    public boolean presenterPaperPresent;
    public boolean peelerPaperPresent;
    public boolean stackerFull;
    public boolean slipTOF;
    public boolean slipCOF;
    public boolean slipBOF;
    public boolean validationPaperPresent;
    public boolean slipPaperPresent;
    /** {@link #etbCounter} holds a value the printer reported. */
    public boolean etbAvailable;
    /** The printer's ETB counter, 0 to 31: it counts finished jobs. */
    public byte etbCounter;
    /** The presenter's state, 0 to 7. */
    public byte presenterState;
    /** How many bytes at the start of {@link #raw} the printer sent. */
    public int rawLength;
    /** The status bytes as received; bytes at and after {@link #rawLength} are left as they were. */
    public byte[] raw = new byte[64];

    /** The {@link #rawLength} status bytes the printer sent, as a new array. */
    public byte[] rawBytes() {
        return Arrays.copyOf(raw, Math.max(0, Math.min(rawLength, raw.length)));
    }

    @Override
    public String toString() {
        StringJoiner set = new StringJoiner(", ", "PrinterStatus[", "]");
        for (Field field : PrinterStatus.class.getDeclaredFields()) {
            if (field.getType() != boolean.class || Modifier.isStatic(field.getModifiers())) continue;
            try {
                if (field.getBoolean(this)) set.add(field.getName());
            } catch (IllegalAccessException e) {
                throw new AssertionError(e);
            }
        }
        if (etbAvailable) set.add("etbCounter=" + etbCounter);
        set.add("presenterState=" + presenterState);
        set.add("rawLength=" + rawLength);
        return set.toString();
    }
}
