"""The simulated board's control API (quorix_sim.h), for tests and notebooks. Boards are
numbered from 1; the simulated library starts with board 1, serial QX-SIM-0001."""

import ctypes

from . import _api

SOURCE_NONE = 0
SOURCE_COUNTER = 1
RATE_DEFAULT = 33554432
RATE_UNLIMITED = 0xFFFFFFFF
EEPROM_SIZE = 8192
VENDOR_ID = 0xDEAD
PRODUCT_ID = 0xBEEF


class SimError(RuntimeError):
    """A control call that the simulator refused (unknown board, bad argument)."""


def _call(name, *args):
    library = _api.library()
    if library.sim is None:
        raise SimError("%s is not the simulated library" % library.path)
    status = library.sim[name](*args)
    if status < 0:
        raise SimError("%s failed" % name)
    return status


def reset():
    _call("QuorixSimReset")


def add_board(serial, vendor=VENDOR_ID, product=PRODUCT_ID):
    return _call("QuorixSimAddBoard", serial.encode("latin-1"), vendor, product)


def unplug(board):
    _call("QuorixSimUnplug", board)


def replug(board):
    _call("QuorixSimReplug", board)


def push_in(board, data):
    data = bytes(data)
    _call("QuorixSimPushIn", board, data, len(data))


def set_source(board, source=SOURCE_COUNTER, rate=RATE_DEFAULT):
    _call("QuorixSimSetSource", board, source, rate)


def set_loopback(board, on=True):
    _call("QuorixSimSetLoopback", board, 1 if on else 0)


def take_out(board, capacity=1 << 20):
    """What was written to the board's bulk OUT, up to capacity bytes."""
    buffer = ctypes.create_string_buffer(capacity)
    taken = ctypes.c_uint32()
    _call("QuorixSimTakeOut", board, buffer, capacity, ctypes.byref(taken))
    return buffer.raw[:taken.value]


def read_eeprom(board, address, count, select=1):
    buffer = ctypes.create_string_buffer(count)
    _call("QuorixSimReadEeprom", board, select, address, count, buffer)
    return buffer.raw


def write_eeprom(board, address, data, select=1):
    data = bytes(data)
    _call("QuorixSimWriteEeprom", board, select, address, len(data), data)


def clear_startup_area(board):
    _call("QuorixSimClearStartupArea", board)


def read_memory(board, address, count):
    buffer = ctypes.create_string_buffer(count)
    _call("QuorixSimReadMemory", board, address, count, buffer)
    return buffer.raw


def cpu_running(board):
    return _call("QuorixSimCpuRunning", board) == 1


def board_state(board):
    """(port D latch, port D enables, FPGA mode) as the board holds them."""
    values = [ctypes.c_uint8() for _ in range(3)]
    _call("QuorixSimGetBoardState", board, *[ctypes.byref(v) for v in values])
    return tuple(v.value for v in values)
