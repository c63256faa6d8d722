"""Quorix: the FX2 board (USB 0xDEAD:0xBEEF) from Python, over either library.

    import quorix
    quorix.load(simulated=True)          # or quorix.load(path); see load()
    with quorix.open() as board:
        data = board.read(4096)
        board.port_d = 0xA5

Without load(), the first call loads the native library. load() takes, in this order: the
path it is given, the library that QUORIX_LIBRARY names, the package's own copy (a wheel
carries both libraries; cmake --install points the package at its prefix's), and the
system's (libquorix.so.1, libquorix.1.dylib, KV420_FX2.dll).

Reads lose nothing: a read that fails, a timeout among them, hands over the bytes it took in
the exception's partial, and read_up_to() returns what arrived within the timeout. Ctrl-C ends
a read on the main thread within about 100 ms, whatever the timeout, with quorix.Interrupted
(a KeyboardInterrupt) that carries the bytes taken in the same way.

Asyncio: await board.read_async(n), await board.readinto_async(buffer) and
async for chunk in board.chunks(size) wait on the board's data-ready descriptor (loop.add_reader)
or, where there is none, in a thread; a cancelled await (asyncio.wait_for, asyncio.timeout)
loses nothing. async for event in quorix.watch() yields boards plugged in and pulled out.

Tracing: the "quorix" logger traces each library call at DEBUG (logging.basicConfig(
level=logging.DEBUG) shows them); QUORIX_TRACE=1 makes the library itself trace the driver
requests underneath, on stderr.

Threads: every call releases the GIL while it is in the library (ctypes does), and the
library may be called from several threads at once, so one thread can stream from a board
while another uses the same board or others; see Device.

quorix.open and quorix.TimeoutError are not in __all__, so that "from quorix import *" does
not replace the built-in open and TimeoutError; reach them as quorix.open and
quorix.TimeoutError (which is also a built-in TimeoutError).
"""

from ._api import PROTOTYPES, SIM_PROTOTYPES, Library, bundled_directories, library_name, load
from .device import (DEFAULT_READ_QUEUE, Board, Device, Eeprom, PlugEvent, ReadQueue, StreamStatistics,
                     boards, count, serial, watch)
from .device import open as open  # noqa: A004 - quorix.open, outside __all__
from .errors import (STATUS_MESSAGES, STATUS_NAMES, WINDOWS_CODES, AlreadyOpenError, DriverError,
                     FailedError, Interrupted, NoDriverError, NoSpaceError, NoStartupAreaError,
                     NotOpenError, OverrunError, QuorixError, TransferError, status_text)
from .errors import TimeoutError as TimeoutError  # noqa: A004 - quorix.TimeoutError, outside __all__

__version__ = "1.0.0"

__all__ = [
    "PROTOTYPES", "SIM_PROTOTYPES", "Library", "bundled_directories", "library_name", "load",
    "Board", "Device", "Eeprom", "boards", "count", "serial", "watch", "PlugEvent",
    "ReadQueue", "DEFAULT_READ_QUEUE", "StreamStatistics",
    "STATUS_NAMES", "STATUS_MESSAGES", "WINDOWS_CODES", "status_text",
    "QuorixError", "FailedError", "NoDriverError", "AlreadyOpenError", "NotOpenError", "TransferError", "OverrunError", "NoStartupAreaError", "NoSpaceError", "DriverError",
    "Interrupted",
]
