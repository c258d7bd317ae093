package com.velmarworks.halvorn;

/** Test helper: status classes that differ from PrinterStatus in one way each. */
final class OddStatusClasses {
    private OddStatusClasses() {}

    /** Has every field but voltageError. */
    static final class WithoutVoltageError {
        public boolean coverOpen, offline, compulsionSwitch, overTemp, unrecoverableError, cutterError, mechError,
                headThermistorError, receiveBufferOverflow, pageModeCmdError, blackMarkError,
                presenterPaperJamError, headUpError, receiptBlackMarkDetection, receiptPaperEmpty,
                receiptPaperNearEmptyInner, receiptPaperNearEmptyOuter, presenterPaperPresent, peelerPaperPresent,
                stackerFull, slipTOF, slipCOF, slipBOF, validationPaperPresent, slipPaperPresent, etbAvailable;
        public byte etbCounter = 99, presenterState = 99;
        public int rawLength = -1;
        public byte[] raw = new byte[64];
    }

    /** Declares etbCounter as an int instead of a byte. */
    static final class WithIntEtbCounter {
        public boolean coverOpen = true, offline, compulsionSwitch, overTemp, unrecoverableError, cutterError,
                mechError, headThermistorError, receiveBufferOverflow, pageModeCmdError, blackMarkError,
                presenterPaperJamError, headUpError, voltageError, receiptBlackMarkDetection, receiptPaperEmpty,
                receiptPaperNearEmptyInner, receiptPaperNearEmptyOuter, presenterPaperPresent, peelerPaperPresent,
                stackerFull, slipTOF, slipCOF, slipBOF, validationPaperPresent, slipPaperPresent, etbAvailable;
        public int etbCounter = 99;
        public byte presenterState = 99;
        public int rawLength = -1;
        public byte[] raw = new byte[64];
    }

    /** Every field of PrinterStatus, in another class and another order. */
    static final class Lookalike {
        public byte[] raw = new byte[64];
        public int rawLength = -1;
        public byte presenterState = 99, etbCounter = 99;
        public boolean etbAvailable, slipPaperPresent, validationPaperPresent, slipBOF, slipCOF, slipTOF,
                stackerFull, peelerPaperPresent, presenterPaperPresent, receiptPaperNearEmptyOuter,
                receiptPaperNearEmptyInner, receiptPaperEmpty, receiptBlackMarkDetection, voltageError,
                headUpError, presenterPaperJamError, blackMarkError, pageModeCmdError, receiveBufferOverflow,
                headThermistorError, mechError, cutterError, unrecoverableError, overTemp, compulsionSwitch,
                offline, coverOpen = true;
    }
}
