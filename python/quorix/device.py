"""Boards: listing them and one open Device."""

import ctypes

from . import _api
from .errors import check

_EEPROM_PAGE = 32  # a write must not cross a page, or the part wraps it
_PIECE = 255  # one request carries at most this many bytes


def _api_call(name):
    return _api.library().api[name]


def count():
    """The number of boards found."""
    value = ctypes.c_int32()
    check(_api_call("QuorixCountDevices")(ctypes.byref(value)), "QuorixCountDevices")
    return value.value


def serial(index):
    """The serial number of the board at index, or None."""
    text = _api_call("QuorixGetDeviceSerialNumber")(index)
    return None if text is None else text.decode("latin-1")


def open(index=0, serial=None):  # noqa: A001 - the module's verb, as quorix.open
    """Opens the board at index, or the one with this serial number."""
    handle = ctypes.c_void_p()
    if serial is not None:
        status = _api_call("QuorixOpenDeviceWithSerial")(serial.encode("latin-1"), ctypes.byref(handle))
        check(status, "QuorixOpenDeviceWithSerial")
    else:
        check(_api_call("QuorixOpenDevice")(index, ctypes.byref(handle)), "QuorixOpenDevice")
    return Device(handle)


def _bytes_pointer(data):
    """A pointer to the bytes of any bytes-like object, and what keeps it alive."""
    if isinstance(data, bytes):
        return ctypes.cast(ctypes.c_char_p(data), ctypes.POINTER(ctypes.c_uint8)), data, len(data)
    view = memoryview(data).cast("B")
    if view.readonly:
        keep = bytes(view)
        return ctypes.cast(ctypes.c_char_p(keep), ctypes.POINTER(ctypes.c_uint8)), keep, len(keep)
    array = (ctypes.c_uint8 * len(view)).from_buffer(view)
    return ctypes.cast(array, ctypes.POINTER(ctypes.c_uint8)), array, len(view)


class Eeprom:
    """The board's EEPROM; any length, split into the requests the board takes."""

    def __init__(self, device):
        self._device = device

    def read(self, address, count, select=1):
        out = bytearray(count)
        done = 0
        while done < count:
            piece = min(_PIECE, count - done)
            buffer = (ctypes.c_uint8 * piece)()
            check(self._device._call("QuorixReadEprom", select, (address + done) & 0xFFFF, piece, buffer),
                  "QuorixReadEprom")
            out[done:done + piece] = bytes(buffer)
            done += piece
        return bytes(out)

    def write(self, address, data, select=1):
        data = bytes(data)
        done = 0
        while done < len(data):
            at = address + done
            piece = min(_EEPROM_PAGE - at % _EEPROM_PAGE, len(data) - done)
            buffer = (ctypes.c_uint8 * piece).from_buffer_copy(data[done:done + piece])
            check(self._device._call("QuorixWriteEprom", select, at & 0xFFFF, piece, buffer), "QuorixWriteEprom")
            done += piece


class Device:
    """One open board; a context manager that closes it."""

    def __init__(self, handle):
        self._handle = handle
        self._timeout = 200
        self._fpga_mode = None
        self.eeprom = Eeprom(self)

    def _call(self, name, *args):
        if self._handle is None:
            from .errors import FailedError
            raise FailedError(-1, name + " on a closed Device")
        return _api_call(name)(self._handle, *args)

    def close(self):
        if self._handle is not None:
            handle, self._handle = self._handle, None
            check(_api_call("QuorixCloseDevice")(handle), "QuorixCloseDevice")

    @property
    def closed(self):
        return self._handle is None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __del__(self):
        try:
            self.close()
        except Exception:  # noqa: BLE001 - nothing to report to at collection
            pass

    # ---- streaming ----

    @property
    def available(self):
        """Bytes waiting in the receive ring (takes in a completed read)."""
        value = ctypes.c_uint32()
        check(self._call("QuorixNumberOfBytesAvailable", ctypes.byref(value)), "QuorixNumberOfBytesAvailable")
        return value.value

    def readinto(self, buffer):
        """Fills any writable buffer (bytearray, memoryview, numpy array) in place."""
        view = memoryview(buffer).cast("B")
        if view.readonly:
            raise TypeError("readinto needs a writable buffer")
        target = (ctypes.c_uint8 * len(view)).from_buffer(view)
        check(self._call("QuorixReadDevice", len(view), target), "QuorixReadDevice")
        return len(view)

    def read(self, count):
        buffer = bytearray(count)
        self.readinto(buffer)
        return bytes(buffer)

    def write(self, data):
        pointer, keep, size = _bytes_pointer(data)
        check(self._call("QuorixWriteDevice", size, pointer), "QuorixWriteDevice")
        del keep
        return size

    @property
    def timeout(self):
        """The transfer timeout in milliseconds (0: no limit)."""
        return self._timeout

    @timeout.setter
    def timeout(self, milliseconds):
        check(self._call("QuorixSetTimeOut", milliseconds), "QuorixSetTimeOut")
        self._timeout = milliseconds

    # ---- board controls ----

    @property
    def port_d(self):
        """The port D output latch."""
        value = ctypes.c_uint8()
        check(self._call("QuorixGetPortDOutputs", ctypes.byref(value)), "QuorixGetPortDOutputs")
        return value.value

    @port_d.setter
    def port_d(self, value):
        check(self._call("QuorixSetPortDOutputs", value & 0xFF), "QuorixSetPortDOutputs")

    def set_port_d_sequence(self, values):
        """Writes the values to the latch in order, in one request."""
        values = bytes(values)
        if len(values) > _PIECE:
            raise ValueError("at most 255 values")
        buffer = (ctypes.c_uint8 * len(values)).from_buffer_copy(values)
        check(self._call("QuorixSetPortDOutputsExt", len(values), buffer), "QuorixSetPortDOutputsExt")

    def set_port_d_enable(self, mask):
        check(self._call("QuorixSetPortDOutputEnable", mask & 0xFF), "QuorixSetPortDOutputEnable")

    @property
    def fpga_mode(self):
        """The FPGA mode last set through this Device (None before); the board cannot be asked."""
        return self._fpga_mode

    @fpga_mode.setter
    def fpga_mode(self, mode):
        check(self._call("QuorixSetConfFpgaMode", mode & 0xFF), "QuorixSetConfFpgaMode")
        self._fpga_mode = mode & 0xFF

    def set_startup_command(self, command):
        """Stores the command (str or bytes) in the EEPROM; 200 ms per EEPROM request."""
        if isinstance(command, str):
            command = command.encode("latin-1")
        command = bytes(command)
        if len(command) > 0xFFFF:
            raise ValueError("at most 65535 bytes")
        buffer = (ctypes.c_uint8 * max(1, len(command))).from_buffer_copy(command.ljust(1, b"\0"))
        check(self._call("QuorixSetStartupCommand", len(command), buffer), "QuorixSetStartupCommand")

    def load_firmware(self, path):
        check(self._call("QuorixLoadFirmware", str(path).encode()), "QuorixLoadFirmware")
