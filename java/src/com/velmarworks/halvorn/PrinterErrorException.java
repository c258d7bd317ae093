package com.velmarworks.halvorn;

/** The printer answered a job begin or job end with an error, or its status could not be taken. */
public class PrinterErrorException extends PrinterException {
    private static final long serialVersionUID = 1L;

    public PrinterErrorException(String message) {
        super(message);
    }
}
