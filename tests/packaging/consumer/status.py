"""A Python program using the packaged quenvar: takes a printer's status.
   status.py <site directory> <libQuenvar.so.1 it must load> <port>"""
import os
import sys

sys.path.insert(0, sys.argv[1])
import quenvar  # noqa: E402
from quenvar import _library  # noqa: E402

if os.path.realpath(_library.path) != os.path.realpath(sys.argv[2]):
    sys.exit(f"quenvar loaded {_library.path}, not {sys.argv[2]}")
with quenvar.Printer(sys.argv[3]) as printer:
    status = printer.status()
print("Python consumer: status taken, offline", int(status.offline))
sys.exit(1 if status.offline else 0)
