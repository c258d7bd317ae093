"""Loads libQuenvar.so.1 and declares the C functions the package calls.

The library is looked for at the place the build or the installation put it,
relative to this package (``_location.LIBRARY_DIRECTORY``), after following
symbolic links to the package; failing that, the system's own search for
shared libraries is the last resort. No environment variable is read.

ctypes releases the GIL for the length of every call into the library, so a
call that waits for a printer lets the other threads of the program run.
"""

from __future__ import annotations

import ctypes
import os

from . import _location
from ._status_record import RECORD_OFFSETS, RECORD_SIZE, Record

FILE_NAME = "libQuenvar.so.1"


def _load() -> tuple[ctypes.CDLL, str]:
    here = os.path.dirname(os.path.realpath(__file__))
    beside = os.path.normpath(os.path.join(here, _location.LIBRARY_DIRECTORY, FILE_NAME))
    if os.path.isfile(beside):
        return ctypes.CDLL(beside), beside
    try:
        return ctypes.CDLL(FILE_NAME), FILE_NAME
    except OSError as error:
        raise ImportError(
            f"{FILE_NAME} is neither in {os.path.dirname(beside)} nor found by the system's search: {error}"
        ) from error


def _check_layout() -> None:
    # A structure that disagrees with the library's would show other fields'
    # values under the wrong names.
    wrong = [name for name, offset in RECORD_OFFSETS.items() if getattr(Record, name).offset != offset]
    if ctypes.sizeof(Record) != RECORD_SIZE or wrong:
        raise ImportError(f"the status record in Python does not match libQuenvar's ({', '.join(wrong) or 'size'})")


lib, path = _load()
_check_layout()

_port = ctypes.c_void_p
_count = ctypes.POINTER(ctypes.c_uint)
_record = ctypes.POINTER(Record)

lib.OpenPort.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_uint]
lib.OpenPort.restype = _port
lib.ClosePort.argtypes = [_port]
lib.ClosePort.restype = ctypes.c_int
lib.ReadPort.argtypes = [_port, ctypes.c_void_p, ctypes.c_uint, _count]
lib.ReadPort.restype = ctypes.c_int
lib.WritePort.argtypes = [_port, ctypes.c_void_p, ctypes.c_uint, _count]
lib.WritePort.restype = ctypes.c_int
lib.GetOnlineStatus.argtypes = [_port, _count]
lib.GetOnlineStatus.restype = ctypes.c_int
for _status_call in (lib.GetParsedStatusEx, lib.BeginCheckedBlockEx, lib.EndCheckedBlockEx):
    _status_call.argtypes = [_port, _record, ctypes.c_uint]
    _status_call.restype = ctypes.c_int
lib.ResetDevice.argtypes = [_port]
lib.ResetDevice.restype = ctypes.c_int
