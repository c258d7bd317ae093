"""The printer's decoded status as a frozen dataclass."""

from __future__ import annotations

import dataclasses

from ._status_record import (
    CHECKED_BLOCK_MIN_BOUND_MS,
    CHECKED_BLOCK_TIMEOUT_FACTOR,
    FLAGS,
    RAW_CAPACITY,
    Record,
    StatusFields,
)


@dataclasses.dataclass(frozen=True)
class PrinterStatus(StatusFields):
    """The printer's status: 27 flags by name (``cover_open``, ``offline``,
    ``receipt_paper_empty``, ...), ``etb_counter`` (0 to 31, valid when
    ``etb_available``), ``presenter_state`` (0 to 7) and ``raw``, the status
    bytes as the printer sent them."""

    @property
    def conditions(self) -> list[str]:
        """What keeps the printer from printing or needs attention, in the
        quenvar command's words ("cover open", "paper out", ...)."""
        return [words for name, _, role, words in FLAGS if role == "condition" and getattr(self, name)]

    @property
    def sensors(self) -> list[str]:
        """What the presenter, peeler, slip and validation sensors report, in
        the quenvar command's words."""
        return [words for name, _, role, words in FLAGS if role == "sensor" and getattr(self, name)]

    @classmethod
    def _from_record(cls, record: Record) -> PrinterStatus:
        flags = {name: bool(getattr(record, field)) for name, field, _, _ in FLAGS}
        length = min(record.rawLength, RAW_CAPACITY)
        return cls(
            **flags,
            etb_counter=record.etbCounter,
            presenter_state=record.presenterState,
            raw=bytes(record.raw)[:length],
        )


def checked_block_bound_ms(timeout_ms: int) -> int:
    """The longest a job begin or job end waits for the printer's answer on a
    port opened with ``timeout_ms``: 10 x the time limit, at least 1 s."""
    return max(timeout_ms * CHECKED_BLOCK_TIMEOUT_FACTOR, CHECKED_BLOCK_MIN_BOUND_MS)
