"""python3 -m quenvar: the quenvar command's words and exit codes."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
import unittest

from virtual_printer import VirtualPrinter, eventually

import quenvar


def run(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "quenvar", *args], capture_output=True, text=True, timeout=60)


class CommandTest(unittest.TestCase):
    def setUp(self) -> None:
        scratch = tempfile.TemporaryDirectory()
        self.addCleanup(scratch.cleanup)
        self.job = os.path.join(scratch.name, "receipt.bin")
        with open(self.job, "wb") as file:
            file.write(b"Thank you for shopping\n")
        self.virtual = VirtualPrinter()
        self.addCleanup(self.virtual.stop)

    def test_status_says_what_the_quenvar_command_says(self) -> None:
        self.virtual.command("cover open")
        with quenvar.Printer(self.virtual.port_name) as printer:
            eventually("cover open", lambda: printer.status().cover_open)
        port = self.virtual.port_name
        ours, theirs = run("status", port), subprocess.run(
            [os.environ["QUENVAR_TOOL"], "status", port], capture_output=True, text=True, timeout=60
        )
        self.assertEqual((ours.returncode, ours.stdout), (theirs.returncode, theirs.stdout))
        self.assertIn("conditions:  cover open, offline", ours.stdout)
        ours, theirs = run("status", port, "--json"), subprocess.run(
            [os.environ["QUENVAR_TOOL"], "status", port, "--json"], capture_output=True, text=True, timeout=60
        )
        self.assertEqual(json.loads(ours.stdout), json.loads(theirs.stdout))

    def test_print_and_its_exit_codes(self) -> None:
        port = self.virtual.port_name
        cases = [
            # (console command first, arguments, exit code, words in the output)
            (None, ("print", port, self.job), 0, "job confirmed by the printer (23 bytes)"),
            (None, ("print", "Tcp:" + self.virtual.address, self.job), 3, "could not open Tcp:"),
            (None, ("print", port, self.job + ".missing"), 2, "cannot read"),
            (None, ("print", port), 2, "FILE"),
            (("fail-next-job", "reports failure"), ("print", port, self.job), 5, "answered the job end with an error"),
            (("paper out", "state:"), ("print", port, self.job), 4, "job not started: printer offline: paper out"),
        ]
        for command, args, code, words in cases:
            with self.subTest(args=args, command=command):
                if command:
                    self.virtual.command(*command)
                result = run(*args)
                self.assertEqual(result.returncode, code, result.stderr)
                self.assertIn(words, result.stdout + result.stderr)
        self.virtual.wait_for("printed: Thank you for shopping")


if __name__ == "__main__":
    unittest.main()
