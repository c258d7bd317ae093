"""An open printer port: the Printer class."""

from __future__ import annotations

import contextlib
import ctypes
import dataclasses
import os
import threading
import time
from collections.abc import Callable, Iterator

from . import _library
from ._status_record import RECORD_VERSION, Record
from .errors import NotOpened, Offline, PortIOError, PrinterError
from .status import PrinterStatus, checked_block_bound_ms

DEFAULT_TIMEOUT_MS = 3000
"""The time limit a Printer is opened with unless told otherwise."""

BytesLike = bytes | bytearray | memoryview
"""What write() and print_job() send: any contiguous buffer of bytes."""

READ_CALL_BYTES = 64 * 1024
"""The most bytes one read() asks the port for."""

_UINT_MAX = 0xFFFFFFFF
# A port that takes nothing is asked again after a pause that doubles from
# the first to the longest, until it has taken nothing for its time limit.
_FIRST_PAUSE_S = 0.001
_LONGEST_PAUSE_S = 0.05
# A job command that ended this close to its bound ended by the bound.
_BOUND_SLACK_MS = 50


@dataclasses.dataclass
class CheckedJob:
    """The job of a ``with printer.job() as job:`` block.

    ``started`` is the printer's status when it consented to the job;
    ``confirmed`` its status when it confirmed the job, set when the block
    ends without an exception.
    """

    started: PrinterStatus
    confirmed: PrinterStatus | None = None


def _offline_reason(status: PrinterStatus, elapsed_ms: float, timeout_ms: int) -> str:
    conditions = [words for words in status.conditions if words != "offline"]
    if conditions:
        return "printer offline: " + ", ".join(conditions)
    bound = checked_block_bound_ms(timeout_ms)
    if elapsed_ms + _BOUND_SLACK_MS >= bound:
        return f"no answer from the printer within {bound} ms"
    return "printer offline, or the connection to it was lost"


def _encoded(text: str, what: str) -> bytes:
    # A NUL would end the C string early: the library would open another name.
    if "\0" in text:
        raise ValueError(f"{what} contains a NUL character: {text!r}")
    return os.fsencode(text)


class Printer:
    """An open printer port.

    ``Printer(port, settings="", timeout_ms=3000)`` opens it: ``port`` is
    "tcp:" (or "TCP:") and an IPv4 address, a /dev/tty or /dev/parport
    device, or "usbven:"/"usbprn:" and the printer's identification text;
    ``settings`` the transport's settings ("" for none; network: "9100",
    "9101", "n", "a"; serial: e.g. "9600,n,8,1,n"); ``timeout_ms`` the time
    limit of the connect and of each transfer (0: transfers wait without
    limit). Opening waits for the transport's opening exchange, on the
    network the connect, the discovery and the printer's opening status,
    each at most ``timeout_ms``. Raises NotOpened when the port cannot be
    opened. Use it as a context manager::

        with quenvar.Printer("tcp:192.0.2.10") as printer:
            with printer.job():
                printer.write(b"Thank you\\n")

    Every call runs on the caller's thread and releases the GIL while it
    waits, so several printers can be driven from several threads. One
    printer serves one call at a time: a call from another thread (and
    ``close``) waits for the call in progress, and for a whole ``job()``
    block.
    """

    def __init__(self, port: str, settings: str = "", timeout_ms: int = DEFAULT_TIMEOUT_MS) -> None:
        if not 0 <= timeout_ms <= _UINT_MAX:
            raise ValueError(f"timeout_ms must be 0 to {_UINT_MAX}: {timeout_ms}")
        self._port = port
        self._timeout_ms = timeout_ms
        self._lock = threading.RLock()
        self._handle: int | None = _library.lib.OpenPort(
            _encoded(port, "port"), _encoded(settings, "settings"), timeout_ms
        )
        if not self._handle:
            raise NotOpened(
                f"could not open {port}: no transport takes this name, or the printer is not there "
                f"(switched off, wrong address or device, refused, or no answer within {timeout_ms} ms)"
            )

    @property
    def port(self) -> str:
        """The port name the printer was opened with."""
        return self._port

    @property
    def timeout_ms(self) -> int:
        """The time limit of each transfer, in milliseconds."""
        return self._timeout_ms

    @property
    def closed(self) -> bool:
        """True once close() has run."""
        return self._handle is None

    def __enter__(self) -> Printer:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __del__(self) -> None:
        # A printer dropped without close() still releases its port; at the
        # interpreter's exit the library may be gone already.
        handle = getattr(self, "_handle", None)
        if handle:
            with contextlib.suppress(Exception):
                _library.lib.ClosePort(handle)

    def __repr__(self) -> str:
        return f"<quenvar.Printer {self._port} {'closed' if self.closed else 'open'}>"

    def close(self) -> None:
        """Closes the port; closing again does nothing. Waits for a call in
        progress on another thread; the network port then shuts its
        connection down in an orderly way, which waits up to the time limit
        while the printer takes what was sent."""
        with self._lock:
            if self._handle:
                _library.lib.ClosePort(self._handle)
                self._handle = None

    def write(self, data: BytesLike) -> None:
        """Sends all of ``data`` (bytes, bytearray, memoryview, ...) to the
        printer, in as many transfers as the port needs: a transfer may take
        fewer bytes than offered (serial ports take 40 a call, USB 64), and
        the rest is offered again.

        Each transfer waits up to the time limit. A port that takes no bytes
        at all is asked again after short pauses until it has taken nothing
        for the time limit; then, like a failed transfer, raises PortIOError,
        whose ``bytes_sent`` says how much of ``data`` went out before.
        """
        view = memoryview(data)
        if not view.c_contiguous:
            view = memoryview(view.tobytes())
        view = view.cast("B")
        with self._lock:
            handle = self._live()
            if not view.nbytes:
                return
            # Transfers hand the library the caller's buffer, not a copy: a
            # writable one through a ctypes array over it (which also keeps
            # a bytearray from being resized meanwhile), bytes by their own
            # storage. Other read-only buffers are copied once.
            if not view.readonly:
                array = (ctypes.c_char * view.nbytes).from_buffer(view)
                self._send(handle, ctypes.addressof(array), view.nbytes)
                return
            whole = view.obj if type(view.obj) is bytes and len(view.obj) == view.nbytes else view.tobytes()
            assert isinstance(whole, bytes)
            address = ctypes.cast(ctypes.c_char_p(whole), ctypes.c_void_p).value
            assert address is not None
            self._send(handle, address, view.nbytes)

    def _send(self, handle: int, base: int, total: int) -> None:
        taken = ctypes.c_uint(0)
        sent = 0
        idle_since: float | None = None
        pause = _FIRST_PAUSE_S
        while sent < total:
            offered = min(total - sent, _UINT_MAX)
            taken.value = 0
            if _library.lib.WritePort(handle, base + sent, offered, ctypes.byref(taken)) != 1:
                raise PortIOError(f"sending to {self._port} failed after {sent} of {total} bytes", sent)
            if taken.value > offered:
                raise PortIOError(f"the port {self._port} reported {taken.value} bytes taken of {offered} offered", sent)
            if taken.value:
                sent += taken.value
                idle_since = None
                pause = _FIRST_PAUSE_S
                continue
            now = time.monotonic()
            if idle_since is None:
                idle_since = now
            idle_left = self._timeout_ms / 1000 - (now - idle_since)
            if idle_left <= 0 and now > idle_since:
                raise PortIOError(
                    f"the printer at {self._port} took no bytes for {self._timeout_ms} ms, "
                    f"after {sent} of {total} bytes",
                    sent,
                )
            time.sleep(min(pause, max(idle_left, _FIRST_PAUSE_S)))
            pause = min(pause * 2, _LONGEST_PAUSE_S)

    def read(self, max_bytes: int = 4096) -> bytes:
        """Reads what the printer sent: at most ``max_bytes`` (and at most
        READ_CALL_BYTES) bytes, possibly none. Waits up to the time limit for
        the first bytes. Raises PortIOError when the read fails."""
        if max_bytes < 1:
            raise ValueError(f"max_bytes must be at least 1: {max_bytes}")
        size = min(max_bytes, READ_CALL_BYTES)
        buffer = ctypes.create_string_buffer(size)
        count = ctypes.c_uint(0)
        with self._lock:
            if _library.lib.ReadPort(self._live(), buffer, size, ctypes.byref(count)) != 1:
                raise PortIOError(f"reading from {self._port} failed")
        if count.value > size:
            raise PortIOError(f"the port {self._port} reported {count.value} bytes read of {size}")
        return buffer.raw[: count.value]

    def status(self) -> PrinterStatus:
        """The printer's current status. An offline printer is reported in the
        status (``offline``), not raised. Waits up to the time limit for each
        exchange it needs (on the network, the printer's status frame or the
        status port's answer). Raises PortIOError when no status came."""
        record = Record()
        with self._lock:
            if _library.lib.GetParsedStatusEx(self._live(), ctypes.byref(record), RECORD_VERSION) != 1:
                raise PortIOError(f"the printer's status could not be read from {self._port}")
        return PrinterStatus._from_record(record)

    def online(self) -> bool:
        """Whether the printer is online. Waits as status() does; raises
        PortIOError when the port could not tell."""
        online = ctypes.c_uint(0)
        with self._lock:
            if _library.lib.GetOnlineStatus(self._live(), ctypes.byref(online)) != 1:
                raise PortIOError(f"whether the printer at {self._port} is online could not be read")
        return online.value != 0

    def reset(self) -> None:
        """Resets the printer or its connection, as the transport allows,
        waiting for the reset exchange up to the time limit. Raises
        PortIOError when it did not happen; the network port has no reset and
        raises at once."""
        with self._lock:
            if _library.lib.ResetDevice(self._live()) != 1:
                raise PortIOError(f"the printer at {self._port} was not reset (its port has no reset, or it failed)")

    def begin_job(self) -> PrinterStatus:
        """Begins a checked block: takes the printer's status, tells the
        printer a job begins and waits for its consent, at most
        checked_block_bound_ms(timeout_ms) for the answer. Returns the
        printer's status; the job may be sent.

        Raises Offline (with the status) when the printer is offline or did
        not answer, PrinterError when it answered with an error."""
        return self._job_command(
            _library.lib.BeginCheckedBlockEx,
            "job not started",
            "job refused: the printer answered the job begin with an error, or its status could not be read",
        )

    def end_job(self) -> PrinterStatus:
        """Ends a checked block: tells the printer the job ends and waits until
        it confirms that it has processed everything sent, at most
        checked_block_bound_ms(timeout_ms) for the answer. Returns the
        printer's status then.

        Raises Offline (with the status) when the printer went offline or did
        not answer in time, PrinterError when it answered with an error."""
        return self._job_command(
            _library.lib.EndCheckedBlockEx,
            "job not confirmed",
            "job failed: the printer answered the job end with an error",
        )

    @contextlib.contextmanager
    def job(self) -> Iterator[CheckedJob]:
        """A checked block around the ``with`` body::

            with printer.job() as job:
                printer.write(receipt)
            print(job.confirmed.etb_counter)

        Enters with begin_job() and, when the body ends normally, leaves with
        end_job(); both wait as those calls say and raise what they raise.
        When the body raises, the job end is not sent (the printer must not
        confirm a job that was cut short) and the exception goes on
        unchanged; what the body wrote may already be printing. The port
        stays open for the next job.
        """
        with self._lock:
            job = CheckedJob(started=self.begin_job())
            yield job
            job.confirmed = self.end_job()

    def print_job(self, data: BytesLike) -> PrinterStatus:
        """Prints ``data`` as one checked job and returns the printer's status
        once it confirmed the job. Waits and raises as job() and write() do."""
        with self.job() as job:
            self.write(data)
        assert job.confirmed is not None
        return job.confirmed

    def _job_command(self, command: Callable[..., int], offline_words: str, error_words: str) -> PrinterStatus:
        record = Record()
        with self._lock:
            handle = self._live()
            start = time.monotonic()
            result = command(handle, ctypes.byref(record), RECORD_VERSION)
            elapsed_ms = (time.monotonic() - start) * 1000
        if result != 1:
            raise PrinterError(error_words)
        status = PrinterStatus._from_record(record)
        if status.offline:
            raise Offline(f"{offline_words}: {_offline_reason(status, elapsed_ms, self._timeout_ms)}", status)
        return status

    def _live(self) -> int:
        if not self._handle:
            raise NotOpened(f"the printer port {self._port} is closed")
        return self._handle
