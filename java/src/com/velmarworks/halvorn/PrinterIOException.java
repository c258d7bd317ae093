package com.velmarworks.halvorn;

/** A transfer to or from the printer failed, or the port refused the request. */
public class PrinterIOException extends PrinterException {
    private static final long serialVersionUID = 1L;

    public PrinterIOException(String message) {
        super(message);
    }
}
