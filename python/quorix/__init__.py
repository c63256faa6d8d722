"""Quorix: the FX2 board (USB 0xDEAD:0xBEEF) from Python, over either library.

    import quorix
    quorix.load(simulated=True)          # or quorix.load(path); QUORIX_LIBRARY overrides
    with quorix.open() as board:
        data = board.read(4096)
        board.port_d = 0xA5

Without load(), the first call loads the native library (libquorix.so.1), or the one that
QUORIX_LIBRARY names.
"""

from ._api import PROTOTYPES, SIM_PROTOTYPES, Library, load
from .device import Device, Eeprom, count, open, serial  # noqa: A004
from .errors import (STATUS_NAMES, AlreadyOpenError, DriverError, FailedError, NoDriverError,
                     NoSpaceError, NoStartupAreaError, NotOpenError, OverrunError, QuorixError,
                     TimeoutError, TransferError)

__all__ = [
    "PROTOTYPES", "SIM_PROTOTYPES", "Library", "load", "Device", "Eeprom", "count", "open", "serial",
    "STATUS_NAMES", "QuorixError", "FailedError", "NoDriverError", "AlreadyOpenError", "NotOpenError",
    "TimeoutError", "TransferError", "OverrunError", "NoStartupAreaError", "NoSpaceError", "DriverError",
]
