"""quenvar.Printer against virtual printers: the status by name, confirmed
jobs whose bytes arrive once, each failure as its exception."""

from __future__ import annotations

import dataclasses
import os
import tempfile
import time
import unittest
from unittest import mock

import quenvar
from quenvar import _library
from virtual_printer import VirtualPrinter, eventually


def flags_set(status: quenvar.PrinterStatus) -> set[str]:
    return {name for name, value in vars(status).items() if value is True}


def receipt_lines(count: int, tag: bytes) -> bytes:
    """count lines of 64 bytes each."""
    lines = (b"%s %06d " % (tag, i) for i in range(count))
    return b"".join(line.ljust(63, b"=") + b"\n" for line in lines)


class PrinterTest(unittest.TestCase):
    def setUp(self) -> None:
        self.scratch = tempfile.TemporaryDirectory()
        self.addCleanup(self.scratch.cleanup)
        self.output = os.path.join(self.scratch.name, "printed.bin")
        self.virtual = VirtualPrinter(output=self.output)
        self.addCleanup(self.virtual.stop)

    def printed(self) -> bytes:
        self.virtual.stop()
        with open(self.output, "rb") as file:
            return file.read()

    def test_status_fields_by_name_in_several_states(self) -> None:
        states = [
            ("cover open", "cover close", {"cover_open", "offline"}),
            ("paper out", "paper ok", {"receipt_paper_empty", "offline"}),
            ("paper near-end", "paper ok", {"receipt_paper_near_empty_inner"}),
            ("offline", "online", {"offline"}),
        ]
        with quenvar.Printer(self.virtual.port_name) as printer:
            healthy = printer.status()
            # The healthy printer's slip sensors report no slip paper.
            normal = flags_set(healthy)
            self.assertFalse(healthy.offline)
            self.assertEqual(healthy.conditions, [])
            self.assertTrue(healthy.etb_available)
            self.assertGreater(len(healthy.raw), 0)
            self.assertTrue(printer.online())
            for command, undo, expected in states:
                with self.subTest(command):
                    self.virtual.command(command)
                    eventually(command, lambda: flags_set(printer.status()) ^ normal == expected)
                    self.virtual.command(undo)
                    eventually(undo, lambda: flags_set(printer.status()) == normal)
            with self.assertRaises(dataclasses.FrozenInstanceError):
                healthy.offline = True  # type: ignore[misc]

            # Outside a checked block the job begin poll's answer is plain data.
            printer.write(bytes([0x1B, 0x1D, 0x03, 0x00, 0x00, 0x00]))
            answer = b""
            for _ in range(20):
                answer += printer.read(64)
                if len(answer) >= 8:
                    break
            self.assertEqual(answer, bytes([0x1B, 0x1D, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00]))
            with self.assertRaises(quenvar.PortIOError):
                printer.reset()  # the network port has no reset

    def test_a_confirmed_job_of_1_mib_arrives_exactly_once(self) -> None:
        head = b"receipt 1\n"
        body = bytearray(receipt_lines(16384, b"body"))  # 1 MiB
        with quenvar.Printer(self.virtual.port_name) as printer:
            with printer.job() as job:
                self.assertFalse(job.started.offline)
                printer.write(head)
                printer.write(memoryview(body)[: len(body) // 2])
                printer.write(body[len(body) // 2 :])
            assert job.confirmed is not None
            self.assertFalse(job.confirmed.offline)
            self.assertEqual(len(body), 1 << 20)
            self.assertFalse(printer.print_job(b"receipt 2\n").offline)
        self.assertEqual(self.printed(), head + body + b"receipt 2\n")

    def test_a_job_whose_body_raised_is_not_ended(self) -> None:
        original = _library.lib.EndCheckedBlockEx
        with quenvar.Printer(self.virtual.port_name) as printer, mock.patch.object(
            _library.lib, "EndCheckedBlockEx", wraps=original
        ) as end:
            with self.assertRaisesRegex(KeyError, "till closed"):
                with printer.job():
                    printer.write(b"half a receipt\n")
                    raise KeyError("till closed")
            end.assert_not_called()
            self.assertFalse(printer.print_job(b"next receipt\n").offline)
            end.assert_called_once()
        self.assertEqual(self.printed(), b"half a receipt\nnext receipt\n")

    def test_each_failure_raises_its_exception(self) -> None:
        with quenvar.Printer(self.virtual.port_name) as printer:
            self.virtual.command("fail-next-job", "job end answer reports failure")
            with self.assertRaises(quenvar.PrinterError):
                printer.print_job(b"lost\n")
            self.virtual.command("fail-next-begin", "job begin answer reports failure")
            with self.assertRaises(quenvar.PrinterError):
                printer.begin_job()

            self.virtual.command("paper out")
            eventually("paper out", lambda: printer.status().receipt_paper_empty)
            with self.assertRaises(quenvar.Offline) as caught:
                with printer.job():
                    self.fail("the body of a job the printer refused ran")
            self.assertTrue(caught.exception.status.receipt_paper_empty)
            self.assertTrue(caught.exception.status.offline)
            self.assertIn("paper out", str(caught.exception))
            self.virtual.command("paper ok")
            eventually("paper ok", lambda: not printer.status().offline)
            self.assertFalse(printer.print_job(b"after the paper came\n").offline)

        # A silent printer: the job begin ends by itself within the bound.
        with quenvar.Printer(self.virtual.port_name, timeout_ms=250) as printer:
            bound_s = quenvar.checked_block_bound_ms(250) / 1000
            self.virtual.command("silent on", "silent")
            start = time.monotonic()
            with self.assertRaises(quenvar.Offline) as caught:
                printer.begin_job()
            elapsed = time.monotonic() - start
            self.assertLess(elapsed, bound_s + 2.0)
            self.assertIn("job not started", str(caught.exception))
            self.assertIsInstance(caught.exception, quenvar.QuenvarError)

    def test_a_closed_printer_and_a_port_that_does_not_open(self) -> None:
        printer = quenvar.Printer(self.virtual.port_name)
        printer.close()
        printer.close()
        self.assertTrue(printer.closed)
        calls = [
            lambda: printer.write(b"x"),
            lambda: printer.read(1),
            printer.status,
            printer.online,
            printer.reset,
            printer.begin_job,
            printer.end_job,
            lambda: printer.print_job(b"x"),
        ]
        for call in calls:
            with self.assertRaises(quenvar.NotOpened):
                call()
        with self.assertRaisesRegex(quenvar.NotOpened, "could not open Tcp:"):
            quenvar.Printer("Tcp:" + self.virtual.address)  # prefixes are case-sensitive
        with self.assertRaises(ValueError):
            quenvar.Printer(self.virtual.port_name + "\0junk")


if __name__ == "__main__":
    unittest.main()
