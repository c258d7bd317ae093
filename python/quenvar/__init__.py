"""Printer port I/O for receipt and point-of-sale printers: the Python face of
libQuenvar.so.1.

    import quenvar

    with quenvar.Printer("tcp:192.0.2.10") as printer:
        print(printer.status().conditions)
        with printer.job() as job:
            printer.write(b"Thank you for shopping\\n")
        print("confirmed, ETB counter", job.confirmed.etb_counter)

Every failure is a QuenvarError: NotOpened, Offline (with the printer's
status), PrinterError, PortIOError. Every call has a time limit; the
docstrings say what each waits for and for how long at most.
"""

from .errors import NotOpened, Offline, PortIOError, PrinterError, QuenvarError
from .printer import DEFAULT_TIMEOUT_MS, READ_CALL_BYTES, BytesLike, CheckedJob, Printer
from .status import PrinterStatus, checked_block_bound_ms

__all__ = [
    "DEFAULT_TIMEOUT_MS",
    "READ_CALL_BYTES",
    "BytesLike",
    "CheckedJob",
    "NotOpened",
    "Offline",
    "PortIOError",
    "Printer",
    "PrinterError",
    "PrinterStatus",
    "QuenvarError",
    "checked_block_bound_ms",
]
