"""Test helper: a virtual printer run as a `quenvar emulate` process on a
loopback address of its own (the emulator picks a free 127.x.y.z), so tests
running at the same time never share the printer's fixed ports."""

from __future__ import annotations

import os
import subprocess
import threading
import time
import unittest
from collections.abc import Callable

# Only keeps a broken run from hanging.
WAIT_BOUND_S = 10.0


def eventually(what: str, check: Callable[[], bool]) -> None:
    """Waits until check() holds, looking again every few milliseconds: the
    printer's status frames arrive a moment after its console answers."""
    deadline = time.monotonic() + WAIT_BOUND_S
    while not check():
        if time.monotonic() > deadline:
            raise AssertionError(f"{what} never came to pass")
        time.sleep(0.01)


class VirtualPrinter:
    """``with VirtualPrinter(output=path) as printer:`` runs one; ``output``
    names a file that receives everything the printer prints."""

    def __init__(self, *options: str, output: str | None = None) -> None:
        tool = os.environ.get("QUENVAR_TOOL")
        if not tool:
            raise unittest.SkipTest("QUENVAR_TOOL does not name the quenvar command")
        command = [tool, "emulate", *options] + (["--output", output] if output else [])
        # The test's own preloads are for the library in this process only.
        env = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
        self._process = subprocess.Popen(
            command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env, text=True
        )
        assert self._process.stdin is not None and self._process.stdout is not None
        self._lines: list[str] = []
        self._changed = threading.Condition()
        self.address = ""
        for line in self._process.stdout:
            self._lines.append(line.rstrip("\n"))
            if line.startswith("listening on "):
                self.address = line.split()[-1]
                break
        if not self.address:
            self._process.wait(WAIT_BOUND_S)
            raise RuntimeError(f"the virtual printer did not start: {self._lines}")
        self._drainer = threading.Thread(target=self._drain, daemon=True)
        self._drainer.start()

    @property
    def port_name(self) -> str:
        return "tcp:" + self.address

    def command(self, line: str, answer: str = "state:") -> None:
        """Types a command on the printer's console and waits for its answer."""
        with self._changed:
            seen = len(self._lines)
        assert self._process.stdin is not None
        self._process.stdin.write(line + "\n")
        self._process.stdin.flush()
        self.wait_for(answer, seen)

    def wait_for(self, text: str, after: int = 0) -> None:
        """Waits until a line of the printer's output after the first ``after`` contains ``text``."""
        deadline = time.monotonic() + WAIT_BOUND_S
        with self._changed:
            while not any(text in line for line in self._lines[after:]):
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f'the virtual printer never said "{text}": {self._lines}')
                self._changed.wait(left)

    def stop(self) -> None:
        """Ends the printer (end of its input) and waits for it: its output file is then complete."""
        if self._process.poll() is None:
            assert self._process.stdin is not None
            self._process.stdin.close()
            try:
                self._process.wait(WAIT_BOUND_S)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
            self._drainer.join(WAIT_BOUND_S)
            assert self._process.stdout is not None
            self._process.stdout.close()

    def __enter__(self) -> VirtualPrinter:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    def _drain(self) -> None:
        assert self._process.stdout is not None
        for line in self._process.stdout:
            with self._changed:
                self._lines.append(line.rstrip("\n"))
                self._changed.notify_all()
