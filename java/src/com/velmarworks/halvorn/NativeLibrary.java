package com.velmarworks.halvorn;

import java.net.URISyntaxException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.security.CodeSource;

/**
 * Loads libHalvornJ.so.1 without asking the user for java.library.path.
 *
 * <p>quenvar.jar is built and installed in the same directory as
 * libHalvornJ.so.1 (which in turn finds libQuenvar.so.1 beside itself), so
 * the library is looked for next to the jar this class came from, after
 * following symbolic links to the jar. The system property
 * {@value #PATH_PROPERTY} names the library file explicitly; failing both,
 * the runtime's own search by {@code System.loadLibrary} is the last resort.
 */
final class NativeLibrary {
    static final String FILE_NAME = "libHalvornJ.so.1";
    static final String PATH_PROPERTY = "com.velmarworks.halvorn.library";

    private static boolean loaded;

    private NativeLibrary() {}

    static synchronized void load() {
        if (loaded) return;
        String explicit = System.getProperty(PATH_PROPERTY);
        if (explicit != null && !explicit.isEmpty()) {
            System.load(Paths.get(explicit).toAbsolutePath().toString());
        } else {
            Path beside = besideCode();
            if (beside != null) {
                System.load(beside.toString());
            } else {
                try {
                    System.loadLibrary("HalvornJ");
                } catch (UnsatisfiedLinkError e) {
                    UnsatisfiedLinkError detailed = new UnsatisfiedLinkError(
                            FILE_NAME + " is neither beside " + codeDirectory()
                                    + " nor on java.library.path; set " + PATH_PROPERTY + " to its path");
                    detailed.initCause(e);
                    throw detailed;
                }
            }
        }
        loaded = true;
    }

    /** The library file next to this class's jar (or class directory), if there is one. */
    static Path besideCode() {
        Path dir = codeDirectory();
        if (dir == null) return null;
        Path candidate = dir.resolve(FILE_NAME);
        return Files.isRegularFile(candidate) ? candidate.toAbsolutePath() : null;
    }

    /** The directory holding this class's jar, or the class directory itself. */
    static Path codeDirectory() {
        try {
            CodeSource source = NativeLibrary.class.getProtectionDomain().getCodeSource();
            if (source == null || source.getLocation() == null) return null;
            Path location = Paths.get(source.getLocation().toURI()).toRealPath();
            return Files.isDirectory(location) ? location : location.getParent();
        } catch (URISyntaxException | java.io.IOException | RuntimeException e) {
            return null;
        }
    }
}
