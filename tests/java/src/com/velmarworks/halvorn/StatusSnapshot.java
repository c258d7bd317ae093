package com.velmarworks.halvorn;

import java.lang.reflect.Field;
import java.lang.reflect.Modifier;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/** Test helper: every instance field of a status object, to compare before and after a native call. */
final class StatusSnapshot {
    private StatusSnapshot() {}

    static List<String> of(Object status) {
        List<String> values = new ArrayList<>();
        for (Field field : status.getClass().getDeclaredFields()) {
            if (Modifier.isStatic(field.getModifiers())) continue;
            field.setAccessible(true);
            try {
                Object value = field.get(status);
                values.add(field.getName() + "="
                        + (value instanceof byte[] ? Arrays.toString((byte[]) value) : String.valueOf(value)));
            } catch (IllegalAccessException e) {
                throw new AssertionError(e);
            }
        }
        return values;
    }

    /** A status whose every field holds a value no printer would report. */
    static PrinterStatus marked() {
        PrinterStatus status = new PrinterStatus();
        status.coverOpen = true;
        status.slipBOF = true;
        status.etbAvailable = true;
        status.etbCounter = (byte) 0x7E;
        status.presenterState = (byte) 0x55;
        status.rawLength = -1;
        Arrays.fill(status.raw, (byte) 0xA5);
        return status;
    }
}
