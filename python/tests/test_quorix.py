import logging
import os
import pathlib
import re
import struct
import time
from typing import Optional

import numpy as np
import pytest

import quorix
from quorix import sim

HEADER = os.environ.get("QUORIX_HEADER", os.path.join(os.path.dirname(__file__), "..", "..",
                                                      "include", "quorix", "quorix.h"))
FIRMWARE = os.environ.get("QUORIX_FIRMWARE", os.path.join(os.path.dirname(__file__), "..", "..",
                                                          "examples", "firmware", "blink.hex"))


@pytest.mark.parametrize("header, table", [("quorix.h", quorix.PROTOTYPES),
                                           ("quorix_sim.h", quorix.SIM_PROTOTYPES)])
def test_the_prototype_tables_match_the_headers(header: str, table: dict[str, quorix._api.Prototype]) -> None:
    text = open(os.path.join(os.path.dirname(HEADER), header)).read()
    declared = dict(re.findall(r"QUORIX_API [^;]*?QUORIX_CALL (Quorix\w+)\(([^)]*)\)", text, re.S))
    assert set(declared) == set(table)
    for name, parameters in declared.items():
        count = 0 if parameters.strip() in ("", "void") else parameters.count(",") + 1
        assert len(table[name][1]) == count, name


def test_status_texts_are_the_cxx_wrappers() -> None:
    # The tool and the C++ wrapper explain a status from quorix.hpp's tables: Python says the same.
    text = open(os.path.join(os.path.dirname(HEADER), "quorix.hpp")).read()
    statuses = re.findall(r'\{(QUORIX_\w+), "\1",\s*"([^"]*)"\}', text)
    assert len(statuses) == len(quorix.STATUS_NAMES) == len(quorix.STATUS_MESSAGES)
    by_name = {name: code for code, name in quorix.STATUS_NAMES.items()}
    assert {by_name[name]: message for name, message in statuses} == quorix.STATUS_MESSAGES
    codes = re.findall(r'\{(\d+), "(ERROR_\w+)", "([^"]*)",', re.sub(r'"\s+"', "", text))
    assert {int(code): (name, message) for code, name, message in codes} == quorix.WINDOWS_CODES
    assert quorix.status_text(-5) == "QUORIX_ERR_TIMEOUT: the transfer did not complete in time"
    assert quorix.status_text(170) == ("Windows error 170 (ERROR_BUSY): "
                                       "busy: another process has this board open")
    assert quorix.status_text(4242) == "Windows error 4242"
    assert quorix.status_text(-42) == "unknown status -42"


def test_listing_and_opening(board: int) -> None:
    assert quorix.count() == 1
    assert quorix.serial(0) == "QX-PY-0001"
    assert quorix.serial(1) is None
    with quorix.open(serial="QX-PY-0001") as device:
        assert not device.closed
        with pytest.raises(quorix.AlreadyOpenError) as caught:
            quorix.open(0)
        assert caught.value.status == -3
    assert device.closed
    with pytest.raises(quorix.FailedError):
        quorix.open(serial="nobody")
    quorix.open(serial=b"QX-PY-0001").close()


def test_boards_and_devices_say_which_they_are(board: int) -> None:
    second = sim.add_board("QX-PY-0002")
    sim.set_source(second, sim.SOURCE_NONE, 0)
    listed = quorix.boards()
    assert sorted((b.serial, b.index, b.in_use) for b in listed) == [
        ("QX-PY-0001", quorix.serial(0) != "QX-PY-0001", None),
        ("QX-PY-0002", quorix.serial(0) == "QX-PY-0001", None)]
    index = next(b.index for b in listed if b.serial == "QX-PY-0002")
    with quorix.open(serial="QX-PY-0002") as device:
        assert (device.serial, device.index) == ("QX-PY-0002", index)
        assert repr(device) == "<quorix.Device serial='QX-PY-0002' index=%d open>" % index
        # Probing opens each board that is not open here, and leaves this one alone.
        assert {b.serial: b.in_use for b in quorix.boards(probe=True)} == {
            "QX-PY-0001": False, "QX-PY-0002": True}
        sim.push_in(second, b"still here")
        device.timeout = 50
        assert device.read_up_to(100) == b"still here"
    assert repr(device) == "<quorix.Device serial='QX-PY-0002' index=%d closed>" % index
    with quorix.open(1 - index) as device:
        assert (device.serial, device.index) == ("QX-PY-0001", 1 - index)


def test_missing_boards_and_closed_devices_say_so(board: int) -> None:
    # Not the catch-all text of -1 ("unknown handle or board, missing argument, ...").
    with pytest.raises(quorix.FailedError) as caught:
        quorix.open(3)
    assert str(caught.value) == ("QuorixOpenDeviceQueued failed: there is no board 3: 1 board is plugged "
                                 "in (index 0) (QUORIX_ERR_FAILED)")
    with pytest.raises(quorix.FailedError, match="no board has the serial number 'QX-NOBODY'"):
        quorix.open(serial="QX-NOBODY")
    device = quorix.open()
    device.close()
    with pytest.raises(quorix.NotOpenError) as closed:
        device.port_d = 1
    assert str(closed.value) == ("QuorixSetPortDOutputs failed: this device is not open "
                                 "(QUORIX_ERR_NOT_OPEN)")
    sim.reset()
    with pytest.raises(quorix.FailedError) as none:
        quorix.open()
    assert str(none.value) == "QuorixOpenDeviceQueued failed: no board is plugged in (QUORIX_ERR_FAILED)"


def test_the_quorix_logger_traces_each_call(board: int, caplog: pytest.LogCaptureFixture) -> None:
    caplog.set_level(logging.DEBUG, logger="quorix")
    with quorix.open() as device:
        device.port_d = 0xA5
        device.read(16)
    lines = [record.getMessage() for record in caplog.records if record.name == "quorix"]
    handle = "0x%x" % device._key
    assert "QuorixOpenDeviceQueued(0) -> 0" in lines
    assert "QuorixSetPortDOutputs(%s, 165) -> 0" % handle in lines
    assert "QuorixReadDevice(%s): 16 of 16 bytes -> 0" % handle in lines
    assert "QuorixCloseDevice(%s) -> 0" % handle in lines


def test_the_context_manager_closes_on_an_exception(board: int) -> None:
    device: Optional[quorix.Device] = None
    with pytest.raises(ZeroDivisionError):
        with quorix.open() as device:
            1 / 0
    assert device is not None and device.closed
    quorix.open().close()  # open again: it was closed


def test_errors_map_to_their_classes(board: int) -> None:
    sim.set_source(board, sim.SOURCE_NONE, 0)
    with quorix.open() as device:
        device.timeout = 10
        assert device.timeout == 10
        with pytest.raises(TimeoutError) as caught:  # Python's own TimeoutError matches
            device.read(4)
        assert isinstance(caught.value, quorix.QuorixError)
        assert caught.value.status == -5
        with pytest.raises(quorix.DriverError) as stalled:
            device.eeprom.read(0, 4, select=9)  # no part answers at select 9
        assert stalled.value.winerror == 31 and stalled.value.status == 31
        assert str(stalled.value) == ("QuorixReadEprom failed: Windows error 31 (ERROR_GEN_FAILURE): "
                                      "the board stalled the request or is not functioning")
        sim.clear_startup_area(board)
        with pytest.raises(quorix.NoStartupAreaError):
            device.set_startup_command("go")
        sim.unplug(board)
        assert quorix.count() == 1  # still counted while open
        with pytest.raises(quorix.NoDriverError):
            device.port_d = 1
    assert quorix.errors.ERRORS[-7] is quorix.OverrunError
    assert {cls for cls in quorix.errors.ERRORS.values()} >= {quorix.TransferError, quorix.NoSpaceError,
                                                              quorix.NotOpenError}


def test_every_board_call(board: int) -> None:
    with quorix.open() as device:
        device.port_d = 0xA5
        assert device.port_d == 0xA5
        device.set_port_d_sequence([1, 2, 4])
        device.set_port_d_enable(0x0F)
        device.fpga_mode = 2
        assert device.fpga_mode == 2
        assert sim.board_state(board) == (4, 0x0F, 2)

        data = bytes(range(40))
        device.eeprom.write(28, data)  # crosses two pages
        assert device.eeprom.read(28, 40) == data
        assert sim.read_eeprom(board, 28, 40) == data
        device.eeprom.write(0x200, bytes(300))
        assert device.eeprom.read(0x200, 300) == bytes(300)

        device.set_startup_command("mode 1; stream")
        assert sim.read_eeprom(board, 0x1000, 16) == b"\x0e\x00mode 1; stream"

        device.load_firmware(FIRMWARE)
        device.load_firmware(os.fsencode(FIRMWARE))  # bytes are a path as they stand
        device.load_firmware(pathlib.Path(FIRMWARE))
        assert sim.cpu_running(board)
        assert sim.read_memory(board, 0, 3) == bytes.fromhex("020006")

        assert device.write(b"\x01\x02") == 2
        assert device.write(bytearray(b"\x03")) == 1
        assert sim.take_out(board) == b"\x01\x02\x03"
        assert device.available >= 0
        first, second = struct.unpack("<II", device.read(8))  # the counter ran meanwhile
        assert second == first + 1
    with pytest.raises(quorix.NotOpenError, match="this device is not open"):
        device.read(1)  # closed


def test_sixty_four_mebibytes_into_a_numpy_array(board: int) -> None:
    sim.set_source(board, sim.SOURCE_COUNTER, sim.RATE_UNLIMITED)
    words = np.empty(16 << 20, dtype="<u4")  # 64 MiB
    with quorix.open() as device:
        device.timeout = 5000
        chunk = 1 << 20
        view = words.data.cast("B")
        for start in range(0, len(view), chunk * 4):
            assert device.readinto(view[start:start + chunk * 4]) == chunk * 4
    assert np.array_equal(words, np.arange(len(words), dtype="<u4"))


def test_a_fixed_rate_source_drops_what_finds_no_read_and_counts_on(board: int) -> None:
    assert sim.dropped_bytes(board) == 0
    with pytest.raises(sim.SimError):
        sim.set_board_fifo(board, 1000)
    with pytest.raises(sim.SimError):
        sim.set_source(board, sim.SOURCE_FIXED_RATE, sim.RATE_UNLIMITED)
    sim.set_source(board, sim.SOURCE_FIXED_RATE, 48000000)
    sim.set_board_fifo(board, 4096)
    with quorix.open(read_queue=None) as device:  # the classic read, which leaves the board waiting
        device.timeout = 5000
        while sim.dropped_bytes(board) == 0:  # the library's read fills, then the FIFO, then drops
            time.sleep(0.001)
        words = np.frombuffer(device.read(4 << 20), dtype="<u4").astype(np.int64)
    # Every gap is whole packets skipped forward, and all of them were counted as dropped.
    steps = np.diff(words)
    assert np.all(steps >= 1)
    gaps = (steps[steps != 1] - 1) * 4
    assert len(gaps) >= 1 and np.all(gaps % 512 == 0)
    assert int(gaps.sum()) <= sim.dropped_bytes(board)


def test_loopback_through_the_simulator(board: int) -> None:
    sim.set_source(board, sim.SOURCE_NONE, 0)
    sim.set_loopback(board, True)
    with quorix.open() as device:
        payload = bytes(range(256)) * 4 + b"end"  # ends in a short packet
        device.write(payload)
        assert device.read(len(payload)) == payload
