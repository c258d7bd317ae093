package com.velmarworks.halvorn;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;

import java.io.IOException;
import java.lang.reflect.Field;
import java.lang.reflect.Modifier;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import org.junit.jupiter.api.Test;

/**
 * PrinterStatus is written by hand for its readers; the bridge's field table is
 * built from the status flag list. This holds the one against the other: the
 * same fields, in the same order, with the JNI types the bridge asks for.
 */
class StatusFieldsTest {
    @Test
    void printerStatusDeclaresExactlyTheFieldsTheBridgeLooksUp() throws IOException {
        String list = System.getProperty("quenvar.statusFields");
        assertNotNull(list, "run with -Dquenvar.statusFields=<the bridge's field list>");
        List<String> expected = Files.readAllLines(Path.of(list));
        assertEquals(31, expected.size(), "27 flags, two counters, rawLength and raw");

        // The JVM reports declared fields in declaration order.
        List<String> declared = new ArrayList<>();
        for (Field field : PrinterStatus.class.getDeclaredFields()) {
            if (Modifier.isStatic(field.getModifiers())) continue;
            declared.add(field.getName() + " " + descriptor(field.getType()));
        }
        assertEquals(expected, declared);
    }

    private static String descriptor(Class<?> type) {
        if (type == boolean.class) return "Z";
        if (type == byte.class) return "B";
        if (type == int.class) return "I";
        if (type == byte[].class) return "[B";
        return type.getName();
    }
}
