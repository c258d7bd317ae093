package com.velmarworks.halvorn;

/** A printer operation did not succeed. Subclasses say how. */
public class PrinterException extends Exception {
    private static final long serialVersionUID = 1L;

    private final transient PrinterStatus status;

    public PrinterException(String message) {
        this(message, null);
    }

    public PrinterException(String message, PrinterStatus status) {
        super(status == null ? message : message + ": " + status);
        this.status = status;
    }

    /** The printer's status that came with the failure, or null when there was none. */
    public PrinterStatus status() {
        return status;
    }
}
