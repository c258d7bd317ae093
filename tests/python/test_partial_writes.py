"""write() on a port that takes a few bytes a call, and on one that takes
none: run with the test-support interposer preloaded, which makes the network port so."""

from __future__ import annotations

import ctypes
import os
import tempfile
import time
import unittest
from unittest import mock

import quenvar
from quenvar import _library
from virtual_printer import VirtualPrinter


class PartialWritesTest(unittest.TestCase):
    def setUp(self) -> None:
        try:
            self.takes = ctypes.c_int.in_dll(ctypes.CDLL(None), "quenvar_test_send_takes")
        except ValueError:
            self.fail("the test-support interposer (libquenvar_test_support.so) must be preloaded for this test")
        self.addCleanup(setattr, self.takes, "value", -1)
        self.scratch = tempfile.TemporaryDirectory()
        self.addCleanup(self.scratch.cleanup)
        self.output = os.path.join(self.scratch.name, "printed.bin")
        self.virtual = VirtualPrinter(output=self.output)
        self.addCleanup(self.virtual.stop)

    def test_every_byte_arrives_in_order_from_a_port_taking_40_bytes_a_call(self) -> None:
        job = b"".join(b"line %06d %s\n" % (i, b"-" * 52) for i in range(2048))  # 128 KiB
        with quenvar.Printer(self.virtual.port_name) as printer:
            self.takes.value = 40
            self.assertFalse(printer.print_job(job).offline)
        self.virtual.stop()
        with open(self.output, "rb") as file:
            self.assertEqual(file.read(), job)

    def test_a_port_taking_nothing_raises_after_its_time_limit_without_spinning(self) -> None:
        with quenvar.Printer(self.virtual.port_name, timeout_ms=500) as printer, mock.patch.object(
            _library.lib, "WritePort", wraps=_library.lib.WritePort
        ) as transfers:
            printer.write(b"first\n")
            self.takes.value = 0
            start = time.monotonic()
            with self.assertRaisesRegex(quenvar.PortIOError, "took no bytes for 500 ms") as caught:
                printer.write(b"never sent\n")
            elapsed = time.monotonic() - start
        self.assertEqual(caught.exception.bytes_sent, 0)
        self.assertGreaterEqual(elapsed, 0.5)
        self.assertLess(elapsed, 2.5)
        # Asked again after pauses, not in a busy loop (which makes thousands).
        self.assertLess(transfers.call_count, 50)

if __name__ == "__main__":
    unittest.main()
