package com.velmarworks.halvorn;

/** The port could not be opened (no transport takes the name, or the printer did not answer), or it is closed. */
public class PrinterNotOpenedException extends PrinterException {
    private static final long serialVersionUID = 1L;

    public PrinterNotOpenedException(String message) {
        super(message);
    }
}
