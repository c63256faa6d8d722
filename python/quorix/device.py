"""Boards: listing them and one open Device."""

from __future__ import annotations

import asyncio
import ctypes
import dataclasses
import importlib
import logging
import math
import operator
import os
import re
import signal
import sys
import threading
import time
import weakref
from types import FrameType, TracebackType
from typing import (Any, AsyncGenerator, Callable, Literal, NamedTuple, Optional, SupportsIndex,
                    Union, overload)

from . import _api
from .errors import (FailedError, Interrupted, NotOpenError, QuorixError, check, error_for,
                     status_text)

# Anything with the buffer protocol: bytes, bytearray, memoryview, array.array, numpy arrays.
Buffer = Any

_FAILED = -1
_NOT_OPEN = -4
_TIMEOUT = -5
_OVERFLOW = -7
_BUSY = 170  # the Windows code for a board another process has open
_DEFAULT_TIMEOUT = 200  # milliseconds, what the library starts each board with
_SLICE = 100  # milliseconds: the longest wait in the library before a read looks for Ctrl-C
_LONGEST_WAIT = 0xFFFFFFFF  # one QuorixWaitForBytes of a wait without limit, about 49 days
# milliseconds: a waiter thread's longest wait, after which it sees that its await is gone
_WAITER_SLICE = 20
_EEPROM_SIZE = 8192  # the board's own EEPROM (select 1), a 24C64
_EEPROM_PAGE = 32  # a write must not cross a page, or the part wraps it
_PIECE = 255  # one control request carries at most this many bytes
_LARGEST_WRITE = 0xFFFFFE00  # whole 512-byte packets below 4 GiB, for a 32-bit count

# Every read on the main thread puts a SIGINT handler of its own in place and back: signal's
# own functions convert to enums on each call, which costs ten times the system call.
try:
    _signals: Any = importlib.import_module("_signal")
except ImportError:
    _signals = signal

# The package's trace: one line per library call, at DEBUG (QUORIX_TRACE traces the driver
# requests underneath, from the library itself).
_log = logging.getLogger("quorix")
_log.addHandler(logging.NullHandler())


def _shown(value: Any) -> str:
    if isinstance(value, ctypes.c_void_p):
        return "0x%x" % (value.value or 0)
    if isinstance(value, (int, bytes)):
        return repr(value)
    if isinstance(value, ctypes.Array) and len(value) <= 16:
        return bytes(value).hex(" ")
    return "..."


def _traced(name: str, args: tuple[Any, ...], status: int) -> int:
    if _log.isEnabledFor(logging.DEBUG):
        _log.debug("%s(%s) -> %s", name, ", ".join(_shown(a) for a in args),
                   "0" if status == 0 else status_text(status))
    return status


def _api_call(name: str) -> Callable[..., Any]:
    return _api.library().api[name]


def _integer(value: SupportsIndex, name: str, low: int, high: int) -> int:
    """value as an int within low..high; ValueError (TypeError for a non-integer or a bool)
    otherwise, where the C API would cut it silently."""
    if isinstance(value, bool):
        raise TypeError("%s must be an integer, not bool" % name)
    number = operator.index(value)
    if not low <= number <= high:
        raise ValueError("%s %d is outside %d..%d" % (name, number, low, high))
    return number


# The buffer formats whose items are plain bytes: numbers, characters, structures of them.
# Objects ("O") hold references that raw bytes would overwrite; pointers ("&") and formats
# this does not know are refused as well.
_FIELD_NAME = re.compile(r":[^:]*:")
_PLAIN_FORMAT = re.compile(r"[@=<>!^xcbB?hHiIlLqQnNefdgspPwZT{}(), 0-9]*")


_plain_formats = {"B", "b", "c", "<B"}


def _plain(data: Buffer, what: str) -> memoryview:
    """A flat byte view of a buffer whose items are plain bytes; TypeError for any other."""
    view = memoryview(data)
    if view.format not in _plain_formats:
        if not _PLAIN_FORMAT.fullmatch(_FIELD_NAME.sub("", view.format)):
            raise TypeError("%s needs a buffer of plain bytes (numbers, characters), not one of "
                            "format %r" % (what, view.format))
        _plain_formats.add(view.format)
    return view.cast("B")


def _text(value: Union[str, bytes], name: str) -> bytes:
    """A serial number as the library's 8-bit text; a NUL inside would end it early."""
    data = value.encode("latin-1") if isinstance(value, str) else bytes(value)
    if b"\0" in data:
        raise ValueError("the %s has a NUL character inside" % name)
    return data


def _path(path: Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]) -> bytes:
    """A file path as the C API takes it: bytes as they are, text in the system's narrow
    character set (the ANSI code page on Windows, the file-system encoding elsewhere)."""
    value = os.fspath(path)
    if isinstance(value, str):
        data = value.encode("mbcs") if sys.platform == "win32" else os.fsencode(value)
    else:
        data = value
    if b"\0" in data:
        raise ValueError("the path has a NUL character inside")
    return data


def count() -> int:
    """The number of boards plugged in (QuorixCountDevices, which lists the driver's
    interfaces and reads the descriptors of new boards). Raises FailedError when the listing
    fails."""
    value = ctypes.c_int32()
    status = _traced("QuorixCountDevices", (), _api_call("QuorixCountDevices")(ctypes.byref(value)))
    check(status, "QuorixCountDevices")
    return value.value


def serial(index: SupportsIndex) -> Optional[str]:
    """The serial number of the board at index (QuorixGetDeviceSerialNumber), or None when
    there is no board there or its serial number cannot be read. Raises ValueError for an
    index beyond 32 bits."""
    number = _integer(index, "index", -2**31, 2**31 - 1)
    text = _api_call("QuorixGetDeviceSerialNumber")(number)
    found = None if text is None else bytes(text).decode("latin-1")
    _log.debug("QuorixGetDeviceSerialNumber(%d) -> %r", number, found)
    return found


_serial_at = serial  # for open(), whose parameter hides serial()


@dataclasses.dataclass(frozen=True)
class Board:
    """A board that discovery found: its index (0-based, as open() takes it), its serial
    number (None when it cannot be read), and whether it is in use: True when it is open,
    here or in another process, False when it is free, None when that is not known."""

    index: int
    serial: Optional[str]
    in_use: Optional[bool]


def boards(probe: bool = False) -> list[Board]:
    """The boards plugged in, in index order (QuorixCountDevices, then
    QuorixGetDeviceSerialNumber for each). The library cannot tell whether a board is in use
    without opening it, which sends SET_CONFIGURATION and posts a read whose data the close
    drops: so in_use is None unless probe is true, which opens and closes each board (a board
    open in this process is not touched: the library refuses it at once). Raises FailedError
    when the listing fails."""
    found = []
    for index in range(count()):
        in_use: Optional[bool] = None
        if probe:
            try:
                open(index).close()
                in_use = False
            except QuorixError as error:
                if error.status in (-3, _BUSY):  # open here, or in another process
                    in_use = True
        found.append(Board(index, serial(index), in_use))
    return found


def _no_such_board(index: Optional[int], wanted: Optional[bytes]) -> Optional[str]:
    """Why an open that failed with -1 found no board, when the listing says so."""
    try:
        plugged = count()
    except QuorixError:
        return None
    there = "%d board%s plugged in" % (plugged, " is" if plugged == 1 else "s are")
    if plugged == 0:
        return "no board is plugged in"
    if index is not None and not 0 <= index < plugged:
        return "there is no board %d: %s (index 0%s)" % (
            index, there, " to %d" % (plugged - 1) if plugged > 1 else "")
    if wanted is not None:
        serials = [serial(i) for i in range(plugged)]
        if wanted.decode("latin-1") not in serials:
            return "no board has the serial number %r: %s" % (wanted.decode("latin-1"), there)
    return None


# The open Devices by handle, for the plug events of a board open here.
_open_devices: weakref.WeakValueDictionary[int, Device] = weakref.WeakValueDictionary()

# The plug callbacks registered by watch(), by registration number: ctypes frees a callback's
# trampoline with its object, so each is kept until the library lets go of it.
_plug_callbacks: dict[int, Any] = {}

_ARRIVED = 1
_LEFT = 2
_PLUG_ENUMERATE = 1


class PlugEvent(NamedTuple):
    """A board of this kind that arrived or left: kind "arrived" or "left", its serial number
    ("" when it could not be read), and its Device when this process has it open (a board
    that left: the Device then raises NoDriverError or DriverError until closed; a board that
    arrives again is a new device, to be opened anew), else None."""

    kind: Literal["arrived", "left"]
    serial: str
    device: Optional[Device]


async def watch(present: bool = False) -> AsyncGenerator[PlugEvent, None]:
    """Yields a PlugEvent for each board that arrives or leaves, in the order the library
    notices them (within about a second), each once: async for event in quorix.watch().
    present=True first yields each board plugged in now as arrived.

    The library calls back on a thread of its own; the events reach this loop through
    call_soon_threadsafe. The registration (QuorixRegisterPlugCallback) is made when the
    iteration starts and ends (QuorixUnregisterPlugCallback) when it ends: at a break, an
    exception or a cancellation (after a break, as soon as the loop closes the generator;
    contextlib.aclosing(quorix.watch()) ends it at once). Raises FailedError when the
    library cannot watch (no thread, or the simulated library on its virtual clock).
    """
    loop = asyncio.get_running_loop()
    events: asyncio.Queue[PlugEvent] = asyncio.Queue()

    def deliver(context: Optional[int], kind: int, serial: Optional[bytes],
                handle: Optional[int]) -> None:
        # On the library's watcher thread: nothing may escape into the library.
        try:
            if kind not in (_ARRIVED, _LEFT):
                return
            event = PlugEvent("arrived" if kind == _ARRIVED else "left",
                              (serial or b"").decode("latin-1"),
                              _open_devices.get(handle) if handle else None)
            loop.call_soon_threadsafe(events.put_nowait, event)
        except Exception:  # noqa: BLE001 - a closed loop: nobody listens any more
            pass

    callback = _api.PlugCallback(deliver)
    registration = ctypes.c_uint32()
    api = _api.library().api
    status = _traced("QuorixRegisterPlugCallback", (), int(api["QuorixRegisterPlugCallback"](
        callback, None, _PLUG_ENUMERATE if present else 0, ctypes.byref(registration))))
    check(status, "QuorixRegisterPlugCallback")
    number = registration.value
    _plug_callbacks[number] = callback
    try:
        while True:
            yield await events.get()
    finally:
        # Returns once a call of the callback in progress has returned: then it may go.
        _traced("QuorixUnregisterPlugCallback", (number,),
                int(api["QuorixUnregisterPlugCallback"](number)))
        del _plug_callbacks[number]


class ReadQueue(NamedTuple):
    """How a Device reads from its board: reads kept posted at all times, each of read_size
    bytes (a multiple of 512), into a ring of ring_size bytes (see quorix.h's
    QuorixOpenDeviceQueued). reads 0 is the library's classic single read."""

    reads: int
    read_size: int
    ring_size: int = 0


#: What quorix.open uses unless told otherwise: 16 reads of 256 KiB (about 5 ms each at
#: 53 MB/s) into a 64 MiB ring (about 1.2 s), so that a board that cannot wait loses nothing
#: while the program processes its data.
DEFAULT_READ_QUEUE = ReadQueue(16, 256 * 1024, 64 << 20)


class StreamStatistics(NamedTuple):
    """What a Device's bulk IN has done since it was opened (QuorixGetStreamStatistics; times
    in microseconds): a gap is a time without a read posted at the board, a full ring a time
    in which a read could not be posted for want of room."""

    reads_posted: int
    bytes_received: int
    reads_completed: int
    gaps: int
    gap_total_us: int
    gap_longest_us: int
    ring_full: int
    ring_full_total_us: int
    ring_full_longest_us: int
    last_completion_us: int
    now_us: int


def open(index: SupportsIndex = 0, serial: Union[str, bytes, None] = None,  # noqa: A001
         read_queue: Optional[ReadQueue] = DEFAULT_READ_QUEUE) -> Device:
    """Opens the board at index, or the one whose serial number is serial, and returns its
    Device (QuorixOpenDeviceQueued: SET_CONFIGURATION 1, and the reads posted). The transfer
    timeout last set through this package for that device is sent again, so that
    Device.timeout is the library's.

    read_queue: DEFAULT_READ_QUEUE unless given (QUORIX_READ_QUEUE in the environment, when
    set, takes its place); a ReadQueue of your own; or None for the classic single read.

    Raises ValueError for an index beyond 32 bits or a serial number with a NUL inside,
    FailedError when no such board is found or the queue is outside the library's limits,
    AlreadyOpenError when it is open, DriverError when the board refuses.
    """
    handle = ctypes.c_void_p()
    number: Optional[int] = None
    text: Optional[bytes] = None
    queue: Optional[_api.ReadQueueRecord] = None
    if read_queue is None:
        queue = _api.ReadQueueRecord(0, 0, 0)
    elif read_queue is not DEFAULT_READ_QUEUE or not os.environ.get("QUORIX_READ_QUEUE"):
        shape = (_integer(read_queue.reads, "reads", 0, 2**32 - 1),
                 _integer(read_queue.read_size, "read_size", 0, 2**32 - 1),
                 _integer(read_queue.ring_size, "ring_size", 0, 2**32 - 1))
        queue = _api.ReadQueueRecord(*shape)
    queue_pointer = ctypes.byref(queue) if queue is not None else None
    call = "QuorixOpenDeviceQueued"
    if serial is not None:
        text = _text(serial, "serial number")
        status = _api_call(call)(0, text, queue_pointer, ctypes.byref(handle))
    else:
        number = _integer(index, "index", -2**31, 2**31 - 1)
        known = _serial_at(number)  # before the open: the serial number of that board
        status = _api_call(call)(number, None, queue_pointer, ctypes.byref(handle))
    _traced(call, (number if text is None else text,), status)
    if status == _FAILED:
        reason = _no_such_board(number, text)
        if reason is not None:
            raise FailedError(status, call, reason=reason)
    check(status, call)
    if text is not None:
        known = text.decode("latin-1")
    device = Device(handle, index=number, serial=known)
    if text is not None:
        try:
            device._index = next((i for i in range(count()) if _serial_at(i) == known), None)
        except QuorixError:
            pass  # the index stays unknown; the board is open all the same
    remembered = _api.library().timeouts.get(handle.value or 0)
    if remembered is not None:
        device.timeout = remembered
    return device


def _bytes_of(data: Buffer) -> bytes:
    """The bytes of a bytes-like object or of an iterable of integers 0..255 (ValueError
    beyond). A str or an int is refused (TypeError): bytes() would make zeros of an int; so
    is a buffer of objects, whose bytes are references."""
    if isinstance(data, (str, int)):
        raise TypeError("expected bytes or integers 0..255, not %s" % type(data).__name__)
    try:
        view = memoryview(data)
    except TypeError:
        return bytes(data)  # an iterable of integers
    return bytes(_plain(view, "sending data"))


def _readonly_address(data: Buffer) -> tuple[Optional[int], int, Any]:
    """(address, size, what keeps the bytes alive) of any bytes-like object, without a copy
    for bytes and writable buffers; other read-only buffers are copied."""
    if not isinstance(data, bytes):
        view = _plain(data, "write()")
        if not view.readonly:
            if len(view) == 0:
                return None, 0, view
            anchor = ctypes.c_char.from_buffer(view)
            return ctypes.addressof(anchor), len(view), anchor
        data = bytes(view)
    return ctypes.cast(ctypes.c_char_p(data), ctypes.c_void_p).value, len(data), data


class Eeprom:
    """The board's EEPROM (device.eeprom): any length within the part's addresses, split into
    the requests the board takes. The board's own EEPROM (select 1) has 8 KiB and wraps an
    address past its end to 0, over the startup command's chain of addresses, so ranges past
    its end are refused; at other selects, whose part the package does not know, ranges end
    at the last 16-bit address, 0xFFFF."""

    def __init__(self, device: Device) -> None:
        """The EEPROM of device; made by Device itself."""
        self._device = device

    def read(self, address: SupportsIndex, count: SupportsIndex, select: SupportsIndex = 1) -> bytes:
        """Reads count bytes from address on and returns them (QuorixReadEprom: requests of at
        most 255 bytes, each setting the read position and reading).

        Raises ValueError when address, or address + count, goes past the part's end (8 KiB
        at select 1, 0xFFFF elsewhere; the board would wrap) or select beyond 0..255, before
        anything is sent; the status's exception when a request fails, with the bytes read
        before it in partial.
        """
        start, size, part = self._range(address, count, select)
        out = bytearray(size)
        done = 0
        while done < size:
            piece = min(_PIECE, size - done)
            buffer = (ctypes.c_uint8 * piece)()
            status = self._device._call("QuorixReadEprom", part, start + done, piece, buffer)
            if status != 0:
                raise error_for(status, "QuorixReadEprom", done, bytes(out[:done]))
            out[done:done + piece] = bytes(buffer)
            done += piece
        return bytes(out)

    def write(self, address: SupportsIndex, data: Buffer, select: SupportsIndex = 1) -> None:
        """Writes the bytes of data from address on (QuorixWriteEprom), split so that no
        request crosses a 32-byte page, which a part such as the 24C64 would wrap. The board
        may need time after each write; the library does not wait.

        Raises ValueError as read() does, before anything is sent; the status's exception
        when a request fails, with the number of bytes written before it in transferred.
        """
        payload = _bytes_of(data)
        start, size, part = self._range(address, len(payload), select)
        done = 0
        while done < size:
            at = start + done
            piece = min(_EEPROM_PAGE - at % _EEPROM_PAGE, size - done)
            buffer = (ctypes.c_uint8 * piece).from_buffer_copy(payload, done)
            status = self._device._call("QuorixWriteEprom", part, at, piece, buffer)
            if status != 0:
                raise error_for(status, "QuorixWriteEprom", done)
            done += piece

    @staticmethod
    def _range(address: SupportsIndex, count: SupportsIndex, select: SupportsIndex) -> tuple[int, int, int]:
        part = _integer(select, "EEPROM select", 0, 0xFF)
        end = _EEPROM_SIZE if part == 1 else 0x10000
        start = _integer(address, "EEPROM address", 0, 0xFFFF)
        size = operator.index(count)
        if start >= end or not 0 <= size <= end - start:
            raise ValueError("%d bytes from address 0x%04x run past the end of the %d-byte EEPROM "
                             "at select %d, where addresses wrap to 0; nothing was sent"
                             % (size, start, end, part))
        return start, size, part


class _CtrlC:
    """Ctrl-C held back while a read is in the library, and delivered between its waits, so
    that the exception can carry the bytes the read took. Only the main thread receives
    Ctrl-C; elsewhere, or when Ctrl-C is not Python's to handle (ignored, or the system's
    default), this does nothing and active is False."""

    def __init__(self) -> None:
        self.pending = False
        self.active = False
        self._previous: Any = None
        if threading.get_ident() != threading.main_thread().ident:
            return
        previous = _signals.getsignal(signal.SIGINT)
        if not callable(previous):
            return
        try:
            _signals.signal(signal.SIGINT, self._hold)
        except ValueError:  # not the main interpreter
            return
        self._previous = previous
        self.active = True

    def _hold(self, number: int, frame: Optional[FrameType]) -> None:
        self.pending = True

    def restore(self) -> None:
        """Puts the program's handler back; a Ctrl-C still pending stays pending."""
        if self.active:
            _signals.signal(signal.SIGINT, self._previous)
            self.active = False

    def deliver(self) -> Optional[BaseException]:
        """Runs what a pending Ctrl-C would have run: Python's KeyboardInterrupt, or the
        program's own handler. Returns what that raised (None when nothing did)."""
        if not self.pending:
            return None
        self.pending = False
        try:
            if self._previous is signal.default_int_handler:
                raise KeyboardInterrupt
            self._previous(signal.SIGINT, sys._getframe(0))
        except BaseException as raised:  # noqa: BLE001 - handed to the caller with the bytes
            return raised
        return None


class _Timeout:
    """The transfer timeout in milliseconds, which bounds each wait of a read or a write;
    0 (or None, when set) waits without limit. The library starts each board at 200 and
    keeps the value across close and open; this is the value it holds: the last one set
    through this package (which open() sends again), else 200."""

    @overload
    def __get__(self, device: None, owner: type[Device]) -> _Timeout: ...

    @overload
    def __get__(self, device: Device, owner: type[Device]) -> int: ...

    def __get__(self, device: Optional[Device], owner: type[Device]) -> Union[int, _Timeout]:
        if device is None:
            return self
        return device._library.timeouts.get(device._key, _DEFAULT_TIMEOUT)

    def __set__(self, device: Device, milliseconds: Optional[SupportsIndex]) -> None:
        """Sets the transfer timeout (QuorixSetTimeOut); None is 0, no limit. Raises
        ValueError outside 0..4294967295 and TypeError for a bool or a non-integer, before
        anything is sent, and the status's exception."""
        value = 0 if milliseconds is None else _integer(milliseconds, "timeout", 0, 0xFFFFFFFF)
        check(device._call("QuorixSetTimeOut", value), "QuorixSetTimeOut")
        device._library.timeouts[device._key] = value


class Device:
    """One open board, made by quorix.open(). A context manager: it closes the board when
    the with block ends; close() and garbage collection do too.

    Its methods may be called from several threads at once, as the library's functions may:
    each call releases the GIL while it is in the library, so a thread can stream while
    another sets port D, reads the EEPROM or closes the board (a read waiting then raises
    NotOpenError with the bytes it took). A read is made of several library calls; the reads
    of one Device are taken one at a time, so that each returns one piece of the stream.

    Ctrl-C ends a read on the main thread within about 100 ms, whatever the timeout: the
    read waits in the library for at most 100 ms at a time and raises quorix.Interrupted (a
    KeyboardInterrupt) with the bytes it took, or runs the program's own SIGINT handler and
    goes on when that does not raise.

    In asyncio, read_async(), readinto_async() and chunks() wait without blocking the event
    loop, and are cancel-safe. They are taken one at a time as well; a blocking read of the
    same Device in another thread holds them, and so their loop, until it returns."""

    eeprom: Eeprom
    timeout = _Timeout()

    def __init__(self, handle: ctypes.c_void_p, index: Optional[int] = None,
                 serial: Optional[str] = None) -> None:
        """Takes over a handle that QuorixOpenDevice returned, with the board's index and
        serial number when known; use quorix.open()."""
        self._handle: Optional[ctypes.c_void_p] = handle
        self._library = _api.library()
        self._key = handle.value or 0
        self._index = index
        self._serial = serial
        self._fpga_mode: Optional[int] = None
        self._reading = threading.Lock()
        # Bytes an await took out of the ring before it was cancelled: every read, sync or
        # async, hands them over first. Guarded by _reading.
        self._held_back = bytearray()
        self._async_reading: Optional[tuple[asyncio.AbstractEventLoop, asyncio.Lock]] = None
        self._ready: Optional[int] = None  # the data-ready descriptor, once asked for; -1: none
        self._threshold = 0  # the ready threshold last set
        self._most_waitable = 0  # the largest count QuorixWaitForBytes takes, once known
        # The awaits waiting on the descriptor, woken by close().
        self._wakers: set[tuple[asyncio.AbstractEventLoop, Callable[[], None]]] = set()
        self._waiter_gone: Optional[asyncio.Future[None]] = None  # the last waiter thread's end
        self.eeprom = Eeprom(self)
        _open_devices[self._key] = self

    @property
    def serial(self) -> Optional[str]:
        """The board's serial number, as discovery read it when the Device was opened (None
        when it could not be read). Sends nothing."""
        return self._serial

    @property
    def index(self) -> Optional[int]:
        """The board's index when the Device was opened (indices of other boards may change
        when one is unplugged). Sends nothing."""
        return self._index

    def __repr__(self) -> str:
        """<quorix.Device serial='QX-SIM-0001' index=0 open>, or closed."""
        return "<quorix.Device serial=%r index=%r %s>" % (
            self._serial, self._index, "closed" if self._handle is None else "open")

    def _open_handle(self, name: str) -> ctypes.c_void_p:
        if self._handle is None:
            raise NotOpenError(_NOT_OPEN, name, reason="this device is not open")
        return self._handle

    def _call(self, name: str, *args: Any) -> int:
        handle = self._open_handle(name)
        return _traced(name, (handle,) + args, int(self._library.api[name](handle, *args)))

    def close(self) -> None:
        """Closes the board (QuorixCloseDevice: both bulk pipes aborted and reset; what the
        receive ring still holds is dropped). Closing a closed Device does nothing. Raises
        the status's exception when the library refuses."""
        if self._handle is not None:
            handle, self._handle = self._handle, None
            if _open_devices.get(self._key) is self:
                del _open_devices[self._key]
            self._held_back = bytearray()
            for loop, wake in list(self._wakers):
                try:
                    loop.call_soon_threadsafe(wake)
                except RuntimeError:
                    pass  # that loop is closed: nothing waits there any more
            status = self._library.api["QuorixCloseDevice"](handle)
            check(_traced("QuorixCloseDevice", (handle,), status), "QuorixCloseDevice")

    @property
    def closed(self) -> bool:
        """True once the Device is closed."""
        return self._handle is None

    @property
    def read_queue(self) -> ReadQueue:
        """The queue the Device reads with (QuorixGetReadQueue; reads 0 for the classic
        read). Sends nothing."""
        record = _api.ReadQueueRecord()
        check(self._call("QuorixGetReadQueue", ctypes.byref(record)), "QuorixGetReadQueue")
        return ReadQueue(record.reads, record.read_size, record.ring_size)

    def statistics(self) -> StreamStatistics:
        """What bulk IN has done since the Device was opened (QuorixGetStreamStatistics).
        Sends nothing and never waits."""
        record = _api.StreamStatisticsRecord()
        record.size = ctypes.sizeof(record)
        check(self._call("QuorixGetStreamStatistics", ctypes.byref(record)),
              "QuorixGetStreamStatistics")
        return StreamStatistics(*(getattr(record, name) for name in StreamStatistics._fields))

    def __enter__(self) -> Device:
        """Returns the Device itself."""
        return self

    def __exit__(self, kind: Optional[type[BaseException]], error: Optional[BaseException],
                 trace: Optional[TracebackType]) -> None:
        """Closes the Device; an exception of the with block goes on."""
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:  # noqa: BLE001 - nothing to report to at collection
            pass

    # ---- streaming ----

    @property
    def available(self) -> int:
        """The bytes a read hands over at once: those waiting in the receive ring
        (QuorixNumberOfBytesAvailable, which takes in a completed read and posts the next) and
        those an await took out of it before it was cancelled. Raises the status's
        exception."""
        value = ctypes.c_uint32()
        check(self._call("QuorixNumberOfBytesAvailable", ctypes.byref(value)),
              "QuorixNumberOfBytesAvailable")
        return value.value + len(self._held_back)

    def _take(self, handle: ctypes.c_void_p, view: memoryview, address: int, taken: int,
              wait_ms: int) -> tuple[int, int]:
        """Hands over what is there into view[taken:], at address, waiting up to wait_ms (0:
        not at all) for a first byte: what a cancelled await held back, else what the ring
        holds. Returns (bytes taken in all, status): 0 after taking some; -5 when none came;
        a failure (or -7) once nothing is left from before it. QuorixReadDevice is never asked
        for more than the ring holds, so it never waits and a wait consumes nothing. With
        _reading held."""
        size = len(view)
        if self._held_back:
            piece = min(len(self._held_back), size - taken)
            view[taken:taken + piece] = self._held_back[:piece]
            del self._held_back[:piece]
            return taken + piece, 0
        held = ctypes.c_uint32()
        api = self._library.api
        status = int(api["QuorixWaitForBytes"](handle, 1, wait_ms, ctypes.byref(held)))
        if held.value and status != _OVERFLOW:  # what arrived before a failure comes first
            piece = min(held.value, size - taken)
            status = int(api["QuorixReadDevice"](handle, piece, address + taken))
            return (taken + piece, 0) if status == 0 else (taken, status)
        # A failed read comes as the driver's code (1167 for a board that left, say).
        return taken, status

    def _read_held(self, view: memoryview) -> tuple[int, int, Optional[BaseException]]:
        """Reads into view without losing a byte: (bytes taken, status, what Ctrl-C raised).

        Each wait is a QuorixWaitForBytes for the next byte, which consumes nothing, and what
        the ring holds is then read straight into the buffer; so a read that times out has
        consumed only what it hands over. The timeout bounds each wait, not the whole read.
        When the outstanding read has failed, what the ring kept is still read first. On the
        main thread the waits are slices of at most 100 ms, between which Ctrl-C is delivered.
        """
        handle = self._open_handle("QuorixReadDevice")
        size = len(view)
        if size == 0:  # the library's handle check only
            return 0, int(self._library.api["QuorixReadDevice"](handle, 0, None)), None
        anchor = ctypes.c_char.from_buffer(view)
        address = ctypes.addressof(anchor)
        taken = 0
        status = 0
        with self._reading:
            ctrl_c = _CtrlC()
            try:
                since = time.monotonic()
                while taken < size:
                    limit = self.timeout
                    if limit == 0:
                        wait_ms = _SLICE if ctrl_c.active else _LONGEST_WAIT
                    else:
                        left = max(0, math.ceil(limit - (time.monotonic() - since) * 1000))
                        wait_ms = min(left, _SLICE) if ctrl_c.active else left
                    before = taken
                    taken, status = self._take(handle, view, address, taken, wait_ms)
                    if taken != before:
                        since = time.monotonic()
                    raised = ctrl_c.deliver()
                    if raised is not None:
                        return taken, status, raised
                    if status == _TIMEOUT and (
                            limit == 0 or (time.monotonic() - since) * 1000 < limit):
                        continue  # a slice ended; the wait goes on
                    if status != 0:
                        break
            finally:
                ctrl_c.restore()
            _log.debug("QuorixReadDevice(0x%x): %d of %d bytes -> %s", handle.value or 0, taken,
                       size, "0" if status == 0 else status_text(status))
            return taken, status, ctrl_c.deliver()

    # ---- asyncio ----

    def _take_now(self, view: memoryview, taken: int) -> tuple[int, int]:
        """_take without waiting, for an await; -4 for a closed Device."""
        handle = self._handle
        if handle is None:
            return taken, _NOT_OPEN
        anchor = ctypes.c_char.from_buffer(view)
        with self._reading:
            return self._take(handle, view, ctypes.addressof(anchor), taken, 0)

    def _waitable(self, handle: ctypes.c_void_p) -> int:
        """The most bytes QuorixWaitForBytes and the ready threshold take: half the ring."""
        if not self._most_waitable:
            record = _api.ReadQueueRecord()
            if int(self._library.api["QuorixGetReadQueue"](handle, ctypes.byref(record))) != 0:
                return 1
            self._most_waitable = max(1, record.ring_size // 2)
        return self._most_waitable

    def _ready_descriptor(self, handle: ctypes.c_void_p) -> int:
        """The data-ready descriptor (QuorixGetReadyHandle), or -1 where there is none to give
        to add_reader: on Windows (an event HANDLE) and for a device without queued reads."""
        if self._ready is None:
            native = _api.NativeHandle()
            pollable = sys.platform not in ("win32", "cygwin")
            status = int(self._library.api["QuorixGetReadyHandle"](handle, ctypes.byref(native)))
            self._ready = native.value if pollable and status == 0 else -1
        return self._ready

    async def _until_ready(self, count: int) -> None:
        """Returns once the ring may hold count bytes (as many as it can hold, when fewer), or
        the device failed or was closed: the data-ready descriptor under loop.add_reader, with
        the ready threshold set to count; elsewhere a thread that waits with
        QuorixWaitForBytes in short slices, so that it ends soon after a cancellation.
        Consumes nothing."""
        handle = self._handle
        if handle is None:
            return
        loop = asyncio.get_running_loop()
        count = min(count, self._waitable(handle))
        descriptor = self._ready_descriptor(handle)
        woken = loop.create_future()
        watching = False

        def wake() -> None:
            if watching:
                loop.remove_reader(descriptor)
            if not woken.done():
                woken.set_result(None)

        entry = (loop, wake)
        self._wakers.add(entry)
        stop = threading.Event()
        try:
            if self._handle is None:
                return
            if descriptor >= 0:
                if self._threshold != count:
                    if int(self._library.api["QuorixSetReadyThreshold"](handle, count)) == 0:
                        self._threshold = count
                try:
                    loop.add_reader(descriptor, wake)
                    watching = True
                except (NotImplementedError, OSError):  # a loop without add_reader; a close
                    pass
            if not watching:
                await self._waiter_left(loop)
                gone = loop.create_future()
                self._waiter_gone = gone
                threading.Thread(target=self._wait_in_thread, name="quorix-waiter", daemon=True,
                                 args=(handle, count, stop, loop, wake, gone)).start()
            await woken
        finally:
            stop.set()
            self._wakers.discard(entry)
            if watching:
                loop.remove_reader(descriptor)

    async def _waiter_left(self, loop: asyncio.AbstractEventLoop) -> None:
        """Waits until the waiter thread of a cancelled await has left the library, whose
        wait would hold this device's reads meanwhile."""
        gone = self._waiter_gone
        if gone is not None and not gone.done() and gone.get_loop() is loop:
            await asyncio.shield(gone)

    def _wait_in_thread(self, handle: ctypes.c_void_p, count: int, stop: threading.Event,
                        loop: asyncio.AbstractEventLoop, wake: Callable[[], None],
                        gone: asyncio.Future[None]) -> None:
        """The waiter thread: waits for count bytes in slices until they are there, the device
        fails or closes, or stop is set; then wakes its await and says it has gone."""
        held = ctypes.c_uint32()
        wait = self._library.api["QuorixWaitForBytes"]
        while not stop.is_set():
            if int(wait(handle, count, _WAITER_SLICE, ctypes.byref(held))) != _TIMEOUT:
                break

        def left() -> None:
            wake()
            if not gone.done():
                gone.set_result(None)
        try:
            loop.call_soon_threadsafe(left)
        except RuntimeError:
            pass  # the loop is closed: nothing waits for this any more

    async def _fill(self, view: memoryview) -> tuple[int, int]:
        """Fills view for an await: (bytes taken, status, 0 once full). Bytes it took for an
        await that is cancelled (or ended by anything but a failure of the read) are held back
        for the next read, so that nothing is lost."""
        loop = asyncio.get_running_loop()
        if self._async_reading is None or self._async_reading[0] is not loop:
            self._async_reading = (loop, asyncio.Lock())  # a lock serves one loop only
        async with self._async_reading[1]:
            taken = 0
            status = 0
            try:
                await self._waiter_left(loop)
                while taken < len(view):
                    taken, status = self._take_now(view, taken)
                    if status == _TIMEOUT:
                        await self._until_ready(len(view) - taken)
                    elif status != 0:
                        break
            except BaseException:
                if taken:
                    with self._reading:
                        self._held_back[0:0] = view[:taken]
                raise
            return taken, status

    async def readinto_async(self, buffer: Buffer) -> int:
        """Fills the whole writable buffer with bytes from bulk IN, as readinto() does, and
        returns its size in bytes; it waits as long as it takes (bound it with
        asyncio.wait_for or asyncio.timeout; the transfer timeout does not apply), without
        blocking the event loop.

        Cancel-safe: an await that is cancelled consumes nothing; the bytes it had taken are
        handed over first by the next read, sync or async. Raises TypeError as readinto()
        does; the status's exception when the read fails or the Device is closed, with the
        bytes taken in transferred and, as a view of buffer, in partial.
        """
        view = self._writable(buffer)
        return self._finish(view, (*await self._fill(view), None), copy=False, up_to=False)

    async def read_async(self, count: SupportsIndex) -> bytes:
        """Reads exactly count bytes from bulk IN and returns them, waiting as
        readinto_async() does (cancel-safe, without a time limit of its own).

        Raises ValueError for a negative count; the status's exception when the read fails or
        the Device is closed, with the bytes taken in partial.
        """
        buffer = bytearray(_integer(count, "count", 0, sys.maxsize))
        view = memoryview(buffer)
        self._finish(view, (*await self._fill(view), None), copy=True, up_to=False)
        del view
        return bytes(buffer)

    async def chunks(self, size: SupportsIndex) -> AsyncGenerator[bytes, None]:
        """Yields the stream from bulk IN in pieces of size bytes each, as read_async(size)
        reads them, until the read fails or the Device is closed (which raises as
        read_async() does): async for chunk in device.chunks(65536). Leaving the loop loses
        nothing: the bytes after the last chunk stay for the next read.

        Raises ValueError for a size below 1.
        """
        piece = _integer(size, "size", 1, sys.maxsize)
        while True:
            yield await self.read_async(piece)

    def _finish(self, view: memoryview, outcome: tuple[int, int, Optional[BaseException]],
                copy: bool, up_to: bool) -> int:
        """Raises what ends a read, with the bytes it took in partial (a copy, or a view of
        the caller's buffer): Ctrl-C's exception, or the status's unless it is 0 (or a
        timeout, for up_to). Returns the bytes taken otherwise."""
        taken, status, raised = outcome
        partial: Union[bytes, memoryview] = bytes(view[:taken]) if copy else view[:taken]
        if raised is not None:
            if type(raised) is KeyboardInterrupt:
                raise Interrupted("QuorixReadDevice", taken, partial) from None
            try:
                raised.transferred = taken  # type: ignore[attr-defined]
                raised.partial = partial  # type: ignore[attr-defined]
            except AttributeError:
                pass
            raise raised
        if status not in (0, _TIMEOUT) or (status == _TIMEOUT and not up_to):
            raise error_for(status, "QuorixReadDevice", taken, partial)
        return taken

    def _writable(self, buffer: Buffer) -> memoryview:
        view = _plain(buffer, "reading")
        if view.readonly:
            raise TypeError("reading needs a writable buffer")
        return view

    def readinto(self, buffer: Buffer) -> int:
        """Fills the whole writable buffer (bytearray, memoryview, numpy array, ...) in place
        with bytes from bulk IN and returns its size in bytes. It waits as long as data keep
        arriving within the transfer timeout of one another.

        Raises TypeError for a read-only buffer or one whose items are not plain bytes (a
        numpy array of objects); otherwise the status's exception (quorix.TimeoutError when
        the data stop) whose transferred says how many bytes are at the start of buffer, and
        whose partial is a view of them: none is lost. Ctrl-C raises quorix.Interrupted, with
        transferred and partial too.
        """
        view = self._writable(buffer)
        return self._finish(view, self._read_held(view), copy=False, up_to=False)

    def read(self, count: SupportsIndex) -> bytes:
        """Reads exactly count bytes from bulk IN and returns them, waiting as readinto()
        does.

        Raises ValueError for a negative count; otherwise the status's exception
        (quorix.TimeoutError when the data stop) with the bytes taken in partial (bytes):
        none is lost. Ctrl-C raises quorix.Interrupted, with partial too.
        """
        buffer = bytearray(_integer(count, "count", 0, sys.maxsize))
        view = memoryview(buffer)
        self._finish(view, self._read_held(view), copy=True, up_to=False)
        return bytes(buffer)

    def readinto_up_to(self, buffer: Buffer) -> int:
        """Reads what arrives into the writable buffer and returns the number of bytes read:
        its size once it is full, fewer (even 0) when no data arrived within the transfer
        timeout, which is no error here.

        Raises TypeError as readinto() does; the status's exception for other failures, and
        quorix.Interrupted for Ctrl-C, with transferred and partial as readinto().
        """
        view = self._writable(buffer)
        return self._finish(view, self._read_held(view), copy=False, up_to=True)

    def read_up_to(self, count: SupportsIndex) -> bytes:
        """Reads what arrives, up to count bytes, and returns it: all count once they are
        there, fewer (even none) when no data arrived within the transfer timeout, which is
        no error here.

        Raises ValueError for a negative count; the status's exception for other failures,
        and quorix.Interrupted for Ctrl-C, with the bytes taken in partial.
        """
        buffer = bytearray(_integer(count, "count", 0, sys.maxsize))
        view = memoryview(buffer)
        taken = self._finish(view, self._read_held(view), copy=True, up_to=True)
        del view
        del buffer[taken:]
        return bytes(buffer)

    def write(self, data: Buffer) -> int:
        """Sends the bytes of data (any bytes-like object) on bulk OUT and returns their
        number (QuorixWriteDevice, which waits up to the transfer timeout for the driver;
        beyond 4 GiB in several writes).

        Raises TypeError for a buffer whose items are not plain bytes; the status's exception
        (quorix.TimeoutError when the driver did not finish in time) with the bytes sent by
        the writes before it in transferred.
        """
        address, size, keep = _readonly_address(data)
        sent = 0
        while True:  # a write of 0 bytes is passed on too
            piece = min(size - sent, _LARGEST_WRITE)
            status = self._call("QuorixWriteDevice", piece, None if address is None else address + sent)
            if status != 0:
                raise error_for(status, "QuorixWriteDevice", sent)
            sent += piece
            if sent >= size:
                break
        del keep
        return size

    # ---- board controls ----

    @property
    def port_d(self) -> int:
        """The port D output latch, read back from the board (0xB2, wIndex 0). Raises the
        status's exception."""
        value = ctypes.c_uint8()
        check(self._call("QuorixGetPortDOutputs", ctypes.byref(value)), "QuorixGetPortDOutputs")
        return value.value

    @port_d.setter
    def port_d(self, value: SupportsIndex) -> None:
        """Sets the port D output latch (0xB2, wIndex 0, one byte). Raises ValueError outside
        0..255 before anything is sent, and the status's exception."""
        check(self._call("QuorixSetPortDOutputs", _integer(value, "port D outputs", 0, 0xFF)),
              "QuorixSetPortDOutputs")

    def set_port_d_sequence(self, values: Buffer) -> None:
        """Writes the values (bytes, or integers 0..255) to the port D latch in order, in one
        request (0xB2, wIndex 0, wLength their number); the latch keeps the last. Returns
        None. Raises ValueError for more than 255 values or one beyond 0..255, before
        anything is sent, and the status's exception."""
        data = _bytes_of(values)
        size = _integer(len(data), "number of values", 0, _PIECE)
        buffer = (ctypes.c_uint8 * max(1, size)).from_buffer_copy(data.ljust(1, b"\0"))
        check(self._call("QuorixSetPortDOutputsExt", size, buffer), "QuorixSetPortDOutputsExt")

    def set_port_d_enable(self, mask: SupportsIndex) -> None:
        """Sets which port D lines are driven (0xB2, wIndex 1, one byte; cannot be read back).
        Returns None. Raises ValueError outside 0..255 before anything is sent, and the
        status's exception."""
        check(self._call("QuorixSetPortDOutputEnable", _integer(mask, "port D output enables", 0, 0xFF)),
              "QuorixSetPortDOutputEnable")

    @property
    def fpga_mode(self) -> Optional[int]:
        """The FPGA mode last set through this Device (None before); the board cannot be
        asked. Sends nothing."""
        return self._fpga_mode

    @fpga_mode.setter
    def fpga_mode(self, mode: SupportsIndex) -> None:
        """Sets the FPGA configuration mode (0xB3, one byte). Raises ValueError outside 0..255
        before anything is sent, and the status's exception."""
        value = _integer(mode, "FPGA mode", 0, 0xFF)
        check(self._call("QuorixSetConfFpgaMode", value), "QuorixSetConfFpgaMode")
        self._fpga_mode = value

    def set_startup_command(self, command: Union[str, Buffer]) -> None:
        """Stores the command (str as 8-bit text, or bytes) as the board's startup command in
        its EEPROM (QuorixSetStartupCommand: 16-byte pieces, 200 ms after each EEPROM
        request). Returns None. Raises ValueError for more than 65,535 bytes before anything
        is sent; NoStartupAreaError, NoSpaceError and the other statuses' exceptions."""
        data = command.encode("latin-1") if isinstance(command, str) else _bytes_of(command)
        size = _integer(len(data), "command length", 0, 0xFFFF)
        buffer = (ctypes.c_uint8 * max(1, size)).from_buffer_copy(data.ljust(1, b"\0"))
        check(self._call("QuorixSetStartupCommand", size, buffer), "QuorixSetStartupCommand")

    def load_firmware(self, path: Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]) -> None:
        """Loads the Intel HEX image at path into the FX2 and starts it (QuorixLoadFirmware:
        CPU held in reset, each data record written with 0xA0, CPU released). path is text,
        bytes or os.PathLike. Returns None. Raises ValueError for a path with a NUL inside,
        FailedError when the file cannot be read or is malformed, and the other statuses'
        exceptions."""
        check(self._call("QuorixLoadFirmware", _path(path)), "QuorixLoadFirmware")

