"""Boards: listing them and one open Device."""

from __future__ import annotations

import ctypes
import operator
import os
import sys
import threading
from types import TracebackType
from typing import Any, Callable, Optional, SupportsIndex, Union

from . import _api
from .errors import FailedError, check, error_for

# Anything with the buffer protocol: bytes, bytearray, memoryview, array.array, numpy arrays.
Buffer = Any

_TIMEOUT = -5
_OVERFLOW = -7
_DEFAULT_TIMEOUT = 200  # milliseconds, what the library starts each board with
_EEPROM_PAGE = 32  # a write must not cross a page, or the part wraps it
_PIECE = 255  # one control request carries at most this many bytes
_LARGEST_WRITE = 0xFFFFFE00  # whole 512-byte packets below 4 GiB, for a 32-bit count


def _api_call(name: str) -> Callable[..., Any]:
    return _api.library().api[name]


def _integer(value: SupportsIndex, name: str, low: int, high: int) -> int:
    """value as an int within low..high; ValueError (TypeError for a non-integer) otherwise,
    where the C API would cut it silently."""
    number = operator.index(value)
    if not low <= number <= high:
        raise ValueError("%s %d is outside %d..%d" % (name, number, low, high))
    return number


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
    check(_api_call("QuorixCountDevices")(ctypes.byref(value)), "QuorixCountDevices")
    return value.value


def serial(index: SupportsIndex) -> Optional[str]:
    """The serial number of the board at index (QuorixGetDeviceSerialNumber), or None when
    there is no board there or its serial number cannot be read. Raises ValueError for an
    index beyond 32 bits."""
    number = _integer(index, "index", -2**31, 2**31 - 1)
    text = _api_call("QuorixGetDeviceSerialNumber")(number)
    return None if text is None else bytes(text).decode("latin-1")


def open(index: SupportsIndex = 0, serial: Union[str, bytes, None] = None) -> Device:  # noqa: A001
    """Opens the board at index, or the one whose serial number is serial, and returns its
    Device (QuorixOpenDevice or QuorixOpenDeviceWithSerial: SET_CONFIGURATION 1, and the
    first read posted). The transfer timeout last set through this package for that device
    is sent again, so that Device.timeout is the library's.

    Raises ValueError for an index beyond 32 bits or a serial number with a NUL inside,
    FailedError when no such board is found, AlreadyOpenError when it is open, DriverError
    when the board refuses.
    """
    handle = ctypes.c_void_p()
    if serial is not None:
        text = _text(serial, "serial number")
        check(_api_call("QuorixOpenDeviceWithSerial")(text, ctypes.byref(handle)),
              "QuorixOpenDeviceWithSerial")
    else:
        number = _integer(index, "index", -2**31, 2**31 - 1)
        check(_api_call("QuorixOpenDevice")(number, ctypes.byref(handle)), "QuorixOpenDevice")
    device = Device(handle)
    remembered = _api.library().timeouts.get(handle.value or 0)
    if remembered is not None:
        device.timeout = remembered
    return device


def _bytes_of(data: Buffer) -> bytes:
    """The bytes of a bytes-like object or of an iterable of integers 0..255 (ValueError
    beyond). A str or an int is refused (TypeError): bytes() would make zeros of an int."""
    if isinstance(data, (str, int)):
        raise TypeError("expected bytes or integers 0..255, not %s" % type(data).__name__)
    return bytes(data)


def _readonly_address(data: Buffer) -> tuple[Optional[int], int, Any]:
    """(address, size, what keeps the bytes alive) of any bytes-like object, without a copy
    for bytes and writable buffers; other read-only buffers are copied."""
    if not isinstance(data, bytes):
        view = memoryview(data).cast("B")
        if not view.readonly:
            if len(view) == 0:
                return None, 0, view
            anchor = ctypes.c_char.from_buffer(view)
            return ctypes.addressof(anchor), len(view), anchor
        data = bytes(view)
    return ctypes.cast(ctypes.c_char_p(data), ctypes.c_void_p).value, len(data), data


class Eeprom:
    """The board's EEPROM (device.eeprom): any length within the addresses 0 to 0xFFFF,
    split into the requests the board takes."""

    def __init__(self, device: Device) -> None:
        """The EEPROM of device; made by Device itself."""
        self._device = device

    def read(self, address: SupportsIndex, count: SupportsIndex, select: SupportsIndex = 1) -> bytes:
        """Reads count bytes from address on and returns them (QuorixReadEprom: requests of at
        most 255 bytes, each setting the read position and reading).

        Raises ValueError when address, or address + count, goes beyond 0xFFFF (the board
        would wrap) or select beyond 0..255, before anything is sent; the status's exception
        when a request fails, with the bytes read before it in partial.
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
        start = _integer(address, "EEPROM address", 0, 0xFFFF)
        size = _integer(count, "count", 0, 0x10000 - start)
        return start, size, _integer(select, "EEPROM select", 0, 0xFF)


class Device:
    """One open board, made by quorix.open(). A context manager: it closes the board when
    the with block ends; close() and garbage collection do too.

    Its methods may be called from several threads at once, as the library's functions may:
    each call releases the GIL while it is in the library, so a thread can stream while
    another sets port D, reads the EEPROM or closes the board (a read waiting then raises
    NotOpenError with the bytes it took). A read is made of several library calls; the reads
    of one Device are taken one at a time, so that each returns one piece of the stream."""

    eeprom: Eeprom

    def __init__(self, handle: ctypes.c_void_p) -> None:
        """Takes over a handle that QuorixOpenDevice returned; use quorix.open()."""
        self._handle: Optional[ctypes.c_void_p] = handle
        self._library = _api.library()
        self._key = handle.value or 0
        self._fpga_mode: Optional[int] = None
        self._reading = threading.Lock()
        self.eeprom = Eeprom(self)

    def _open_handle(self, name: str) -> ctypes.c_void_p:
        if self._handle is None:
            raise FailedError(-1, name + " on a closed Device")
        return self._handle

    def _call(self, name: str, *args: Any) -> int:
        return int(self._library.api[name](self._open_handle(name), *args))

    def close(self) -> None:
        """Closes the board (QuorixCloseDevice: both bulk pipes aborted and reset; what the
        receive ring still holds is dropped). Closing a closed Device does nothing. Raises
        the status's exception when the library refuses."""
        if self._handle is not None:
            handle, self._handle = self._handle, None
            check(self._library.api["QuorixCloseDevice"](handle), "QuorixCloseDevice")

    @property
    def closed(self) -> bool:
        """True once the Device is closed."""
        return self._handle is None

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
        """The bytes waiting in the receive ring (QuorixNumberOfBytesAvailable, which takes in
        a completed read and posts the next). Raises the status's exception."""
        value = ctypes.c_uint32()
        check(self._call("QuorixNumberOfBytesAvailable", ctypes.byref(value)),
              "QuorixNumberOfBytesAvailable")
        return value.value

    def _read_held(self, view: memoryview) -> tuple[int, int]:
        """Reads into view without losing a byte: (bytes taken, status).

        What the ring holds is read straight into the buffer, and while it is empty a one-byte
        read waits inside the library for the next completion; QuorixReadDevice is never asked
        for more than the ring holds, so when it times out it has consumed nothing. The
        timeout bounds each wait, not the whole read. When the outstanding read has failed,
        the poll says so but the one-byte reads still drain what the ring kept.
        """
        handle = self._open_handle("QuorixReadDevice")
        size = len(view)
        read = self._library.api["QuorixReadDevice"]
        if size == 0:
            return 0, int(read(handle, 0, None))  # the library's handle check only
        poll = self._library.api["QuorixNumberOfBytesAvailable"]
        anchor = ctypes.c_char.from_buffer(view)
        address = ctypes.addressof(anchor)
        held = ctypes.c_uint32()
        taken = 0
        with self._reading:
            while taken < size:
                polled = int(poll(handle, ctypes.byref(held)))
                if polled == _OVERFLOW:
                    return taken, polled
                piece = min(held.value, size - taken) if polled == 0 and held.value else 1
                status = int(read(handle, piece, address + taken))
                if status != 0:
                    return taken, status
                taken += piece
        return taken, 0

    @staticmethod
    def _writable(buffer: Buffer) -> memoryview:
        view = memoryview(buffer).cast("B")
        if view.readonly:
            raise TypeError("reading needs a writable buffer")
        return view

    def readinto(self, buffer: Buffer) -> int:
        """Fills the whole writable buffer (bytearray, memoryview, numpy array, ...) in place
        with bytes from bulk IN and returns its size in bytes. It waits as long as data keep
        arriving within the transfer timeout of one another.

        Raises TypeError for a read-only buffer; otherwise the status's exception
        (quorix.TimeoutError when the data stop) whose transferred says how many bytes are at
        the start of buffer, and whose partial is a view of them: none is lost.
        """
        view = self._writable(buffer)
        taken, status = self._read_held(view)
        if status != 0:
            raise error_for(status, "QuorixReadDevice", taken, view[:taken])
        return taken

    def read(self, count: SupportsIndex) -> bytes:
        """Reads exactly count bytes from bulk IN and returns them, waiting as readinto()
        does.

        Raises ValueError for a negative count; otherwise the status's exception
        (quorix.TimeoutError when the data stop) with the bytes taken in partial (bytes):
        none is lost.
        """
        buffer = bytearray(_integer(count, "count", 0, sys.maxsize))
        view = memoryview(buffer)
        taken, status = self._read_held(view)
        if status != 0:
            raise error_for(status, "QuorixReadDevice", taken, bytes(view[:taken]))
        return bytes(buffer)

    def readinto_up_to(self, buffer: Buffer) -> int:
        """Reads what arrives into the writable buffer and returns the number of bytes read:
        its size once it is full, fewer (even 0) when no data arrived within the transfer
        timeout, which is no error here.

        Raises TypeError for a read-only buffer; the status's exception for other failures,
        with transferred and partial as readinto().
        """
        view = self._writable(buffer)
        taken, status = self._read_held(view)
        if status not in (0, _TIMEOUT):
            raise error_for(status, "QuorixReadDevice", taken, view[:taken])
        return taken

    def read_up_to(self, count: SupportsIndex) -> bytes:
        """Reads what arrives, up to count bytes, and returns it: all count once they are
        there, fewer (even none) when no data arrived within the transfer timeout, which is
        no error here.

        Raises ValueError for a negative count; the status's exception for other failures,
        with the bytes taken in partial.
        """
        buffer = bytearray(_integer(count, "count", 0, sys.maxsize))
        view = memoryview(buffer)
        taken, status = self._read_held(view)
        if status not in (0, _TIMEOUT):
            raise error_for(status, "QuorixReadDevice", taken, bytes(view[:taken]))
        del view
        del buffer[taken:]
        return bytes(buffer)

    def write(self, data: Buffer) -> int:
        """Sends the bytes of data (any bytes-like object) on bulk OUT and returns their
        number (QuorixWriteDevice, which waits up to the transfer timeout for the driver;
        beyond 4 GiB in several writes).

        Raises the status's exception (quorix.TimeoutError when the driver did not finish in
        time) with the bytes sent by the writes before it in transferred.
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

    @property
    def timeout(self) -> int:
        """The transfer timeout in milliseconds, which bounds each wait of a read or a write;
        0 waits without limit. The library starts each board at 200 and keeps the value
        across close and open; this is the value it holds: the last one set through this
        package (which open() sends again), else 200."""
        return self._library.timeouts.get(self._key, _DEFAULT_TIMEOUT)

    @timeout.setter
    def timeout(self, milliseconds: SupportsIndex) -> None:
        """Sets the transfer timeout (QuorixSetTimeOut). Raises ValueError outside
        0..4294967295 before anything is sent, and the status's exception."""
        value = _integer(milliseconds, "timeout", 0, 0xFFFFFFFF)
        check(self._call("QuorixSetTimeOut", value), "QuorixSetTimeOut")
        self._library.timeouts[self._key] = value

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

