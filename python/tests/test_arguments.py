"""Values that the board or a C parameter cannot take are refused before anything is sent,
instead of being cut to fit."""

import threading
import time

import pytest

import quorix
from quorix import sim


def test_board_controls_refuse_what_does_not_fit_a_byte(board: int) -> None:
    with quorix.open() as device:
        device.port_d = 0x5A
        with pytest.raises(ValueError, match="port D outputs 300 is outside 0..255"):
            device.port_d = 300  # would reach the board as 44
        with pytest.raises(ValueError):
            device.port_d = -1
        with pytest.raises(ValueError):
            device.set_port_d_enable(256)
        with pytest.raises(ValueError):
            device.fpga_mode = 0x1FF
        with pytest.raises(ValueError):
            device.set_port_d_sequence(bytes(256))
        with pytest.raises(ValueError):
            device.set_port_d_sequence([1, 256])
        with pytest.raises(TypeError):
            device.set_port_d_sequence(3)  # not three zero bytes
        with pytest.raises(TypeError):
            device.port_d = 1.5  # type: ignore[assignment]
        with pytest.raises(TypeError, match="not bool"):
            device.port_d = True  # an int, to Python, but not one a user means here
        with pytest.raises(TypeError):
            device.eeprom.read(0, 1, select=True)
        assert sim.board_state(board) == (0x5A, 0, 0)
        assert device.fpga_mode is None
        with pytest.raises(ValueError):
            device.set_startup_command("x" * 0x10000)


def test_timeouts_stay_within_32_bits(board: int) -> None:
    with quorix.open() as device:
        with pytest.raises(ValueError):
            device.timeout = -1  # not 2**32 - 1 ms
        with pytest.raises(ValueError):
            device.timeout = 2**32  # not 0, which waits without limit
        with pytest.raises(TypeError):
            device.timeout = False  # not 0, no limit
        device.timeout = 2**32 - 1
        assert device.timeout == 2**32 - 1
        device.timeout = None  # no limit, as 0 is
        assert device.timeout == 0


def test_eeprom_ranges_end_at_the_parts_end(board: int) -> None:
    # The board's EEPROM has 8 KiB and wraps what goes past its end to address 0, over the
    # startup command's chain; at other selects ranges end at 0xFFFF.
    before = sim.read_eeprom(board, 0, sim.EEPROM_SIZE)
    with quorix.open() as device:
        with pytest.raises(ValueError, match="32 bytes from address 0x1ff0 run past the end of "
                                             "the 8192-byte EEPROM at select 1"):
            device.eeprom.write(0x1FF0, bytes(range(32)))
        with pytest.raises(ValueError):
            device.eeprom.read(0x1FFF, 2)
        with pytest.raises(ValueError):
            device.eeprom.read(0x1FFF0, 4)  # not 0xFFF0
        with pytest.raises(ValueError):
            device.eeprom.read(0xFFFF, 2, select=2)
        with pytest.raises(ValueError):
            device.eeprom.write(0xFFFE, b"1234")
        with pytest.raises(ValueError):
            device.eeprom.write(-1, b"1")
        with pytest.raises(ValueError):
            device.eeprom.write(0, b"1", select=256)
        assert len(device.eeprom.read(0x1FFF, 1)) == 1  # the very last address is fine
    assert sim.read_eeprom(board, 0, sim.EEPROM_SIZE) == before


def test_indices_serial_numbers_and_paths_are_taken_whole(board: int) -> None:
    with pytest.raises(ValueError):
        quorix.open(index=2**32)  # not board 0
    with pytest.raises(TypeError):
        quorix.open(True)
    with pytest.raises(ValueError):
        quorix.serial(2**32)
    assert quorix.serial(-1) is None  # what the library answers
    with pytest.raises(ValueError, match="NUL"):
        quorix.open(serial="QX-PY-0001\0junk")  # not QX-PY-0001
    with pytest.raises(UnicodeEncodeError):  # a ValueError: the serial is 8-bit text
        quorix.open(serial="QX-\u20ac")
    with quorix.open() as device:
        with pytest.raises(ValueError, match="NUL"):
            device.load_firmware("blink.hex\0.txt")


def test_the_timeout_is_the_librarys_after_a_reopen(quiet_board: int) -> None:
    with quorix.open() as device:
        device.timeout = 600
    with quorix.open() as device:
        assert device.timeout == 600  # not 200
        with pytest.raises(quorix.TimeoutError):
            device.read(1)  # on the main thread: in slices of 100 ms, which Ctrl-C can end
        # Off the main thread the library's own timeout bounds the wait: 600 ms, also after the
        # slices above.
        waited: list[float] = []

        def read() -> None:
            start = time.monotonic()
            with pytest.raises(quorix.TimeoutError):
                device.read(1)
            waited.append(time.monotonic() - start)

        reader = threading.Thread(target=read)
        reader.start()
        reader.join()
        assert waited and waited[0] >= 0.55  # the library waited 600 ms, not 200 or 100
