"""The simulated board's control API (quorix_sim.h), for tests and notebooks.

It needs the simulated library (quorix.load(simulated=True)). Boards are numbered from 1;
the simulated library starts with board 1, serial QX-SIM-0001, whose bulk IN sends the
counter pattern at 32 MiB/s.
"""

from __future__ import annotations

import ctypes
from typing import Any, SupportsIndex

from . import _api
from .device import _bytes_of, _integer, _text

SOURCE_NONE = 0
SOURCE_COUNTER = 1
SOURCE_FIXED_RATE = 2
RATE_DEFAULT = 33554432
RATE_UNLIMITED = 0xFFFFFFFF
FIFO_DEFAULT = 2048
EEPROM_SIZE = 8192
EEPROM_PAGE = 32
VENDOR_ID = 0xDEAD
PRODUCT_ID = 0xBEEF


class SimError(RuntimeError):
    """A control call that the simulator refused (unknown board, bad argument), or the
    loaded library is not the simulated one."""


def _call(name: str, *args: Any) -> int:
    library = _api.library()
    if library.sim is None:
        raise SimError("%s is not the simulated library" % library.path)
    status = int(library.sim[name](*args))
    if status < 0:
        raise SimError("%s failed" % name)
    return status


def _board(board: SupportsIndex) -> int:
    return _integer(board, "board", -2**31, 2**31 - 1)


def _count(data: bytes) -> int:
    return _integer(len(data), "count", 0, 0xFFFFFFFF)


def reset() -> None:
    """Removes every board and injected fault (QuorixSimReset); handles still held fail as
    on unplugged boards. Raises SimError."""
    _call("QuorixSimReset")


def add_board(serial: str, vendor: SupportsIndex = VENDOR_ID, product: SupportsIndex = PRODUCT_ID) -> int:
    """Plugs in a board with this serial number and USB identity and returns its number.
    Raises ValueError for a serial number with a NUL inside or an identity beyond 16 bits,
    SimError when refused."""
    return _call("QuorixSimAddBoard", _text(serial, "serial number"),
                 _integer(vendor, "vendor", 0, 0xFFFF), _integer(product, "product", 0, 0xFFFF))


def unplug(board: SupportsIndex) -> None:
    """Unplugs the board: its transfers end with 1167 and the next discovery no longer lists
    it. Raises SimError for an unknown or unplugged board."""
    _call("QuorixSimUnplug", _board(board))


def replug(board: SupportsIndex) -> None:
    """Plugs an unplugged board in again, under a new interface path. Raises SimError for an
    unknown or plugged board."""
    _call("QuorixSimReplug", _board(board))


def push_in(board: SupportsIndex, data: Any) -> None:
    """Queues the bytes of data on the board's bulk IN as 512-byte packets, the last one
    short (no bytes: one zero-length packet); they go before anything of the source. Raises
    SimError for an unknown board."""
    payload = _bytes_of(data)
    _call("QuorixSimPushIn", _board(board), payload, _count(payload))


def set_source(board: SupportsIndex, source: SupportsIndex = SOURCE_COUNTER,
               rate: SupportsIndex = RATE_DEFAULT) -> None:
    """Chooses what feeds bulk IN after the pushed data and how fast, in bytes per second
    (RATE_UNLIMITED, or 0 to stop): SOURCE_NONE, SOURCE_COUNTER (waits while no read is
    posted and the FIFO is full) or SOURCE_FIXED_RATE (never waits: drops what finds neither
    a read nor room in the FIFO). Raises ValueError for a rate beyond 32 bits, SimError for
    an unknown board or source, or the fixed-rate source at RATE_UNLIMITED."""
    _call("QuorixSimSetSource", _board(board), _integer(source, "source", -2**31, 2**31 - 1),
          _integer(rate, "rate", 0, 0xFFFFFFFF))


def set_board_fifo(board: SupportsIndex, size: SupportsIndex = FIFO_DEFAULT) -> None:
    """Sets the board FIFO ahead of the reads, in bytes: a multiple of 512, 0 for none
    (FIFO_DEFAULT, 2 KiB, at first). Raises ValueError for a size beyond 32 bits, SimError
    for an unknown board or a size that is not a multiple of 512."""
    _call("QuorixSimSetBoardFifo", _board(board), _integer(size, "size", 0, 0xFFFFFFFF))


def dropped_bytes(board: SupportsIndex) -> int:
    """The bytes the board's fixed-rate source dropped since the board was made, up to now.
    Raises SimError for an unknown board."""
    count = ctypes.c_uint64()
    _call("QuorixSimGetDroppedBytes", _board(board), ctypes.byref(count))
    return count.value


def set_loopback(board: SupportsIndex, on: bool = True) -> None:
    """Loopback on sends what is written to bulk OUT back on bulk IN; off keeps it for
    take_out(). Raises SimError for an unknown board."""
    _call("QuorixSimSetLoopback", _board(board), 1 if on else 0)


def take_out(board: SupportsIndex, capacity: SupportsIndex = 1 << 20) -> bytes:
    """Takes and returns up to capacity bytes of what was written to the board's bulk OUT,
    oldest first. Raises SimError for an unknown board."""
    size = _integer(capacity, "capacity", 0, 0xFFFFFFFF)
    buffer = ctypes.create_string_buffer(size)
    taken = ctypes.c_uint32()
    _call("QuorixSimTakeOut", _board(board), buffer, size, ctypes.byref(taken))
    return buffer.raw[:taken.value]


def read_eeprom(board: SupportsIndex, address: SupportsIndex, count: SupportsIndex,
                select: SupportsIndex = 1) -> bytes:
    """Returns count bytes of the board's EEPROM from address on, as a programmer reads the
    part (wrapping at its size, no request logged). Raises SimError for an unknown board or
    select."""
    size = _integer(count, "count", 0, 0xFFFFFFFF)
    buffer = ctypes.create_string_buffer(size)
    _call("QuorixSimReadEeprom", _board(board), _integer(select, "select", 0, 0xFF),
          _integer(address, "address", 0, 0xFFFF), size, buffer)
    return buffer.raw


def write_eeprom(board: SupportsIndex, address: SupportsIndex, data: Any, select: SupportsIndex = 1) -> None:
    """Writes the bytes of data into the board's EEPROM from address on, as a programmer
    would (no page limit). Raises SimError for an unknown board or select."""
    payload = _bytes_of(data)
    _call("QuorixSimWriteEeprom", _board(board), _integer(select, "select", 0, 0xFF),
          _integer(address, "address", 0, 0xFFFF), _count(payload), payload)


def clear_startup_area(board: SupportsIndex) -> None:
    """Removes the startup-command area from the board's EEPROM, so that storing a command
    raises NoStartupAreaError. Raises SimError for an unknown board."""
    _call("QuorixSimClearStartupArea", _board(board))


def read_memory(board: SupportsIndex, address: SupportsIndex, count: SupportsIndex) -> bytes:
    """Returns count bytes of the FX2's RAM from address on (within 0x0000-0x3FFF or
    0xE000-0xE1FF). Raises SimError for an unknown board or a range outside the RAM."""
    size = _integer(count, "count", 0, 0xFFFFFFFF)
    buffer = ctypes.create_string_buffer(size)
    _call("QuorixSimReadMemory", _board(board), _integer(address, "address", 0, 0xFFFF), size, buffer)
    return buffer.raw


def cpu_running(board: SupportsIndex) -> bool:
    """True when the board's FX2 CPU runs, False while it is held in reset. Raises SimError
    for an unknown board."""
    return _call("QuorixSimCpuRunning", _board(board)) == 1


def start_source_on_port_d(board: SupportsIndex, value: SupportsIndex,
                           bytes_per_second: SupportsIndex) -> None:
    """Makes the board start its source at bytes_per_second once port D's latch is written
    with value, as a board whose FPGA streams when told to. Raises SimError for an unknown
    board, ValueError for a value or rate out of range."""
    _call("QuorixSimStartSourceOnPortD", _board(board), _integer(value, "value", 0, 0xFF),
          _integer(bytes_per_second, "bytes_per_second", 0, 0xFFFFFFFF))


def board_state(board: SupportsIndex) -> tuple[int, int, int]:
    """(port D latch, port D output enables, FPGA mode) as the board holds them. Raises
    SimError for an unknown board."""
    values = [ctypes.c_uint8() for _ in range(3)]
    _call("QuorixSimGetBoardState", _board(board), *[ctypes.byref(v) for v in values])
    return values[0].value, values[1].value, values[2].value
