"""python3 -m quenvar: the quenvar command's status and print, in Python.

    python3 -m quenvar status PORT [--json]
    python3 -m quenvar print PORT FILE      (FILE "-" is standard input)

Both take --settings/-s and --timeout/-t as the command does, say the same
words and end with its exit codes: 0 success, 2 usage error, 3 port not
opened, 4 job not confirmed (offline, cover open, paper out, no answer in
time), 5 the printer answered with an error, 6 I/O failure.
"""

from __future__ import annotations

import argparse
import json
import sys
from typing import BinaryIO

from ._status_record import FLAGS
from .errors import NotOpened, Offline, PortIOError, PrinterError
from .printer import Printer
from .status import PrinterStatus

EXIT_SUCCESS = 0
EXIT_USAGE = 2
EXIT_NOT_OPENED = 3
EXIT_NOT_CONFIRMED = 4
EXIT_ERROR_ANSWER = 5
EXIT_IO_FAILURE = 6

# Jobs are read and sent in slices of this size: memory stays flat however
# large the job, and a pipe prints before its input ends.
SLICE_BYTES = 64 * 1024


def _fail(message: str, code: int) -> int:
    print(f"quenvar: {message}", file=sys.stderr)
    return code


def _raw_hex(status: PrinterStatus) -> str:
    return " ".join(f"{byte:02X}" for byte in status.raw)


def _describe(port: str, online: bool | None, status: PrinterStatus) -> str:
    def joined(words: list[str]) -> str:
        return ", ".join(words) or "none"

    online_words = "unknown (query failed)" if online is None else ("yes" if online else "no")
    etb = str(status.etb_counter) if status.etb_available else "not reported"
    return (
        f"printer:     {port}\n"
        f"online:      {online_words}\n"
        f"conditions:  {joined(status.conditions)}\n"
        f"sensors:     {joined(status.sensors)}\n"
        f"ETB counter: {etb}\n"
        f"presenter:   state {status.presenter_state}\n"
        f"raw status:  {_raw_hex(status) or '(none)'}\n"
    )


def _as_json(port: str, online: bool | None, status: PrinterStatus) -> str:
    fields: dict[str, object] = {field: getattr(status, name) for name, field, _, _ in FLAGS}
    fields.update(
        etbCounter=status.etb_counter,
        presenterState=status.presenter_state,
        rawLength=len(status.raw),
        raw=_raw_hex(status),
        conditions=status.conditions,
        port=port,
        online=online,
    )
    return json.dumps(fields, indent=2)


def _status(args: argparse.Namespace) -> int:
    try:
        printer = Printer(args.port, args.settings, args.timeout)
    except NotOpened as error:
        return _fail(str(error), EXIT_NOT_OPENED)
    with printer:
        try:
            status = printer.status()
        except PortIOError as error:
            return _fail(str(error), EXIT_IO_FAILURE)
        try:
            online: bool | None = printer.online()
        except PortIOError:
            online = None
    sys.stdout.write(_as_json(args.port, online, status) + "\n" if args.json else _describe(args.port, online, status))
    return EXIT_SUCCESS


def _send_job(printer: Printer, job: BinaryIO) -> int:
    sent = 0
    try:
        printer.begin_job()
    except Offline as error:
        return _fail(str(error), EXIT_NOT_CONFIRMED)
    except PrinterError as error:
        return _fail(str(error), EXIT_ERROR_ANSWER)
    while True:
        try:
            piece = job.read(SLICE_BYTES)
        except OSError:
            return _fail(f"reading the job failed after {sent} bytes were sent; the job was not ended", EXIT_IO_FAILURE)
        if not piece:
            break
        try:
            printer.write(piece)
        except PortIOError as error:
            return _fail(f"sending failed after {sent + error.bytes_sent} bytes", EXIT_IO_FAILURE)
        sent += len(piece)
    try:
        printer.end_job()
    except Offline as error:
        return _fail(str(error), EXIT_NOT_CONFIRMED)
    except PrinterError as error:
        return _fail(str(error), EXIT_ERROR_ANSWER)
    print(f"job confirmed by the printer ({sent} bytes)")
    return EXIT_SUCCESS


def _print(args: argparse.Namespace) -> int:
    try:
        job: BinaryIO = sys.stdin.buffer if args.file == "-" else open(args.file, "rb")
    except OSError:
        return _fail(f"cannot read {args.file}", EXIT_USAGE)
    with job:
        try:
            printer = Printer(args.port, args.settings, args.timeout)
        except NotOpened as error:
            return _fail(str(error), EXIT_NOT_OPENED)
        with printer:
            return _send_job(printer, job)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python3 -m quenvar",
        description="Talk to receipt printers: the quenvar command's status and print, from Python.",
        epilog="Exit codes: 0 success, 2 usage error, 3 port not opened, 4 job not confirmed, "
        "5 the printer answered with an error, 6 I/O failure.",
    )
    commands = parser.add_subparsers(dest="command", required=True)
    status = commands.add_parser("status", help="show the printer's status: every condition in plain words")
    status.add_argument("--json", action="store_true", help="print one JSON object instead")
    status.set_defaults(run=_status)
    job = commands.add_parser("print", help="send FILE as one print job and wait for the printer to confirm it")
    job.set_defaults(run=_print)
    for command in (status, job):
        command.add_argument("port", metavar="PORT", help="printer port: tcp:ADDRESS, /dev/ttyS0, /dev/parport0, ...")
        command.add_argument("--settings", "-s", default="", help="transport settings")
        command.add_argument(
            "--timeout", "-t", type=int, default=3000, help="time limit in milliseconds for each exchange"
        )
    job.add_argument("file", metavar="FILE", help="printer command bytes to send; - for standard input")
    return parser


def main(argv: list[str] | None = None) -> int:
    """Runs one command; returns its exit code."""
    args = _parser().parse_args(argv)
    if not 0 <= args.timeout <= 0xFFFFFFFF:
        return _fail(f"--timeout must be 0 to 4294967295: {args.timeout}", EXIT_USAGE)
    return int(args.run(args))


if __name__ == "__main__":
    sys.exit(main())
