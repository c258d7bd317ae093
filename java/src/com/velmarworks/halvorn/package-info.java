/**
 * Receipt and point-of-sale printers from Java.
 *
 * <p>{@link com.velmarworks.halvorn.Printer} is the API for applications: open a
 * port by name, send print data, read what the printer sends back, take its
 * {@link com.velmarworks.halvorn.PrinterStatus}, and print jobs that the printer
 * confirms. Failures are {@link com.velmarworks.halvorn.PrinterException}s.
 * {@link com.velmarworks.halvorn.Quenvar} is the thin layer of native methods
 * underneath, with the C library's 1-or-0 results.
 *
 * <p>Deployment: quenvar.jar, libHalvornJ.so.1 and libQuenvar.so.1 live in one
 * directory (the build's java/ directory, or the installed library directory).
 * The jar loads libHalvornJ.so.1 from beside itself, following a symbolic link
 * to the jar if need be, and libHalvornJ.so.1 finds libQuenvar.so.1 beside
 * itself; neither java.library.path nor LD_LIBRARY_PATH is needed. To use a
 * library elsewhere, name the file in the system property
 * {@code com.velmarworks.halvorn.library}.
 */
package com.velmarworks.halvorn;
