package com.velmarworks.halvorn;

/**
 * The printer is offline, or the exchange that should confirm a job failed
 * (connection lost, or no answer in time). The status tells which conditions
 * the printer reported.
 */
public class PrinterOfflineException extends PrinterException {
    private static final long serialVersionUID = 1L;

    public PrinterOfflineException(String message, PrinterStatus status) {
        super(message, status);
    }
}
