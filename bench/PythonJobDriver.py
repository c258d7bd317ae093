"""The Python side of the bench row for the Python package: prints checked
jobs through quenvar.Printer when run-bench asks, and times each job itself,
so that neither the interpreter's start nor the exchange with run-bench is in
the figure.

    PythonJobDriver.py <directory holding the package quenvar>

One command a line on standard input, one answer a line on standard output:
    open PORTNAME SETTINGS TIMEOUTMS   ok
    job BYTES                          the job's seconds (begin, BYTES bytes, end)
    close                              ok
A failure is answered "error" and a description. End of input ends the driver.
"""

import sys
import time

sys.path.insert(0, sys.argv[1])

import quenvar  # noqa: E402


class Driver:
    def __init__(self) -> None:
        self.printer: quenvar.Printer | None = None
        self.job = b""

    def run(self, words: list[str]) -> str:
        if words[0] == "open":
            self.close()
            self.printer = quenvar.Printer(words[1], words[2], int(words[3]))
            return "ok"
        if words[0] == "job":
            return repr(self.timed_job(int(words[1])))
        if words[0] == "close":
            self.close()
            return "ok"
        return "error unknown command " + words[0]

    def timed_job(self, size: int) -> float:
        if self.printer is None:
            raise RuntimeError("no port is open")
        if len(self.job) != size:
            self.job = b"A" * size
        start = time.perf_counter()
        self.printer.print_job(self.job)  # an offline printer or an error answer raises
        return time.perf_counter() - start

    def close(self) -> None:
        if self.printer is not None:
            self.printer.close()
        self.printer = None


def main() -> None:
    driver = Driver()
    for line in sys.stdin:
        try:
            answer = driver.run(line.split())
        except Exception as error:  # answered, so run-bench reports it
            answer = f"error {error!r}"
        print(answer, flush=True)
    driver.close()


if __name__ == "__main__":
    main()
