"""Four printers driven from four threads at once."""

from __future__ import annotations

import os
import tempfile
import threading
import time
import unittest
from collections.abc import Callable

import quenvar
from virtual_printer import VirtualPrinter

PRINTERS = 4


def in_threads(work: Callable[[int], object]) -> tuple[list[object], int]:
    """Runs work(0) ... work(PRINTERS - 1) in threads of their own. Returns
    each one's result or exception, and how many 10 ms pauses this thread
    made while it waited for them."""
    results: list[object] = [None] * PRINTERS

    def run(index: int) -> None:
        try:
            results[index] = work(index)
        except BaseException as error:  # reported by the test, not lost in the thread
            results[index] = error

    threads = [threading.Thread(target=run, args=(i,)) for i in range(PRINTERS)]
    for thread in threads:
        thread.start()
    pauses = 0
    deadline = time.monotonic() + 60
    while any(thread.is_alive() for thread in threads) and time.monotonic() < deadline:
        time.sleep(0.01)
        pauses += 1
    return results, pauses


class ThreadsTest(unittest.TestCase):
    def test_four_printers_from_four_threads(self) -> None:
        with tempfile.TemporaryDirectory() as scratch:
            outputs = [os.path.join(scratch, f"printed-{i}.bin") for i in range(PRINTERS)]
            virtual = [VirtualPrinter(output=path) for path in outputs]
            try:
                jobs = [b"".join(b"printer %d line %05d\n" % (i, n) for n in range(3000)) for i in range(PRINTERS)]

                def print_jobs(index: int) -> bool:
                    with quenvar.Printer(virtual[index].port_name) as printer:
                        for _ in range(3):
                            printer.print_job(jobs[index])
                        return printer.status().offline

                self.assertEqual(in_threads(print_jobs)[0], [False] * PRINTERS)

                # Calls release the GIL while they wait: this thread runs on
                # while four threads wait for silent printers.
                printers = [quenvar.Printer(v.port_name, "", 250) for v in virtual]
                for printer in virtual:
                    printer.command("silent on", "silent")
                start = time.monotonic()
                results, pauses = in_threads(lambda index: printers[index].begin_job())
                waited = time.monotonic() - start
                for printer in printers:
                    printer.close()
                self.assertTrue(all(isinstance(r, quenvar.Offline) for r in results), results)
                self.assertGreater(pauses, waited / 0.01 / 4, f"{pauses} pauses in {waited:.2f} s")
            finally:
                for printer in virtual:
                    printer.stop()
            for index, path in enumerate(outputs):
                with open(path, "rb") as file:
                    self.assertEqual(file.read(), jobs[index] * 3, f"printer {index}")


if __name__ == "__main__":
    unittest.main()
