"""The failures the package reports, all under QuenvarError."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .status import PrinterStatus


class QuenvarError(Exception):
    """Every failure of a printer port that the package reports."""


class NotOpened(QuenvarError):
    """The port could not be opened (no transport takes the name, or the
    printer is not there), or it was closed before the call."""


class Offline(QuenvarError):
    """A checked block found the printer offline, or the exchange with it
    failed (connection lost, or no answer within the checked-block bound).

    ``status`` is the printer's status when the call ended: its flags say
    why (``cover_open``, ``receipt_paper_empty``, ...).
    """

    def __init__(self, message: str, status: PrinterStatus) -> None:
        super().__init__(message)
        self.status = status


class PrinterError(QuenvarError):
    """The printer answered a job begin or job end with an error (or, at a job
    begin, its status could not be taken)."""


class PortIOError(QuenvarError):
    """A write, read, status or reset exchange with the port failed.

    ``bytes_sent`` is how many bytes of the failed write went out before it
    failed (0 for the other calls).
    """

    def __init__(self, message: str, bytes_sent: int = 0) -> None:
        super().__init__(message)
        self.bytes_sent = bytes_sent
